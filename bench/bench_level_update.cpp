// What one WM_LEVEL_UPDATE costs the window thread: the peak display's two
// copies, the blocks' lines and one pen, at the real size of the main
// window's display control, on a private Xvfb display and session bus.
// Measured as the drawing call alone (one block per pass, as in normal
// running, and more after the window was held up), with peaks that no sound
// should have (a float stream in the wrong scale, infinities, NaN), which
// must cost the same; and as the message posted and dispatched through the
// thread's queue with the toolkit showing the control's new picture, as the
// program runs it.
#include <benchmark/benchmark.h>

#include <windows.h>
#include <commctrl.h>

#include <stdlib.h>

#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "dialog.h"
#include "peak_display.h"
#include "resource.h"
#include "sample_sink.h"
#include "window_messages.h"
#include "session_bus.h"
#include "x_display.h"

namespace {

// A moving level, so that every column differs.
float next_peak(float peak) {
    return peak > 1.0f ? 0.0f : peak + 0.013f;
}

// The main window's template with nothing behind it but the display.
class CDisplayHost : public CDialogImpl<CDisplayHost> {
  public:
    enum { IDD = IDD_MAINDLG };
    PeakDisplay display;
    float peak = 0.0f;

    BOOL ProcessWindowMessage(HWND, UINT message, WPARAM, LPARAM, LRESULT& result, DWORD) override {
        if (message == WM_INITDIALOG) {
            display.Setup(GetDlgItem(IDC_PEAK));
            result = 1;
            return TRUE;
        }
        if (message == WM_LEVEL_UPDATE) {
            peak = next_peak(peak);
            display.OnLevelUpdate(peak, 1);
            result = 0;
            return TRUE;
        }
        return FALSE;
    }
};

struct Window {
    // Started after the display (the services it starts take the display
    // from our environment), stopped after it.
    std::optional<SessionBus> bus;
    XDisplay x;
    CDisplayHost host;
    bool ok = false;

    Window() {
        if (!x.ok()) {
            return;
        }
        setenv("DISPLAY", x.name().c_str(), 1);
        setenv("GDK_BACKEND", "x11", 1);
        unsetenv("WAYLAND_DISPLAY");
        if (!bus.emplace().ok()) {
            return;
        }
        setenv("DBUS_SESSION_BUS_ADDRESS", bus->address().c_str(), 1);
        INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_BAR_CLASSES};
        InitCommonControlsEx(&controls);
        if (host.Create(nullptr)) {
            host.ShowWindow(SW_SHOW);
            ok = true;
        }
    }
};

Window& window() {
    static Window w;
    return w;
}

void pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageW(&msg);
    }
}

// The window, or null with the benchmark marked as failed.
Window* ready(benchmark::State& state) {
    Window& w = window();
    if (!w.ok) {
        state.SkipWithError("no display");
        return nullptr;
    }
    return &w;
}

// Blocks per drawing pass: 1 as in normal running; 4 and the ring's whole
// 255 after the window thread was held up. The time per block is the figure.
void BM_DrawingPass(benchmark::State& state) {
    Window* w = ready(state);
    if (!w) {
        return;
    }
    PeakDisplay& display = w->host.display;
    std::vector<float> peaks(static_cast<size_t>(state.range(0)));
    float peak = 0.0f;
    for (auto _ : state) {
        for (float& p : peaks) {
            p = peak = next_peak(peak);
        }
        display.OnLevelUpdate(peaks.data(), static_cast<int32_t>(peaks.size()), 1);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.counters["width"] = display.m_width;
    state.counters["height"] = display.m_height;
}
BENCHMARK(BM_DrawingPass)->Arg(1)->Arg(4)->Arg(255)->Unit(benchmark::kMicrosecond);

// One block with a peak no sound should have; it must cost what 0.5 does.
void BM_UnusualPeak(benchmark::State& state) {
    Window* w = ready(state);
    if (!w) {
        return;
    }
    const float peaks[] = {0.5f, 1e6f, 3e38f, std::numeric_limits<float>::infinity(),
                           std::numeric_limits<float>::quiet_NaN(), -1.0f};
    const char* names[] = {"0.5", "1e6", "3e38", "+inf", "NaN", "-1"};
    const float peak = peaks[state.range(0)];
    state.SetLabel(names[state.range(0)]);
    for (auto _ : state) {
        w->host.display.OnLevelUpdate(peak, 1);
    }
}
BENCHMARK(BM_UnusualPeak)->DenseRange(0, 5)->Unit(benchmark::kMicrosecond);

void BM_LevelUpdateMessage(benchmark::State& state) {
    Window* w = ready(state);
    if (!w) {
        return;
    }
    pump();
    for (auto _ : state) {
        PostMessageW(w->host.m_hWnd, WM_LEVEL_UPDATE, 0, 0);
        pump();
    }
}
BENCHMARK(BM_LevelUpdateMessage)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
