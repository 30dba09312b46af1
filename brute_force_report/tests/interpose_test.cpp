// A host that defines its own readline and json_encode_string loads
// pam_brud.so: the module's own calls must still reach its own code.
#include "brud.h"
#include "brud_harness.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>

static int host_readline_calls = 0;
static int host_encode_calls = 0;

extern "C" {
__attribute__((visibility("default"))) int readline(char *buf, FILE *, int)
{
    host_readline_calls++;
    strcpy(buf, "HOST-KEY");
    return 1;
}

__attribute__((visibility("default"))) char *json_encode_string(const char *)
{
    host_encode_calls++;
    return strdup("\"HOST\"");
}
}

TEST(BrudInterposition, ModuleCallsItsOwnReadlineAndEncoder)
{
    enable_brud();
    brud_daemon daemon;
    void *module = dlopen(PAM_BRUD_SO, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    // Control: to anything bound through the global scope these names are
    // the host's.
    EXPECT_EQ(dlsym(RTLD_DEFAULT, "readline"), reinterpret_cast<void *>(&readline));
    EXPECT_EQ(dlsym(RTLD_DEFAULT, "json_encode_string"), reinterpret_cast<void *>(&json_encode_string));
    EXPECT_NE(dlsym(module, "readline"), reinterpret_cast<void *>(&readline));

    auto get_key = reinterpret_cast<decltype(&get_brud_key)>(dlsym(module, "get_brud_key"));
    auto connect = reinterpret_cast<decltype(&connect_brud)>(dlsym(module, "connect_brud"));
    auto tell = reinterpret_cast<decltype(&tell_brud)>(dlsym(module, "tell_brud"));
    auto disconnect = reinterpret_cast<decltype(&disconnect_brud)>(dlsym(module, "disconnect_brud"));
    ASSERT_TRUE(get_key && connect && tell && disconnect);

    char key[BRUD_KEY_SIZE] = "";
    EXPECT_EQ(get_key(key), 1);
    EXPECT_EQ(std::string(key), TEST_KEY);

    int fd = connect();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(tell(fd, BRUD_ACTION_AUTHENTICATE, "alice", "h", nullptr, 1, nullptr, nullptr, nullptr),
              BRUD_ALLOWED);
    disconnect(fd);
    auto lines = daemon.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "AUTH pam " + TEST_KEY + "\n");
    EXPECT_EQ(member(lines[1], "username"), "\"alice\"");
    EXPECT_EQ(member(lines[1], "remote_host"), "\"h\"");
    EXPECT_EQ(host_readline_calls, 0);
    EXPECT_EQ(host_encode_calls, 0);
    dlclose(module);
}
