// Linked into every window test program: as the program's entry does, the
// common controls (SysLink, command links) are initialised before the first
// dialog is made.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

namespace {

class CommonControls : public ::testing::Environment {
    void SetUp() override {
        INITCOMMONCONTROLSEX controls{};
        controls.dwSize = sizeof controls;
        controls.dwICC = ICC_BAR_CLASSES;
        ASSERT_TRUE(InitCommonControlsEx(&controls));
    }
};

[[maybe_unused]] auto* const common_controls =
    ::testing::AddGlobalTestEnvironment(new CommonControls);

} // namespace
