// The process tests run velk as root and as nobody, in private mount
// namespaces, on files owned by either: without root none of them can
// run.  Each is then reported skipped with the reason (failed under
// CI=true) instead of failing for a reason of its own.
#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

#include "harness.hpp"

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (geteuid() != 0 && !GTEST_FLAG_GET(list_tests)) {
        printf("[  SKIPPED ] the process tests need root (run tests/run)\n");
        return on_ci() ? 1 : 0;
    }
    return RUN_ALL_TESTS();
}
