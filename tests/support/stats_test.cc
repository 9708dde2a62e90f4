// The statistics without a process around them: a metrics file that cannot
// be written draws one warning per cause and nothing else, one that can
// holds what was counted, and the summary's percentiles come from the
// buckets.
#include "support/log.h"
#include "support/stats.h"
#include "tests/helpers/host.h"
#include "tests/helpers/process.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

// The names korvane draws for its temporary file, made predictable while
// a row puts a trap at the very name it will draw first.
int drawn = -1;
extern "C" ssize_t getrandom(void *buf, size_t len, unsigned int flags) {
    if (drawn < 0)
        return syscall(SYS_getrandom, buf, len, flags);
    memset(buf, drawn++, len);
    return static_cast<ssize_t>(len);
}

namespace {

TEST(stats, WritesWhatWasCountedAndWarnsOncePerCause) {
    log_setup(1);
    stats_configure("/nonexistent/korvane.prom", 1, "t\"1");
    std::string err = capture_stderr([] {
        for (int64_t s = 0; s < 5; s++)
            stats_tick(s * 1000000);
    });
    EXPECT_EQ(count_of(err, "warn: stats_file: cannot create /nonexistent/korvane.prom.tmp.*: No "
                            "such file or directory; korvane serves on without it"),
              1)
        << err;
    for (int i = 0; i < 98; i++)
        stats_request(STATS_LOOKUP, 0, STATS_FOUND, 40);
    stats_request(STATS_LOOKUP, 0, STATS_NOT_FOUND, 3000);
    stats_request(STATS_CHECK, STATS_NO_SERVICE, STATS_ERROR, 12000000);
    std::string path = temp_path("prom");
    stats_configure(path.c_str(), 10, "t\"1");
    stats_tick(0);
    std::string text = read_file(path);
    for (const char *line :
         {"korvane_requests_total{table=\"t\\\"1\",type=\"lookup\",service=\"alias\","
          "outcome=\"found\"} 98\n",
          "korvane_reply_seconds_bucket{table=\"t\\\"1\",type=\"lookup\",le=\"5e-05\"} 98\n",
          "korvane_reply_seconds_bucket{table=\"t\\\"1\",type=\"check\",le=\"+Inf\"} 1\n",
          "korvane_build_info{table=\"t\\\"1\",version=\"" KORVANE_VERSION "\"} 1\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
    // Nothing another user puts in a shared directory blocks or redirects
    // the file: a FIFO at the old temporary name and in the file's place,
    // a symbolic link in its place, a FIFO or a hard link to another file
    // at the name it draws. It is readable whatever the umask.
    std::string victim = temp_path("victim");
    std::string guessed = path + ".tmp.0000000000000000";
    for (std::string trap : {"fifo", "link", "guessed fifo", "guessed link"}) {
        unlink(path.c_str());
        ASSERT_EQ(trap == "fifo"
                      ? mkfifo((path + ".tmp").c_str(), 0666) + mkfifo(path.c_str(), 0666)
                  : trap == "link"         ? symlink(victim.c_str(), path.c_str())
                  : trap == "guessed fifo" ? mkfifo(guessed.c_str(), 0666)
                                           : link(victim.c_str(), guessed.c_str()),
                  0);
        mode_t old_mask = umask(077);
        stats_configure(path.c_str(), 10, "t");
        drawn = 0;
        alarm(10); // a FIFO that blocked the write ends the test
        stats_tick(0);
        alarm(0);
        drawn = -1;
        umask(old_mask);
        struct stat st {};
        EXPECT_EQ(lstat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode)) << trap;
        EXPECT_EQ(st.st_mode & 0777, 0644u) << trap;
        EXPECT_EQ(read_file(victim), "") << trap;
        unlink((path + ".tmp").c_str());
        unlink(guessed.c_str());
    }
    // A table name that is not UTF-8 or holds a line feed still makes a
    // file the text format takes.
    stats_configure(path.c_str(), 10, "t\xff\xed\xa0\x80\n");
    stats_tick(0);
    EXPECT_NE(
        read_file(path).find("table=\"t\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\\n\""),
        std::string::npos)
        << read_file(path);
    // Moved by an update: the old file goes rather than serve frozen numbers.
    stats_configure(nullptr, 10, "t");
    EXPECT_EQ(access(path.c_str(), F_OK), -1);
    // One pattern, a file per table, whatever its name holds.
    EXPECT_EQ(stats_file_path("/m/korvane-%t.prom", "aliases"), "/m/korvane-aliases.prom");
    EXPECT_EQ(stats_file_path("/m/%t-100%%.prom", "../x y\n"), "/m/.._x_y_-100%.prom");
    EXPECT_EQ(stats_file_path("/m/%t", ".."), "/m/_..");
    char summary[512];
    stats_summary(summary, sizeof summary);
    EXPECT_NE(std::string(summary).find("100 requests (98 found, 1 not-found, 1 error)"),
              std::string::npos)
        << summary;
    EXPECT_NE(std::string(summary).find("reply p50 <= 50 us, p99 <= 5.0 ms, max 12.00 s"),
              std::string::npos)
        << summary;
}

} // namespace
