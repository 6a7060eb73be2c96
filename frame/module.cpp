#include "module.h"

#include <stdlib.h>

CBaseModule _BaseModule;
CCreationRegistry _CreationRegistry;
CAppModule _Module;

CBaseModule::CBaseModule() : m_instance(GetModuleHandleW(nullptr)) {}

CCreationRegistry::CCreationRegistry() : m_pending(nullptr) {
    InitializeCriticalSection(&m_lock);
}

CCreationRegistry::~CCreationRegistry() {
    DeleteCriticalSection(&m_lock);
}

void CCreationRegistry::AddCreateWndData(CCreationRecord* record, void* object) {
    record->object = object;
    record->thread_id = GetCurrentThreadId();
    EnterCriticalSection(&m_lock);
    record->next = m_pending;
    m_pending = record;
    LeaveCriticalSection(&m_lock);
}

void* CCreationRegistry::ExtractCreateWndData() {
    const DWORD thread = GetCurrentThreadId();
    void* object = nullptr;
    EnterCriticalSection(&m_lock);
    for (CCreationRecord** link = &m_pending; *link; link = &(*link)->next) {
        if ((*link)->thread_id == thread) {
            object = (*link)->object;
            *link = (*link)->next;
            break;
        }
    }
    LeaveCriticalSection(&m_lock);
    return object;
}

bool CCreationRegistry::RemoveCreateWndData(CCreationRecord* record) {
    bool found = false;
    EnterCriticalSection(&m_lock);
    for (CCreationRecord** link = &m_pending; *link; link = &(*link)->next) {
        if (*link == record) {
            *link = record->next;
            found = true;
            break;
        }
    }
    LeaveCriticalSection(&m_lock);
    return found;
}

CAppModule::CAppModule() : m_main_thread(0), m_threads(nullptr), m_loops(nullptr), m_count(0) {
    InitializeCriticalSection(&m_lock);
}

CAppModule::~CAppModule() {
    Term();
    DeleteCriticalSection(&m_lock);
}

void CAppModule::Init() {
    EnterCriticalSection(&m_lock);
    m_main_thread = GetCurrentThreadId();
    LeaveCriticalSection(&m_lock);
}

void CAppModule::Term() {
    EnterCriticalSection(&m_lock);
    free(m_threads);
    free(m_loops);
    m_threads = nullptr;
    m_loops = nullptr;
    m_count = 0;
    LeaveCriticalSection(&m_lock);
}

bool CAppModule::AddMessageLoop(CMessageLoop* loop) {
    const DWORD thread = GetCurrentThreadId();
    EnterCriticalSection(&m_lock);
    bool added = false;
    auto* threads = static_cast<DWORD*>(realloc(m_threads, (m_count + 1) * sizeof(DWORD)));
    if (threads) {
        m_threads = threads;
        auto* loops =
            static_cast<CMessageLoop**>(realloc(m_loops, (m_count + 1) * sizeof(CMessageLoop*)));
        if (loops) {
            m_loops = loops;
            m_threads[m_count] = thread;
            m_loops[m_count] = loop;
            ++m_count;
            added = true;
        }
    }
    LeaveCriticalSection(&m_lock);
    return added;
}

bool CAppModule::RemoveMessageLoop() {
    const DWORD thread = GetCurrentThreadId();
    EnterCriticalSection(&m_lock);
    bool found = false;
    for (int i = 0; i < m_count; ++i) {
        if (m_threads[i] == thread) {
            for (int j = i + 1; j < m_count; ++j) {
                m_threads[j - 1] = m_threads[j];
                m_loops[j - 1] = m_loops[j];
            }
            --m_count;
            found = true;
            break;
        }
    }
    LeaveCriticalSection(&m_lock);
    return found;
}

CMessageLoop* CAppModule::GetMessageLoop(DWORD thread_id) {
    if (thread_id == 0) {
        thread_id = GetCurrentThreadId();
    }
    CMessageLoop* loop = nullptr;
    EnterCriticalSection(&m_lock);
    for (int i = 0; i < m_count; ++i) {
        if (m_threads[i] == thread_id) {
            loop = m_loops[i];
            break;
        }
    }
    LeaveCriticalSection(&m_lock);
    return loop;
}
