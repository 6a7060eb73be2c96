// Scoped GDI objects, so that every path gives back what it made or chose:
// a pen or brush deleted when its holder goes, and an object selected into a
// DC for a while, with the DC's previous object selected back afterwards
// (an object still selected somewhere can't be deleted).
#pragma once

#include <windows.h>

template <typename Handle> class GdiObject {
  public:
    explicit GdiObject(Handle handle) : handle_(handle) {}
    ~GdiObject() {
        if (handle_ != nullptr) {
            ::DeleteObject(handle_);
        }
    }
    GdiObject(const GdiObject&) = delete;
    GdiObject& operator=(const GdiObject&) = delete;
    Handle get() const { return handle_; }

  private:
    Handle handle_;
};

class SelectedObject {
  public:
    SelectedObject(HDC dc, HGDIOBJ object) { select(dc, object); }
    ~SelectedObject() { restore(); }
    SelectedObject(const SelectedObject&) = delete;
    SelectedObject& operator=(const SelectedObject&) = delete;

    // Selects `object` into `dc`, after giving back what was selected before.
    void select(HDC dc, HGDIOBJ object) {
        restore();
        dc_ = dc;
        previous_ = ::SelectObject(dc, object);
    }
    // Selects the DC's previous object back now.
    void restore() {
        if (dc_ != nullptr && previous_ != nullptr) {
            ::SelectObject(dc_, previous_);
        }
        dc_ = nullptr;
        previous_ = nullptr;
    }

  private:
    HDC dc_ = nullptr;
    HGDIOBJ previous_ = nullptr;
};
