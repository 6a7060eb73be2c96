// COM initialisation, CoCreateInstance's refusals, task memory and
// PROPVARIANT, the platform's COM object base, and wsprintfW.
#include <windows.h>
#include <objbase.h>
#include <propidl.h>
#include <mmdeviceapi.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "com_object.h"

// Two interfaces, to test identity and the per-interface casts. GUIDs are
// named at global scope.
struct ITestFirst : IUnknown {
    STDMETHOD_(int, First)() = 0;
};
struct ITestSecond : IUnknown {
    STDMETHOD_(int, Second)() = 0;
};
SONARET_UUID(ITestFirst, 0x11111111, 0x1, 0x1, 1, 1, 1, 1, 1, 1, 1, 1);
SONARET_UUID(ITestSecond, 0x22222222, 0x2, 0x2, 2, 2, 2, 2, 2, 2, 2, 2);

namespace {

// Runs `body` on a new thread, which starts outside any apartment.
template <typename F> void on_fresh_thread(F body) {
    std::thread(body).join();
}

TEST(Com, InitialisationIsCountedPerThread) {
    on_fresh_thread([] {
        EXPECT_EQ(CoInitialize(nullptr), S_OK);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
        EXPECT_TRUE(FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); // other model
        on_fresh_thread([] {
            EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
            CoUninitialize();
        });
        CoUninitialize();
        EXPECT_EQ(CoInitialize(nullptr), S_FALSE) << "one CoUninitialize left to go";
        CoUninitialize();
        CoUninitialize();
        CoUninitialize(); // unbalanced: ignored
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        CoUninitialize();
    });
}

const CLSID kUnknownClass = {0x12345678, 0x1, 0x2, {1, 2, 3, 4, 5, 6, 7, 8}};

// The result; `*object` must have been cleared from the garbage put there.
HRESULT create(REFCLSID clsid, LPUNKNOWN outer = nullptr, DWORD context = CLSCTX_ALL) {
    void* object = &object;
    const HRESULT result =
        CoCreateInstance(clsid, outer, context, __uuidof(IMMDeviceEnumerator), &object);
    EXPECT_EQ(object, nullptr);
    return result;
}

TEST(Com, CreateInstanceRefusesWithWindowsResults) {
    on_fresh_thread([] {
        EXPECT_EQ(create(kUnknownClass), CO_E_NOTINITIALIZED);
        EXPECT_EQ(create(__uuidof(MMDeviceEnumerator)), CO_E_NOTINITIALIZED);
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
        EXPECT_EQ(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                   __uuidof(IMMDeviceEnumerator), nullptr),
                  E_POINTER);
        EXPECT_EQ(create(kUnknownClass), REGDB_E_CLASSNOTREG);
        EXPECT_EQ(create(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_LOCAL_SERVER),
                  REGDB_E_CLASSNOTREG);
        int outer = 0;
        EXPECT_EQ(create(__uuidof(MMDeviceEnumerator), reinterpret_cast<LPUNKNOWN>(&outer)),
                  CLASS_E_NOAGGREGATION);
        CoUninitialize();

        // While a thread is in the multithreaded apartment, others join it.
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        on_fresh_thread([] { EXPECT_EQ(create(kUnknownClass), REGDB_E_CLASSNOTREG); });
        CoUninitialize();
        on_fresh_thread([] { EXPECT_EQ(create(kUnknownClass), CO_E_NOTINITIALIZED); });
        // A thread that ends inside the apartment leaves it all the same.
        on_fresh_thread([] { EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK); });
        on_fresh_thread([] { EXPECT_EQ(create(kUnknownClass), CO_E_NOTINITIALIZED); });
    });
}

TEST(Com, PropVariantClearFreesTaskStrings) {
    EXPECT_EQ(com_strdup(nullptr), nullptr);
    PROPVARIANT value;
    PropVariantInit(&value);
    value.vt = VT_LPWSTR;
    value.pwszVal = com_strdup(L"麦克风 (USB)"); // a leak fails under ASan
    ASSERT_NE(value.pwszVal, nullptr);
    EXPECT_EQ(std::wstring(value.pwszVal), L"麦克风 (USB)");
    EXPECT_EQ(PropVariantClear(&value), S_OK);
    EXPECT_EQ(value.vt, VT_EMPTY);
    EXPECT_EQ(value.pwszVal, nullptr);
    EXPECT_EQ(PropVariantClear(&value), S_OK); // empty: nothing is freed twice
    EXPECT_EQ(PropVariantClear(nullptr), S_OK);

    value.vt = 0x7777;
    value.uhVal = 5;
    EXPECT_TRUE(FAILED(PropVariantClear(&value)));
    EXPECT_EQ(value.vt, VT_EMPTY);
    EXPECT_EQ(value.uhVal, 0u);
}

class Both final : public ComObject<ITestFirst, ITestSecond> {
  public:
    explicit Both(std::atomic<int>* destroyed) : destroyed_(destroyed) {}
    ~Both() override { ++*destroyed_; }
    STDMETHOD_(int, First)() override { return 1; }
    STDMETHOD_(int, Second)() override { return 2; }

  private:
    std::atomic<int>* destroyed_;
};

TEST(ComObject, QueryInterfaceAndReferenceCounting) {
    std::atomic<int> destroyed{0};
    ITestSecond* second = nullptr;
    ASSERT_EQ(com_query_new(new Both(&destroyed), __uuidof(ITestSecond),
                            reinterpret_cast<void**>(&second)),
              S_OK);
    EXPECT_EQ(second->Second(), 2);
    ITestFirst* first = nullptr;
    ASSERT_EQ(second->QueryInterface(__uuidof(ITestFirst), reinterpret_cast<void**>(&first)), S_OK);
    EXPECT_EQ(first->First(), 1);
    IUnknown* identity[2] = {};
    ASSERT_EQ(first->QueryInterface(__uuidof(IUnknown), reinterpret_cast<void**>(&identity[0])),
              S_OK);
    ASSERT_EQ(second->QueryInterface(__uuidof(IUnknown), reinterpret_cast<void**>(&identity[1])),
              S_OK);
    EXPECT_EQ(identity[0], identity[1]);
    void* none = &none;
    EXPECT_EQ(first->QueryInterface(__uuidof(IMMDevice), &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(first->QueryInterface(__uuidof(ITestSecond), nullptr), E_POINTER);

    // Four references: second, first and the two identities. Counted from
    // several threads at once, they must come out even.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([first] {
            for (int i = 0; i < 10000; ++i) {
                first->AddRef();
                first->Release();
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(first->AddRef(), 5u);
    EXPECT_EQ(first->Release(), 4u);
    identity[0]->Release();
    identity[1]->Release();
    EXPECT_EQ(first->Release(), 1u);
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(second->Release(), 0u);
    EXPECT_EQ(destroyed, 1);

    // An interface it lacks: refused, and the new object freed.
    EXPECT_EQ(com_query_new(new Both(&destroyed), __uuidof(IMMDevice), &none), E_NOINTERFACE);
    EXPECT_EQ(destroyed, 2);
    EXPECT_EQ(com_query_new(static_cast<Both*>(nullptr), __uuidof(ITestFirst), &none),
              E_OUTOFMEMORY);
}

TEST(Wsprintf, FormatsAsWindowsDoes) {
    WCHAR out[1024];
    auto expect = [&](int written, const std::wstring& want) {
        EXPECT_EQ(out, want);
        EXPECT_EQ(written, static_cast<int>(want.size()));
    };
    // The device list's lines: Chinese text and the full-width colon.
    expect(wsprintfW(out, L"麦克风输入 ：%s", L"耳机 (USB)"), L"麦克风输入 ：耳机 (USB)");
    expect(wsprintfW(out, L"%s|%ls|%S|%hs|%c|%C|%hc", L"宽", L"宽", "\xe7\xaa\x84", "n", L'字', 'a',
                     'b'),
           L"宽|宽|窄|n|字|a|b");
    expect(wsprintfW(out, L"%S", "caf\xe9"), L"caf\u00e9"); // not UTF-8: bytes as Latin-1
    expect(wsprintfW(out, L"%s|%.2s|%5s|%-5s|", nullptr, L"abc", L"ab", L"ab"),
           L"(null)|ab|   ab|ab   |");
    expect(wsprintfW(out, L"%d %i %u %ld %lu", -42, 7, -1, -2147483647 - 1, 4000000000u),
           L"-42 7 4294967295 -2147483648 4000000000");
    expect(wsprintfW(out, L"%x %X %#x %08X %p", 0xbeef, 0xbeef, 255, 0xab,
                     reinterpret_cast<void*>(0x1f)),
           L"beef BEEF 0xff 000000AB " + std::wstring(2 * sizeof(void*) - 2, L'0') + L"1F");
    expect(
        wsprintfW(out, L"%02d:%02d|%5d|%-5d|%05d|%.3d|%I64d", 7, 45, 42, 42, -42, 5, -9000000000LL),
        L"07:45|   42|42   |-0042|005|-9000000000");
    expect(wsprintfW(out, L"100%% %y %"), L"100% y ");
}

TEST(Wsprintf, WritesAtMost1024UnitsWithTheTerminator) {
    std::vector<WCHAR> out(1100, L'#');
    const std::wstring long_name(2000, L'音');
    EXPECT_EQ(wsprintfW(out.data(), L"名：%s", long_name.c_str()), 1023);
    EXPECT_EQ(out.data(), L"名：" + long_name.substr(0, 1021));
    EXPECT_EQ(out[1024], L'#');
    EXPECT_EQ(wsprintfW(out.data(), L"%1500d", 5), 1023); // padding is cut too
    EXPECT_EQ(out.data(), std::wstring(1023, L' '));
    EXPECT_EQ(out[1024], L'#');
    const std::wstring exact(1023, L'x');
    EXPECT_EQ(wsprintfW(out.data(), exact.c_str()), 1023);
    EXPECT_EQ(out.data(), exact);

    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(wsprintfW(out.data(), nullptr), 0);
    EXPECT_EQ(out[0], L'\0');
    EXPECT_EQ(wsprintfW(nullptr, L"x"), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

} // namespace
