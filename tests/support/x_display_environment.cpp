// Linked into the Linux build's UI test programs: every test of the program
// runs on a private Xvfb display (x_display.h), started before the first test.
#include <stdlib.h>

#include <memory>

#include <gtest/gtest.h>

#include "x_display.h"

namespace {

class XDisplayEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        display_ = std::make_unique<XDisplay>();
        ASSERT_TRUE(display_->ok()) << display_->error();
        setenv("DISPLAY", display_->name().c_str(), 1);
        unsetenv("WAYLAND_DISPLAY");
    }
    void TearDown() override { display_.reset(); }

  private:
    std::unique_ptr<XDisplay> display_;
};

[[maybe_unused]] auto* const environment =
    ::testing::AddGlobalTestEnvironment(new XDisplayEnvironment);

} // namespace
