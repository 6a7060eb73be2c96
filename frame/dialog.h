// The dialog machinery: binding a dialog window to its object and handing the
// window's messages to the object's message map.
#pragma once

#include <windows.h>

#include "module.h"

class CMessageMap {
  public:
    // The message map: non-zero when the message was handled, with its result
    // in `result`.
    virtual BOOL ProcessWindowMessage(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam,
                                      LRESULT& result, DWORD map_id) = 0;

  protected:
    ~CMessageMap() = default;
};

class CWindow {
  public:
    HWND m_hWnd = nullptr;

    HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }
    BOOL DestroyWindow() { return ::DestroyWindow(m_hWnd); }
    BOOL ShowWindow(int show) { return ::ShowWindow(m_hWnd, show); }

    // Centres a top-level window on `centre_on` (else its owner) when that is
    // visible and not minimised, otherwise on its monitor's work area, and keeps
    // it inside that work area. FALSE, without moving, when the monitor can't be
    // had or the window is a child.
    BOOL CenterWindow(HWND centre_on = nullptr);
};

class CDialogImplBaseT;

// The procedure that carries a window's messages to its object: installed as
// the window's dialog procedure, it finds the stub in the window's user slot.
// Allocated on the object's first creation and released by its destructor.
struct CDialogStub {
    CDialogImplBaseT* object;
    INT_PTR(*procedure)
    (CDialogImplBaseT* object, HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
};

class CWindowImplRoot : public CWindow, public CMessageMap {
  public:
    CCreationRecord m_record{}; // the binding record while the window is created
    CDialogStub* m_stub = nullptr;
    // The message being handled (the outer one again after a nested
    // dispatch), for a handler that needs more than its arguments.
    const MSG* m_pCurrentMsg = nullptr;
    DWORD m_dwState = 0;

    // Bit 0 of the state word: WM_NCDESTROY has come and the final-message call
    // is still due.
    static constexpr DWORD kStateDestroyed = 0x00000001;

  protected:
    ~CWindowImplRoot() = default;
};

class CDialogImplBaseT : public CWindowImplRoot {
  public:
    using DialogProcedure = INT_PTR (*)(CDialogImplBaseT*, HWND, UINT, WPARAM, LPARAM);

    // Slot order: the message map (above), destructor, dialog procedure, final message.
    virtual ~CDialogImplBaseT();
    virtual DialogProcedure GetDialogProc() { return DialogProc; }
    virtual void OnFinalMessage(HWND /*hwnd*/) {}

    // The procedure every dialog is created with; binds the window to the
    // object whose record the creating thread left pending.
    static INT_PTR CALLBACK StartDialogProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
    // Per-object procedure: the message map and the result rules.
    static INT_PTR DialogProc(CDialogImplBaseT* self, HWND hwnd, UINT message, WPARAM wparam,
                              LPARAM lparam);
    static INT_PTR CALLBACK StubProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);

    // Releases the procedure stub (the object's destructor does it too).
    void ReleaseStub();

  protected:
    CDialogImplBaseT() = default;
    CDialogImplBaseT(const CDialogImplBaseT&) = delete;
    CDialogImplBaseT& operator=(const CDialogImplBaseT&) = delete;

    // Steps shared by modeless and modal creation; false (with the last error
    // set) when no stub can be had.
    bool PrepareCreation();
    // After a creation call: a record the window never claimed is unlinked,
    // so that the list never points into an object that may be gone.
    void FinishCreation();
};

template <class T> class CDialogImpl : public CDialogImplBaseT {
  public:
    // Modeless, from template T::IDD; the window handle or null.
    HWND Create(HWND parent, LPARAM init_param = 0) {
        if (!PrepareCreation()) {
            return nullptr;
        }
        HWND hwnd =
            ::CreateDialogParamW(_BaseModule.GetResourceInstance(), MAKEINTRESOURCEW(T::IDD),
                                 parent, StartDialogProc, init_param);
        FinishCreation();
        return hwnd;
    }

    // Modal: the value given to EndDialog, or -1.
    INT_PTR DoModal(HWND parent = ::GetActiveWindow(), LPARAM init_param = 0) {
        if (!PrepareCreation()) {
            return -1;
        }
        INT_PTR result =
            ::DialogBoxParamW(_BaseModule.GetResourceInstance(), MAKEINTRESOURCEW(T::IDD), parent,
                              StartDialogProc, init_param);
        FinishCreation();
        return result;
    }

    BOOL EndDialog(INT_PTR result) { return ::EndDialog(m_hWnd, result); }
};
