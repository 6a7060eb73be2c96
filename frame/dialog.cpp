#include "dialog.h"

#include <new>

namespace {

// One axis of the centring rule: halves truncate toward zero, then the window
// is pushed back inside the work area, the leading edge winning.
LONG centred_edge(LONG centre_low, LONG centre_high, LONG extent, LONG area_low, LONG area_high) {
    LONG edge = (centre_low + centre_high) / 2 - extent / 2;
    if (edge + extent > area_high) {
        edge = area_high - extent;
    }
    if (edge < area_low) {
        edge = area_low;
    }
    return edge;
}

} // namespace

BOOL CWindow::CenterWindow(HWND centre_on) {
    if (::GetWindowLongW(m_hWnd, GWL_STYLE) & WS_CHILD) {
        return FALSE;
    }
    if (!centre_on) {
        centre_on = ::GetWindow(m_hWnd, GW_OWNER);
    }
    if (centre_on && (!::IsWindowVisible(centre_on) || ::IsIconic(centre_on))) {
        centre_on = nullptr;
    }
    HMONITOR monitor =
        ::MonitorFromWindow(centre_on ? centre_on : m_hWnd, MONITOR_DEFAULTTONEAREST);
    MONITORINFO info{};
    info.cbSize = sizeof info;
    if (!monitor || !::GetMonitorInfoW(monitor, &info)) {
        return FALSE;
    }
    const RECT area = info.rcWork;
    RECT centre = area;
    if (centre_on) {
        ::GetWindowRect(centre_on, &centre);
    }
    RECT window{};
    ::GetWindowRect(m_hWnd, &window);
    const LONG width = window.right - window.left;
    const LONG height = window.bottom - window.top;
    const LONG left = centred_edge(centre.left, centre.right, width, area.left, area.right);
    const LONG top = centred_edge(centre.top, centre.bottom, height, area.top, area.bottom);
    return ::SetWindowPos(m_hWnd, nullptr, left, top, -1, -1,
                          SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

CDialogImplBaseT::~CDialogImplBaseT() {
    ReleaseStub();
}

void CDialogImplBaseT::ReleaseStub() {
    if (!m_stub) {
        return;
    }
    // A window that outlives its object must not reach the freed stub.
    if (m_hWnd && ::IsWindow(m_hWnd)) {
        ::SetWindowLongPtrW(m_hWnd, DWLP_USER, 0);
    }
    delete m_stub;
    m_stub = nullptr;
}

bool CDialogImplBaseT::PrepareCreation() {
    if (!m_stub) {
        m_stub = new (std::nothrow) CDialogStub{nullptr, nullptr};
        if (!m_stub) {
            ::SetLastError(ERROR_OUTOFMEMORY);
            return false;
        }
    }
    _CreationRegistry.AddCreateWndData(&m_record, this);
    return true;
}

void CDialogImplBaseT::FinishCreation() {
    _CreationRegistry.RemoveCreateWndData(&m_record);
}

INT_PTR CALLBACK CDialogImplBaseT::StartDialogProc(HWND hwnd, UINT message, WPARAM wparam,
                                                   LPARAM lparam) {
    auto* self = static_cast<CDialogImplBaseT*>(_CreationRegistry.ExtractCreateWndData());
    if (!self) {
        return 0;
    }
    self->m_hWnd = hwnd;
    self->m_stub->object = self;
    self->m_stub->procedure = self->GetDialogProc();
    ::SetWindowLongPtrW(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(self->m_stub));
    ::SetWindowLongPtrW(hwnd, DWLP_DLGPROC, reinterpret_cast<LONG_PTR>(&StubProc));
    return StubProc(hwnd, message, wparam, lparam);
}

INT_PTR CALLBACK CDialogImplBaseT::StubProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* stub = reinterpret_cast<CDialogStub*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
    if (!stub || !stub->object) {
        return 0;
    }
    return stub->procedure(stub->object, hwnd, message, wparam, lparam);
}

INT_PTR CDialogImplBaseT::DialogProc(CDialogImplBaseT* self, HWND hwnd, UINT message, WPARAM wparam,
                                     LPARAM lparam) {
    MSG msg{hwnd, message, wparam, lparam, 0, POINT{0, 0}};
    const MSG* outer = self->m_pCurrentMsg;
    self->m_pCurrentMsg = &msg;
    LRESULT result = 0;
    const BOOL handled = self->ProcessWindowMessage(hwnd, message, wparam, lparam, result, 0);
    self->m_pCurrentMsg = outer;

    INT_PTR answer = 0;
    if (handled) {
        switch (message) {
        // These return their answer from the procedure itself.
        case WM_INITDIALOG:
        case WM_COMPAREITEM:
        case WM_VKEYTOITEM:
        case WM_CHARTOITEM:
        case WM_QUERYDRAGICON:
        case WM_CTLCOLORMSGBOX:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSCROLLBAR:
        case WM_CTLCOLORSTATIC:
            answer = static_cast<INT_PTR>(result);
            break;
        default:
            if ((self->m_dwState & kStateDestroyed) == 0) {
                ::SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, result);
            }
            answer = TRUE;
            break;
        }
    } else if (message == WM_NCDESTROY) {
        self->m_dwState |= kStateDestroyed;
    }
    // Checked after handled messages too: a window destroyed from inside one of
    // its own handlers gets its final call once that outer handler returns.
    if ((self->m_dwState & kStateDestroyed) && !outer) {
        self->m_dwState &= ~kStateDestroyed;
        HWND gone = self->m_hWnd;
        self->m_hWnd = nullptr;
        self->OnFinalMessage(gone);
    }
    return answer;
}
