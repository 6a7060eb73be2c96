// The module objects that live for the whole process: the base module (the
// instance handle that templates and icons are loaded from), the registry of
// dialogs being created, and the application module with its table of the
// threads' message loops.
#pragma once

#include <windows.h>

class CMessageLoop;

// One dialog object waiting for its window's first message. Records form a
// singly linked list, newest first; each lives inside its dialog object.
struct CCreationRecord {
    void* object;
    DWORD thread_id;
    CCreationRecord* next;
};

class CBaseModule {
  public:
    CBaseModule();
    HINSTANCE GetResourceInstance() const { return m_instance; }

  private:
    HINSTANCE m_instance;
};

class CCreationRegistry {
  public:
    CCreationRegistry();
    ~CCreationRegistry();
    CCreationRegistry(const CCreationRegistry&) = delete;
    CCreationRegistry& operator=(const CCreationRegistry&) = delete;

    // Puts `record` for `object` and the calling thread at the head of the list.
    void AddCreateWndData(CCreationRecord* record, void* object);
    // Unlinks the calling thread's newest record and returns its object, or
    // null when the thread has none pending.
    void* ExtractCreateWndData();
    // Unlinks `record` if it is still pending (a creation that failed before
    // its first message); returns whether it was.
    bool RemoveCreateWndData(CCreationRecord* record);

  private:
    CRITICAL_SECTION m_lock;
    CCreationRecord* m_pending;
};

class CAppModule {
  public:
    CAppModule();
    ~CAppModule();
    CAppModule(const CAppModule&) = delete;
    CAppModule& operator=(const CAppModule&) = delete;

    // Records the main thread and starts an empty thread-to-loop table.
    void Init();
    // Frees the table.
    void Term();

    // For the calling thread; false when out of memory.
    bool AddMessageLoop(CMessageLoop* loop);
    // Takes the calling thread's loop out of the table; false when it had none.
    bool RemoveMessageLoop();
    // The loop of `thread_id` (0: the calling thread), or null.
    CMessageLoop* GetMessageLoop(DWORD thread_id = 0);
    DWORD MainThreadId() const { return m_main_thread; }

  private:
    CRITICAL_SECTION m_lock;
    DWORD m_main_thread;
    // Two parallel arrays, grown by one element per entry.
    DWORD* m_threads;
    CMessageLoop** m_loops;
    int m_count;
};

extern CBaseModule _BaseModule;
extern CCreationRegistry _CreationRegistry;
extern CAppModule _Module;
