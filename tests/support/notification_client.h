// An endpoint notification client that keeps every call it gets, in order,
// and lets a test wait for the one it expects. It lives on the test's stack:
// Release deletes nothing, and refs() tells whether every reference came
// back. Registered through listen(), it unregisters when it goes.
#pragma once

#include <windows.h>

#include <mmdeviceapi.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <initializer_list>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

struct Note {
    enum Kind { Added, Removed, State, Default, Property };
    Kind kind;
    std::wstring id; // empty for a null id
    bool null_id = false;
    DWORD state = 0;       // State
    EDataFlow flow = eAll; // Default
    ERole role = eConsole; // Default
    PROPERTYKEY key{};     // Property
    std::thread::id thread = std::this_thread::get_id();
};

// Where the first note from `from` on that `match`es is; npos when none is.
template <typename Match>
size_t find_note(const std::vector<Note>& notes, Match match, size_t from = 0) {
    while (from < notes.size() && !match(notes[from])) {
        ++from;
    }
    return from < notes.size() ? from : std::wstring::npos;
}

inline auto is(Note::Kind kind, const std::wstring& id, DWORD state = 0) {
    return [=](const Note& n) {
        return n.kind == kind && n.id == id && !n.null_id && n.state == state;
    };
}

// A null `id` stands for "no default".
inline auto is_default(EDataFlow flow, ERole role, const wchar_t* id) {
    return [flow, role, null_id = id == nullptr, id = std::wstring(id ? id : L"")](const Note& n) {
        return n.kind == Note::Default && n.flow == flow && n.role == role &&
               n.null_id == null_id && n.id == id;
    };
}

class NotificationClient final : public IMMNotificationClient {
  public:
    ~NotificationClient() { stop_listening(); }

    HRESULT listen(IMMDeviceEnumerator* enumerator) {
        const HRESULT hr = enumerator->RegisterEndpointNotificationCallback(this);
        enumerator_ = SUCCEEDED(hr) ? enumerator : nullptr;
        return hr;
    }
    HRESULT stop_listening() {
        IMMDeviceEnumerator* enumerator = std::exchange(enumerator_, nullptr);
        return enumerator ? enumerator->UnregisterEndpointNotificationCallback(this) : S_FALSE;
    }
    ULONG refs() const { return refs_; }

    STDMETHOD(QueryInterface)(REFIID riid, void** object) override {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (riid != __uuidof(IUnknown) && riid != __uuidof(IMMNotificationClient)) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        *object = static_cast<IMMNotificationClient*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHOD_(ULONG, AddRef)() override { return ++refs_; }
    STDMETHOD_(ULONG, Release)() override { return --refs_; }

    STDMETHOD(OnDeviceStateChanged)(LPCWSTR id, DWORD state) override {
        return keep({.kind = Note::State, .id = text(id), .null_id = !id, .state = state});
    }
    STDMETHOD(OnDeviceAdded)(LPCWSTR id) override {
        return keep({.kind = Note::Added, .id = text(id), .null_id = !id});
    }
    STDMETHOD(OnDeviceRemoved)(LPCWSTR id) override {
        return keep({.kind = Note::Removed, .id = text(id), .null_id = !id});
    }
    STDMETHOD(OnDefaultDeviceChanged)(EDataFlow flow, ERole role, LPCWSTR id) override {
        return keep(
            {.kind = Note::Default, .id = text(id), .null_id = !id, .flow = flow, .role = role});
    }
    STDMETHOD(OnPropertyValueChanged)(LPCWSTR id, const PROPERTYKEY key) override {
        return keep({.kind = Note::Property, .id = text(id), .null_id = !id, .key = key});
    }

    std::vector<Note> notes() const {
        std::lock_guard guard(mutex_);
        return notes_;
    }
    size_t count() const { return notes().size(); }

    // Until a note from `from` on `match`es; false after `limit`, which only
    // a missing call reaches.
    template <typename Match>
    bool wait_for(Match match, size_t from = 0,
                  std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(
            lock, limit, [&] { return find_note(notes_, match, from) != std::wstring::npos; });
    }
    // Until each of `roles` has been told this default of the flow.
    bool wait_for_default(EDataFlow flow, const wchar_t* id, std::initializer_list<ERole> roles,
                          size_t from = 0,
                          std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        for (ERole role : roles) {
            if (!wait_for(is_default(flow, role, id), from, limit)) {
                return false;
            }
        }
        return true;
    }

    // The notes, for a failure's message.
    friend std::ostream& operator<<(std::ostream& out, const NotificationClient& client) {
        for (const Note& n : client.notes()) {
            out << "\nnote " << n.kind << ' ' << (n.null_id ? "null" : testing::PrintToString(n.id))
                << " state " << n.state << " flow " << n.flow << " role " << n.role;
        }
        return out;
    }

  private:
    static std::wstring text(LPCWSTR id) { return id ? id : L""; }
    HRESULT keep(Note note) {
        std::lock_guard guard(mutex_);
        notes_.push_back(std::move(note));
        changed_.notify_all();
        return S_OK;
    }

    IMMDeviceEnumerator* enumerator_ = nullptr;
    std::atomic<ULONG> refs_{1};
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Note> notes_;
};
