// The update-UI part of a dialog: child-window containers whose controls an
// update map keeps enabled, checked or titled. The program's map is empty and
// nothing sets the dirty mask, so a pass changes nothing; the frame keeps the
// data and the early return that make it cheap at every idle phase.
#pragma once

#include <windows.h>

#include <vector>

struct CUpdateUIMapEntry {
    WORD id;   // 0xFFFF ends the map
    WORD type; // which kinds of element the entry updates
};

class CUpdateUIBase {
  public:
    static constexpr WORD kUpdateChildWindow = 0x0004;
    static constexpr WORD kMapEnd = 0xFFFF;

    struct Container {
        HWND hwnd;
        WORD type;
    };

    // Registers `hwnd` as a child-window container; FALSE when out of memory.
    BOOL UIAddChildWindowContainer(HWND hwnd);
    // Updates the containers' controls when their kind is dirty (or `force`).
    BOOL UIUpdateChildWindows(BOOL force = FALSE);

    std::vector<Container> m_containers;
    const CUpdateUIMapEntry* m_map = nullptr;
    std::vector<WORD> m_state; // one word per map entry
    WORD m_wDirtyType = 0;
    // Set while accelerators must not run (nothing here sets it; the
    // frame's data keep the place of the window framework's own).
    bool m_bBlockAccelerators = false;

  protected:
    CUpdateUIBase() = default;
    ~CUpdateUIBase() = default;
};

template <class T> class CUpdateUI : public CUpdateUIBase {
  public:
    CUpdateUI() {
        m_map = T::GetUpdateUIMap();
        size_t count = 0;
        while (m_map[count].id != kMapEnd) {
            ++count;
        }
        m_state.assign(count, 0);
    }
};
