// The program's own sink for the modules' messages, in place of the
// modules' logger: what the module code it runs would log is kept here,
// with the errno it came with and when, and nothing reaches syslog.
#include "brud.h"
#include "check.h"
#include "log_text.h"
#include "module_log.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

namespace {

constexpr size_t MAX_CAPTURED = 32;
constexpr size_t MAX_STAGES = 8;

captured_message messages[MAX_CAPTURED];
size_t message_count = 0;

double stages[MAX_STAGES];  // when each ended
size_t stage_count = 0;

}  // namespace

double now_ms()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) * 1000.0 + double(now.tv_nsec) / 1e6;
}

void forget_captured()
{
    message_count = 0;
    stage_count = 0;
}

size_t captured_count() { return message_count; }
const captured_message *captured(size_t i) { return i < message_count ? &messages[i] : nullptr; }

size_t stages_passed() { return stage_count; }
double stage_at(size_t i) { return i < stage_count ? stages[i] : 0; }

void log_under_identity(const char *, int, const char *format, va_list args)
{
    int saved_errno = errno;
    if (message_count < MAX_CAPTURED) {
        captured_message *m = &messages[message_count++];
        vsnprintf(m->text, sizeof m->text, format, args);
        escape_controls(m->text, sizeof m->text);  // as the modules' logger writes it
        m->error = saved_errno;
        m->has_fields = strchr(format, '%') != nullptr;
        m->at_ms = now_ms();
    }
    errno = saved_errno;
}

// The stages come in connect_brud's order: connect, welcome, login.
void brud_stage_passed(const char *)
{
    int saved_errno = errno;
    if (stage_count < MAX_STAGES)
        stages[stage_count++] = now_ms();
    errno = saved_errno;
}
