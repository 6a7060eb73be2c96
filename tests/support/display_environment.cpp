// Linked into the Linux build's window test programs: every test of the
// program runs on a private Xvfb display (x_display.h) and a private session
// bus (session_bus.h), started before the first test.
#include <stdlib.h>

#include <memory>

#include <gtest/gtest.h>

#include "session_bus.h"
#include "x_display.h"

namespace {

class DisplayEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        x_ = std::make_unique<XDisplay>();
        ASSERT_TRUE(x_->ok()) << x_->error();
        setenv("DISPLAY", x_->name().c_str(), 1);
        setenv("GDK_BACKEND", "x11", 1);
        unsetenv("WAYLAND_DISPLAY");
        // After the display: the services the bus starts take this
        // environment.
        bus_ = std::make_unique<SessionBus>();
        ASSERT_TRUE(bus_->ok()) << bus_->error();
        setenv("DBUS_SESSION_BUS_ADDRESS", bus_->address().c_str(), 1);
    }
    void TearDown() override {
        x_.reset();
        bus_.reset();
    }

  private:
    std::unique_ptr<XDisplay> x_;
    std::unique_ptr<SessionBus> bus_;
};

[[maybe_unused]] auto* const environment =
    ::testing::AddGlobalTestEnvironment(new DisplayEnvironment);

} // namespace
