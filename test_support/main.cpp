// Test entry point: every test process runs in its own sandbox.
#include "sandbox.h"

#include <gtest/gtest.h>
#include <string.h>

int main(int argc, char **argv)
{
    bool listing = false;
    for (int i = 1; i < argc; i++)
        if (strcmp(argv[i], "--gtest_list_tests") == 0)
            listing = true;
    if (!listing)
        enter_sandbox();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
