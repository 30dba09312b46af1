// No copy of the password or the key is left behind in freed heap memory or
// in the dead part of the stack once the module is done.  The checks scan
// the process's own memory, so they rely on glibc's allocator and a plain
// stack: they run in the normal build only.
//
// Every secret below lives in static storage and reaches the module through
// a raw write(2) or a conversation that copies it once, so any copy found in
// the heap or the stack was made by the code under test.
#include "pam_app.h"
#include "sandbox.h"
#include "tamlo.h"

#include <fcntl.h>
#include <malloc.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

const char key_marker[] = "Zq8Lw3Rt6Vy1Np4Hc7Jd2Gf5";      // the key and the token
const char rejected_marker[] = "Ub9Xe2Ko5Ma8Ts1Qi4Wn7Py3";  // the token of a refused answer
const char session_marker[] = "Sx7Qk2Wm9P";                 // exactly ten characters
const char key_file[] = "/var/vesnar/tamlo/keys/alice:tamlo_Sx7Qk2Wm9P";
char password[] = "tamlo_Sx7Qk2Wm9P_Zq8Lw3Rt6Vy1Np4Hc7Jd2Gf5";
// The allocator reuses the first 16 bytes of a freed block for its own
// bookkeeping, so the heap checks look for the token, which lies beyond them.
// The refused answer is long, with its token at the end, so that the small
// allocations made later in the transaction do not reuse and overwrite it.
char rejected[700];

void fill_rejected()
{
    const char head[] = "tamlo_Sx7Qk2Wm9P_";
    memset(rejected, '-', sizeof rejected - 1);
    memcpy(rejected, head, strlen(head));
    memcpy(rejected + sizeof rejected - 1 - strlen(rejected_marker), rejected_marker,
           strlen(rejected_marker));
}

void write_key_file()
{
    make_dirs("/var/vesnar/tamlo/keys");
    int fd = open(key_file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ((ssize_t)strlen(key_marker), write(fd, key_marker, strlen(key_marker)));
    close(fd);
}

// Does the process's brk heap hold `needle` anywhere, in use or freed?
bool heap_holds(const char *needle)
{
    uintptr_t lo = 0, hi = 0;
    {
        char line[512];
        FILE *maps = fopen("/proc/self/maps", "re");
        while (maps && fgets(line, sizeof line, maps))
            if (strstr(line, "[heap]"))
                sscanf(line, "%lx-%lx", &lo, &hi);
        if (maps)
            fclose(maps);
    }
    EXPECT_NE(hi, 0u) << "no [heap] mapping";
    return memmem(reinterpret_cast<void *>(lo), hi - lo, needle, strlen(needle)) != nullptr;
}

// Dead stack below the caller: scanned byte by byte without calling out,
// so the scan itself overwrites nothing there.
__attribute__((noinline)) bool stack_below_holds(const char *needle)
{
    const volatile char *top = static_cast<const volatile char *>(__builtin_frame_address(0));
    const size_t len = strlen(needle);
    for (const volatile char *p = top - 48 * 1024; p + len < top; p++) {
        size_t i = 0;
        while (i < len && p[i] == needle[i])
            i++;
        if (i == len)
            return true;
    }
    return false;
}

// Clears (and maps in) the stack that the scans look at.
__attribute__((noinline)) void scrub_stack()
{
    volatile char area[96 * 1024];
    explicit_bzero(const_cast<char *>(area), sizeof area);
}

// What a reader of the key file that does not wipe would leave behind.
__attribute__((noinline)) int careless_key_check(const char *token)
{
    char path[4096] = {};
    char key[256] = {};
    snprintf(path, sizeof path, "/var/vesnar/tamlo/keys/alice:tamlo_%s", session_marker);
    FILE *f = fopen(path, "re");
    if (!f)
        return -1;
    size_t got = fread(key, 1, 255, f);
    fclose(f);
    return got > 0 && strcmp(key, token) == 0;
}

// Conversation: first a failure that still hands back a response, then the
// right password; each answer is copied once into a fresh allocation.
int two_answers(int, const pam_message **, pam_response **resp, void *data)
{
    int *calls = static_cast<int *>(data);
    const char *text = ++*calls == 1 ? rejected : password;
    auto *r = static_cast<pam_response *>(calloc(1, sizeof(pam_response)));
    r->resp = static_cast<char *>(malloc(strlen(text) + 1));
    memcpy(r->resp, text, strlen(text) + 1);
    *resp = r;
    return *calls == 1 ? PAM_CONV_ERR : PAM_SUCCESS;
}

TEST(TamloWipe, ConversationAnswersAndKeyLeaveNoHeapCopy)
{
    write_key_file();
    fill_rejected();
    // Freed memory stays in the heap rather than going back to the system.
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    // Positive controls: the scan finds an answer that was freed unwiped,
    // and the key after a buffered stdio read of the key file.
    char *loose = static_cast<char *>(malloc(sizeof rejected));
    memcpy(loose, rejected, sizeof rejected);
    asm volatile("" : : "r"(loose) : "memory");  // keep the copy from being optimised out
    free(loose);
    EXPECT_TRUE(heap_holds(rejected_marker));
    ASSERT_EQ(careless_key_check(key_marker), 1);
    EXPECT_TRUE(heap_holds(key_marker));
    // Overwrite both leftovers so that the real run starts clean.
    for (size_t size : {sizeof rejected, size_t(4096)}) {
        void *p = malloc(size);
        explicit_bzero(p, size);
        free(p);
    }
    ASSERT_FALSE(heap_holds(rejected_marker));
    ASSERT_FALSE(heap_holds(key_marker));

    int calls = 0;
    {
        pam_app app("tamlo-wipe", {"auth required " + std::string(PAM_TAMLO_SO)});
        ASSERT_EQ(app.start("alice"), PAM_SUCCESS);
        pam_conv conv{two_answers, &calls};
        ASSERT_EQ(app.set_item(PAM_CONV, &conv), PAM_SUCCESS);
        EXPECT_PAM(app.authenticate(), PAM_SUCCESS);
        EXPECT_EQ(calls, 2);
        EXPECT_FALSE(heap_holds(rejected_marker)) << "refused answer freed unwiped";
        EXPECT_FALSE(heap_holds(key_marker)) << "password or key left in freed memory";
    }
}

TEST(TamloWipe, ValidationLeavesNoStackCopy)
{
    write_key_file();
    // Positive control: an unwiped reader leaves key and path on the stack.
    scrub_stack();
    int control = careless_key_check(key_marker);
    bool control_key = stack_below_holds(key_marker);
    bool control_path = stack_below_holds(key_file);
    EXPECT_EQ(control, 1);
    EXPECT_TRUE(control_key);
    EXPECT_TRUE(control_path);

    // Validation cuts its argument in place: give it a copy of its own.
    static char cut[sizeof password];
    memcpy(cut, password, sizeof password);
    scrub_stack();
    int valid = validate_tamlo_user_pass("alice", cut);
    bool key_left = stack_below_holds(key_marker);
    bool path_left = stack_below_holds(key_file);
    bool session_left = stack_below_holds(session_marker);
    EXPECT_EQ(valid, 1);
    EXPECT_FALSE(key_left) << "key buffer not wiped";
    EXPECT_FALSE(path_left) << "key file path not wiped";
    EXPECT_FALSE(session_left) << "session-user copy not wiped";
}

}  // namespace
