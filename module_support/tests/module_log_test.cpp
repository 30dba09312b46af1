// The one logger of the three modules, called directly: what reaches
// /dev/log, as a datagram and on a stream logger.
#include "module_log.h"
#include "sandbox.h"
#include "syslog_capture.h"

#include <stdarg.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

void log_text(const std::string &text)
{
    [](const char *format, ...) {
        va_list ap;
        va_start(ap, format);
        log_under_identity("PAM-test", LOG_ERR, format, ap);
        va_end(ap);
    }("%s", text.c_str());
}

}  // namespace

TEST(ModuleLog, ControlCharactersCannotStartALineOfTheirOwn)
{
    struct {
        std::string text, logged;
    } rows[] = {
        {"550 too many attempts\n", "550 too many attempts"},
        {"one line end dropped\n\n", "one line end dropped#012"},
        {"550\n<38>Dec 10 12:00:00 sshd[1]: Accepted password for root\n",
         "550#012<38>Dec 10 12:00:00 sshd[1]: Accepted password for root"},
        {"\x1b[2J\x07\x7f\r\t", "#033[2J#007#177#015#011"},
        {"\x01 and \x1f", "#001 and #037"},
        {"caf\xc3\xa9 # stays", "caf\xc3\xa9 # stays"},
        {"\n", ""},
    };
    for (auto &row : rows) {
        clear_log();
        log_text(row.text);
        EXPECT_EQ(log_messages("PAM-test"), std::vector<std::string>{row.logged}) << row.text;
    }

    // Escapes that do not all fit are cut between two of them.
    clear_log();
    log_text(std::string(3000, '\x01'));
    auto events = log_events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_LT(events[0].raw.size(), 8192u);
    EXPECT_GT(events[0].text.size(), 8000u);
    EXPECT_EQ(events[0].text.size() % 4, 0u);
    EXPECT_EQ(events[0].text.find_first_not_of("#001"), std::string::npos);
}

TEST(ModuleLog, AStreamLoggerGetsOneRecordWithItsEnd)
{
    ASSERT_EQ(unlink("/dev/log"), 0);
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, "/dev/log");
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 4), 0);

    log_text("first\nsecond\n");
    int peer = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(peer, 0);
    std::string record;
    char buf[4096];
    for (ssize_t n; (n = read(peer, buf, sizeof buf)) > 0;)
        record.append(buf, size_t(n));
    close(peer);
    close(listener);
    std::string tail = "PAM-test[" + std::to_string(getpid()) + "]: first#012second";
    tail += '\0';
    ASSERT_GT(record.size(), tail.size());
    EXPECT_EQ(record.substr(0, 4), "<35>");
    EXPECT_EQ(record.substr(record.size() - tail.size()), tail);
}
