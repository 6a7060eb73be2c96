#include "update_ui.h"

#include <new>

BOOL CUpdateUIBase::UIAddChildWindowContainer(HWND hwnd) {
    try {
        m_containers.push_back(Container{hwnd, kUpdateChildWindow});
    } catch (const std::bad_alloc&) {
        return FALSE;
    }
    return TRUE;
}

BOOL CUpdateUIBase::UIUpdateChildWindows(BOOL force) {
    if (!(m_wDirtyType & kUpdateChildWindow) && !force) {
        return TRUE;
    }
    // Each map entry names a control by id; with no entries there is nothing
    // to update in any container.
    for (size_t i = 0; m_map && m_map[i].id != kMapEnd; ++i) {
        if (!(m_map[i].type & kUpdateChildWindow)) {
            continue;
        }
        for (const Container& container : m_containers) {
            if (container.type & kUpdateChildWindow) {
                HWND control = ::GetDlgItem(container.hwnd, m_map[i].id);
                if (control) {
                    ::EnableWindow(control, (m_state[i] & 1) == 0);
                }
            }
        }
    }
    m_wDirtyType &= static_cast<WORD>(~kUpdateChildWindow);
    return TRUE;
}
