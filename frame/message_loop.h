// The window thread's message loop and the two interfaces through which a
// window takes part in it.
#pragma once

#include <windows.h>

#include <vector>

class CMessageFilter {
  public:
    // Non-zero when the message is consumed and must not be dispatched.
    virtual BOOL PreTranslateMessage(MSG* msg) = 0;

  protected:
    ~CMessageFilter() = default;
};

class CIdleHandler {
  public:
    // The result is ignored.
    virtual BOOL OnIdle() = 0;

  protected:
    ~CIdleHandler() = default;
};

class CMessageLoop {
  public:
    CMessageLoop();
    virtual ~CMessageLoop();
    CMessageLoop(const CMessageLoop&) = delete;
    CMessageLoop& operator=(const CMessageLoop&) = delete;

    // Asks the filters, newest first; non-zero when one consumed the message.
    virtual BOOL PreTranslateMessage(MSG* msg);
    // Calls every idle handler once, in registration order; returns 0.
    virtual BOOL OnIdle(int idle_count);
    // Whether idle processing starts again after this message.
    virtual BOOL IsIdleMessage(MSG* msg);

    BOOL AddMessageFilter(CMessageFilter* filter);
    // Takes out the first matching entry; later ones move up.
    BOOL RemoveMessageFilter(CMessageFilter* filter);
    BOOL AddIdleHandler(CIdleHandler* handler);
    BOOL RemoveIdleHandler(CIdleHandler* handler);

    // Runs until the quit message and returns its exit code.
    int Run();

    MSG m_msg;

  private:
    std::vector<CMessageFilter*> m_filters;
    std::vector<CIdleHandler*> m_idle_handlers;
};
