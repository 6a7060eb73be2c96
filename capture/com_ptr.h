// A holder for one COM interface reference: released when the holder goes,
// so every path out of a function gives back what it obtained.
#pragma once

#include <assert.h>

template <typename T> class com_ptr {
  public:
    com_ptr() = default;
    ~com_ptr() { reset(); }
    com_ptr(const com_ptr&) = delete;
    com_ptr& operator=(const com_ptr&) = delete;

    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

    // The out-parameter of a call that hands over a new reference. The
    // holder must be empty, or the reference it holds would leak.
    T** receive() {
        assert(p_ == nullptr);
        return &p_;
    }
    void** receive_void() { return reinterpret_cast<void**>(receive()); }

    // Takes over a reference the caller owns, e.g. a new object's first.
    void attach(T* p) { *receive() = p; }
    // Holds a reference of its own to an object that someone else holds too.
    void share(T* p) {
        if (p != nullptr) {
            p->AddRef();
        }
        attach(p);
    }

    void reset() {
        if (p_ != nullptr) {
            p_->Release();
            p_ = nullptr;
        }
    }

  private:
    T* p_ = nullptr;
};
