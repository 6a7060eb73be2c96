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

// The toolkit's libraries keep caches for the life of the process (fontconfig's
// font lists, D-Bus and GLib singletons) that LeakSanitizer reports at exit;
// their stacks end inside those uninstrumented libraries, so only those are
// named. Leaks of ours show frames of our own code.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n"
           "leak:libdbus-1.so\n"
           "leak:libglib-2.0.so\n"
           "leak:libgobject-2.0.so\n"
           "leak:libgtk-3.so\n"
           "leak:libgdk-3.so\n"
           "leak:libpango\n"
           "leak:libcairo.so\n";
}

// GLib's worker threads (D-Bus, the settings portal) synchronise through
// atomics inside uninstrumented libraries, which ThreadSanitizer cannot see.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libglib-2.0.so\n"
           "race:libgio-2.0.so\n"
           "race:libgobject-2.0.so\n"
           "race:libdbus-1.so\n"
           "race:libgtk-3.so\n"
           "race:libgdk-3.so\n"
           "race:libfontconfig.so\n";
}
