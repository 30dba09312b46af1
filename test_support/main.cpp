// Test entry point: every test process runs in its own sandbox.
#include "sandbox.h"
#include "syslog_capture.h"

#include <gtest/gtest.h>
#include <string.h>
#include <syslog.h>

int main(int argc, char **argv)
{
    bool listing = false;
    for (int i = 1; i < argc; i++)
        if (strcmp(argv[i], "--gtest_list_tests") == 0)
            listing = true;
    if (!listing) {
        enter_sandbox();
        start_log_capture();
        // libpam logs through the process's own syslog connection; opened
        // now, it is not taken for a descriptor a module left open.
        openlog(nullptr, LOG_NDELAY, LOG_USER);
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
