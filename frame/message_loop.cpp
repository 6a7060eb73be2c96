#include "message_loop.h"

#include <algorithm>
#include <new>

// Mouse moves, paint and the caret-blink message 0x0118 arrive all the time
// without changing anything a handler shows, so they must not restart idle work.
constexpr UINT kCaretBlinkMessage = 0x0118;

CMessageLoop::CMessageLoop() : m_msg{} {}

CMessageLoop::~CMessageLoop() = default;

BOOL CMessageLoop::PreTranslateMessage(MSG* msg) {
    // By index: a filter may take itself out while it runs.
    for (size_t i = m_filters.size(); i > 0; --i) {
        if (i <= m_filters.size() && m_filters[i - 1]->PreTranslateMessage(msg)) {
            return TRUE;
        }
    }
    return FALSE;
}

BOOL CMessageLoop::OnIdle(int /*idle_count*/) {
    for (size_t i = 0; i < m_idle_handlers.size(); ++i) {
        m_idle_handlers[i]->OnIdle();
    }
    return FALSE;
}

BOOL CMessageLoop::IsIdleMessage(MSG* msg) {
    switch (msg->message) {
    case WM_MOUSEMOVE:
    case WM_NCMOUSEMOVE:
    case WM_PAINT:
    case kCaretBlinkMessage:
        return FALSE;
    default:
        return TRUE;
    }
}

namespace {

template <class T> BOOL add_entry(std::vector<T*>& list, T* entry) {
    try {
        list.push_back(entry);
    } catch (const std::bad_alloc&) {
        return FALSE;
    }
    return TRUE;
}

template <class T> BOOL remove_entry(std::vector<T*>& list, T* entry) {
    auto it = std::find(list.begin(), list.end(), entry);
    if (it == list.end()) {
        return FALSE;
    }
    list.erase(it);
    return TRUE;
}

} // namespace

BOOL CMessageLoop::AddMessageFilter(CMessageFilter* filter) {
    return add_entry(m_filters, filter);
}

BOOL CMessageLoop::RemoveMessageFilter(CMessageFilter* filter) {
    return remove_entry(m_filters, filter);
}

BOOL CMessageLoop::AddIdleHandler(CIdleHandler* handler) {
    return add_entry(m_idle_handlers, handler);
}

BOOL CMessageLoop::RemoveIdleHandler(CIdleHandler* handler) {
    return remove_entry(m_idle_handlers, handler);
}

int CMessageLoop::Run() {
    bool idle = true;
    int idle_count = 0;
    for (;;) {
        while (idle && !PeekMessageW(&m_msg, nullptr, 0, 0, PM_NOREMOVE)) {
            if (!OnIdle(idle_count++)) {
                idle = false;
            }
        }
        const BOOL got = GetMessageW(&m_msg, nullptr, 0, 0);
        if (got == -1) {
            continue;
        }
        if (!got) {
            break;
        }
        if (!PreTranslateMessage(&m_msg)) {
            TranslateMessage(&m_msg);
            DispatchMessageW(&m_msg);
        }
        if (IsIdleMessage(&m_msg)) {
            idle = true;
            idle_count = 0;
        }
    }
    return static_cast<int>(m_msg.wParam);
}
