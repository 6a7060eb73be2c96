// Checks the Windows suite's runner, scripts/wine-run.sh, which must judge a
// test program by its GoogleTest report, not by its exit status alone. Each
// case but the last ends the way a test program may end under Wine, where
// the exit status can't be trusted: CTest expects the runner to call those
// failed (tests/CMakeLists.txt).
#include <gtest/gtest.h>

#include <stdlib.h>
#include <windows.h>

namespace {

// Wine was seen to abort while a process ended and then exit with 0 after
// GoogleTest had printed FAILED; this ends with 0 after a failure.
void end_with_zero() {
    TerminateProcess(GetCurrentProcess(), 0);
}

void end_with_abort() {
    abort();
}

// Neither an abort nor a crash shows a box or starts a debugger.
void show_no_boxes() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
}

TEST(Judge, FailsThenEndsWithZero) {
    atexit(end_with_zero);
    ADD_FAILURE() << "this case fails on purpose: the runner must report it";
}

TEST(Judge, PassesThenAborts) {
    show_no_boxes();
    atexit(end_with_abort);
}

TEST(Judge, CrashesBeforeItsReport) {
    show_no_boxes();
    *static_cast<volatile int*>(nullptr) = 1;
}

TEST(Judge, Passes) {
    EXPECT_EQ(GetCurrentProcessId(), GetCurrentProcessId());
}

} // namespace
