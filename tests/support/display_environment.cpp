// Linked into the Linux build's window test programs: every test of the
// program runs on a private display and a private session bus (session_bus.h),
// started before the first test. The display is an Xvfb (x_display.h), or
// weston headless (wayland_display.h) when SONARET_TEST_DISPLAY is "wayland",
// or weston nested in an Xvfb when it is "wayland-shown": the X display then
// shows what weston composed, and SONARET_TEST_SCREEN names it.
#include <stdlib.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "session_bus.h"
#include "wayland_display.h"
#include "x_display.h"

namespace {

class DisplayEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        const char* chosen = getenv("SONARET_TEST_DISPLAY");
        const std::string kind = chosen && *chosen ? chosen : "x11";
        if (kind == "wayland" || kind == "wayland-shown") {
            if (kind == "wayland-shown") {
                x_ = std::make_unique<XDisplay>();
                ASSERT_TRUE(x_->ok()) << x_->error();
                setenv("SONARET_TEST_SCREEN", x_->name().c_str(), 1);
            }
            wayland_ = std::make_unique<WaylandDisplay>(1280, 800, x_ ? x_->name() : "");
            ASSERT_TRUE(wayland_->ok()) << wayland_->error();
            setenv("XDG_RUNTIME_DIR", wayland_->runtime_dir().c_str(), 1);
            setenv("WAYLAND_DISPLAY", wayland_->name().c_str(), 1);
            setenv("GDK_BACKEND", "wayland", 1);
            unsetenv("DISPLAY");
        } else {
            ASSERT_EQ(kind, "x11") << "SONARET_TEST_DISPLAY is x11, wayland or wayland-shown";
            x_ = std::make_unique<XDisplay>();
            ASSERT_TRUE(x_->ok()) << x_->error();
            setenv("DISPLAY", x_->name().c_str(), 1);
            setenv("GDK_BACKEND", "x11", 1);
            unsetenv("WAYLAND_DISPLAY");
        }
        // After the display: the services the bus starts take this
        // environment.
        bus_ = std::make_unique<SessionBus>();
        ASSERT_TRUE(bus_->ok()) << bus_->error();
        setenv("DBUS_SESSION_BUS_ADDRESS", bus_->address().c_str(), 1);
    }
    void TearDown() override {
        wayland_.reset();
        x_.reset();
        bus_.reset();
    }

  private:
    std::unique_ptr<XDisplay> x_;
    std::unique_ptr<WaylandDisplay> wayland_;
    std::unique_ptr<SessionBus> bus_;
};

[[maybe_unused]] auto* const environment =
    ::testing::AddGlobalTestEnvironment(new DisplayEnvironment);

} // namespace
