// The log's records: one bounded line each, the program name and pid,
// repeats counted, fatal lines and syslog.
#include "support/log.h"
#include "tests/helpers/process.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

// The null-format paths are part of the logging contract.
#pragma GCC diagnostic ignored "-Wformat-security"

namespace {

std::string line(const std::string &text) {
    return log_line("support_test", getpid(), text);
}

class log : public ::testing::Test {
  protected:
    void SetUp() override {
        log_setup(1);
        log_set_verbosity(0);
    }
    void TearDown() override { log_set_verbosity(0); }
};

TEST_F(log, WarnLineCarriesNameAndPid) {
    EXPECT_EQ(capture_stderr([] { warn_msg("warn: %s %d", "disk", 3); }), line("warn: disk 3"));
    EXPECT_EQ(capture_stderr([] { info_msg("hello"); }), line("hello"));
    EXPECT_EQ(capture_stderr([] { log_printf(7, "x%sy", "|"); }), line("x|y"));
}

std::string repeat(const std::string &s, int n) {
    std::string out;
    while (n-- > 0)
        out += s;
    return out;
}

TEST_F(log, EveryRecordIsOneBoundedLine) {
    struct record {
        std::string text, logged;
    };
    const record cases[] = {
        // libpq's own shape: a trailing line feed, inner ones and a tab.
        {"warn: PQconnectdb: failed\n\tIs the server running?\n",
         "warn: PQconnectdb: failed\\n\\tIs the server running?"},
        {"ERROR:  x\nLINE 1: y\n\n", "ERROR:  x\\nLINE 1: y"},
        {std::string("bell\a esc\x1b del\x7f cr\r"), "bell\\x07 esc\\x1b del\\x7f cr\\x0d"},
        {std::string(1 << 20, 'j'), std::string(2039, 'j') + "...[cut]"},
        // Valid UTF-8 passes; C1 controls, raw or encoded, and broken
        // sequences do not (U+009B is CSI on many terminals).
        {"caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x93\xa7",
         "caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x93\xa7"},
        {"csi\x9b raw\xc2\x9b cut\xe6\x97 bad\xff\xc0\xaf",
         "csi\\x9b raw\\xc2\\x9b cut\\xe6\\x97 bad\\xff\\xc0\\xaf"},
        // Escapes count towards the bound and are never split.
        {std::string(1500, '\n') + "end", repeat("\\n", 1019) + "...[cut]"},
    };
    for (const record &c : cases)
        EXPECT_EQ(capture_stderr([&] { warn_msg("%s", c.text.c_str()); }), line(c.logged));
}

// An outage repeats its warnings on every request; within the window they
// are counted and the count is said before the next other record.
TEST_F(log, RepeatsWithinTheWindowAreCountedNotWritten) {
    std::string out = capture_stderr([] {
        log_set_repeat_window(10);
        for (int i = 0; i < 3; i++)
            warn_msg("warn: same");
        warn_msg("warn: other");
        log_set_repeat_window(0);
        warn_msg("warn: other");
    });
    EXPECT_EQ(out, line("warn: same") + line("last message repeated 2 times") +
                       line("warn: other") + line("warn: other"));
    // An outage alternates its records; each is counted however they
    // interleave, and each count names its record.
    out = capture_stderr([] {
        log_set_repeat_window(10);
        for (int i = 0; i < 9; i++)
            warn_msg("warn: %c", "abc"[i % 3]);
        log_set_repeat_window(0);
    });
    EXPECT_EQ(out, line("warn: a") + line("warn: b") + line("warn: c") +
                       line("message repeated 2 times: [warn: a]") +
                       line("message repeated 2 times: [warn: b]") +
                       line("message repeated 2 times: [warn: c]"));
    EXPECT_EQ(log_due_ms(), -1);
}

// The host names the process after its table; a name that holds a line
// feed must not start a record of its own.
TEST_F(log, TheProgramNameIsEscapedToo) {
    const char *saved = program_invocation_short_name;
    program_invocation_short_name = const_cast<char *>("t\n[1]: warn: forged");
    std::string out = capture_stderr([] { warn_msg("warn: x"); });
    program_invocation_short_name = const_cast<char *>(saved);
    EXPECT_EQ(out, "t\\n[1]: warn: forged[" + std::to_string(getpid()) + "]: warn: x\n");
}

TEST_F(log, WarnSysAppendsTheErrorText) {
    EXPECT_EQ(capture_stderr([] {
                  errno = ENOENT;
                  warn_sys("warn: \"%s\"", "/nope");
              }),
              line("warn: \"/nope\": No such file or directory"));
    const char *null_format = nullptr;
    EXPECT_EQ(capture_stderr([&] {
                  errno = EACCES;
                  warn_sys(null_format);
              }),
              line("Permission denied"));
}

TEST_F(log, DebugNeedsTheLowestVerbosityBit) {
    for (int32_t mask : {0, 2}) {
        log_set_verbosity(mask);
        EXPECT_EQ(capture_stderr([] { debug_msg("debug: x"); }), "") << mask;
    }
    for (int32_t mask : {1, -1}) {
        log_set_verbosity(mask);
        EXPECT_EQ(capture_stderr([] { debug_msg("debug: x"); }), line("debug: x")) << mask;
    }
}

TEST_F(log, TraceNeedsACommonBit) {
    log_set_verbosity(6);
    EXPECT_EQ(capture_stderr([] { trace_msg(4, "t"); }), line("t"));
    log_set_verbosity(1);
    EXPECT_EQ(capture_stderr([] { trace_msg(4, "t"); }), "");
}

std::string fatal_re(const std::string &text) {
    return "^support_test\\[[0-9]+\\]: fatal: " + text + "\n$";
}

TEST(log_death, DieSysAppendsAnErrorTextOnlyWhenThereIsOne) {
    log_setup(1);
    EXPECT_EXIT(
        {
            errno = 0;
            die_sys("x %d", 1);
        },
        ::testing::ExitedWithCode(1), fatal_re("x 1"));
    EXPECT_EXIT(
        {
            errno = ENOMEM;
            die_sys("dict_set: malloc");
        },
        ::testing::ExitedWithCode(1), fatal_re("dict_set: malloc: Cannot allocate memory"));
}

TEST(log_death, DieMsgNeverAppendsAnErrorText) {
    log_setup(1);
    EXPECT_EXIT(
        {
            errno = EIO;
            die_msg("could not connect");
        },
        ::testing::ExitedWithCode(1), fatal_re("could not connect"));
}

TEST(log_death, NullFormatLogsTheSavedErrorText) {
    log_setup(1);
    const char *null_format = nullptr;
    EXPECT_EXIT(
        {
            errno = EIO;
            die_sys(null_format);
        },
        ::testing::ExitedWithCode(1), fatal_re("Input/output error"));
    EXPECT_EXIT(
        {
            errno = EIO;
            die_msg(null_format);
        },
        ::testing::ExitedWithCode(1), fatal_re(strerror(0)));
}

TEST(log_death, LongFatalMessageIsCutWithoutErrorText) {
    log_setup(1);
    std::string longtext(1500, 'm');
    EXPECT_EXIT(
        {
            errno = EIO;
            die_sys("%s", longtext.c_str());
        },
        ::testing::ExitedWithCode(1), fatal_re(std::string(1023, 'm')));
}

} // namespace

namespace {

// Syslog mode, observed from inside a private mount namespace where a tmpfs
// over /dev holds our own /dev/log socket; nothing outside the test sees it.
// Runs in a forked child and reports through its exit status.
int syslog_probe() {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount("tmpfs", "/dev", "tmpfs", 0, nullptr) != 0)
        return 2;
    int sock = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, "/dev/log");
    if (bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        return 3;

    log_setup(0);
    log_set_verbosity(1);
    warn_msg("warn: %s", "to syslog");
    debug_msg("debug: %d", 7);
    info_msg("plain");

    // "<facility+priority>timestamp prog[pid]: message"; LOG_MAIL is 16.
    const std::string prefix = "support_test[" + std::to_string(getpid()) + "]: ";
    const char *expect[][2] = {
        {"<18>", "warn: to syslog"}, {"<23>", "debug: 7"}, {"<22>", "plain"}};
    for (const auto &e : expect) {
        char buf[512] = {};
        ssize_t n = recv(sock, buf, sizeof buf - 1, MSG_DONTWAIT);
        std::string got(buf, n > 0 ? static_cast<size_t>(n) : 0);
        if (got.rfind(e[0], 0) != 0 || got.find(prefix + e[1]) == std::string::npos)
            return 4;
        if (got.find("support_test[") != got.rfind("support_test["))
            return 5;
    }
    return 0;
}

TEST(log_syslog, LinesGoToTheMailFacilityWithoutAPrefixOfOurOwn) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a private /dev/log";
    EXPECT_EXIT(exit(syslog_probe()), ::testing::ExitedWithCode(0), "");
}

} // namespace
