// Reading configuration files; no database involved.
#include "backend/backend.h"
#include "backend/lint.h"
#include "support/log.h"
#include "tests/helpers/process.h"

#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string warning(const std::string &text) {
    return log_line("config_test", getpid(), text);
}

class config : public ::testing::Test {
  protected:
    backend *b = nullptr;
    std::string err;

    void SetUp() override { log_setup(1); }
    void TearDown() override {
        if (b != nullptr)
            backend_free(b);
    }
    // Loads the text as a configuration file; keeps what was logged.
    backend *load(const std::string &text) {
        std::string path = temp_path("cfg");
        write_file(path, text);
        err = capture_stderr([&] { b = backend_load(path.c_str()); });
        return b;
    }
    std::string value(const char *key) {
        auto *v = static_cast<const char *>(dict_find(&b->config, key));
        return v == nullptr ? "<absent>" : v;
    }
};

TEST_F(config, EmptyFileLoadsWithDefaults) {
    for (const char *text : {"", "\n\n   \n", "# comment\n\t# indented comment\n"}) {
        ASSERT_NE(load(text), nullptr) << text;
        EXPECT_EQ(b->config.count, 0u);
        EXPECT_EQ(b->settings.source_expire, 60);
        EXPECT_EQ(b->settings.source_refresh, 1000u);
        EXPECT_EQ(b->conn, nullptr);
        EXPECT_EQ(err, "");
        backend_free(b);
        b = nullptr;
    }
}

TEST_F(config, SeparatorForms) {
    ASSERT_NE(load("colon:value1\n"
                   "spaces   value2\n"
                   "tab\t\tvalue3\n"
                   "spacecolon : value4\n"
                   "double : : value5\n"
                   "gluedcolon :value6\n"
                   "lonecolon :\n"
                   ":emptykey\n"
                   "inner  a  b\t# not a comment  \n"
                   "crlf value8\r\n"
                   "tabcolon:\tvalue9\n"
                   "unused whatever\n"
                   "Colon other case\n"
                   "last no line feed"),
              nullptr)
        << err;
    EXPECT_EQ(value("colon"), "value1");
    EXPECT_EQ(value("spaces"), "value2");
    EXPECT_EQ(value("tab"), "value3");
    EXPECT_EQ(value("spacecolon"), "value4");
    EXPECT_EQ(value("double"), "value5");
    EXPECT_EQ(value("gluedcolon"), ":value6");
    EXPECT_EQ(value("lonecolon"), ":");
    EXPECT_EQ(value(""), "emptykey");
    EXPECT_EQ(value("inner"), "a  b\t# not a comment");
    EXPECT_EQ(value("crlf"), "value8");
    EXPECT_EQ(value("tabcolon"), "value9");
    EXPECT_EQ(value("Colon"), "other case");
    EXPECT_EQ(value("last"), "no line feed");
    EXPECT_EQ(b->config.count, 14u);
}

TEST_F(config, UnknownKeysAreKeptAndWarnedAboutWithTheNearestKey) {
    ASSERT_NE(load("query_alais SELECT 1\n"
                   "conninfo=host=/tmp x\n"
                   "Fetch_Source_Expire 5\n"
                   "my_own_note whatever\n"
                   "conninfo x\n"),
              nullptr);
    EXPECT_EQ(value("query_alais"), "SELECT 1");
    // In key order, one line each; known keys are never warned about.
    EXPECT_EQ(err, warning("warn: unknown key Fetch_Source_Expire ignored; did you mean "
                           "fetch_source_expire?") +
                       // What follows a glued "=" may be the password.
                       warning("warn: unknown key conninfo=... ignored; did you mean "
                               "conninfo?") +
                       warning("warn: unknown key my_own_note ignored") +
                       warning("warn: unknown key query_alais ignored; did you mean "
                               "query_alias?"));
}

TEST_F(config, MissingValuesFailTheLoad) {
    for (const char *line : {"key:\n", "key\n", "key:   \n", "  key\t\r\n"}) {
        EXPECT_EQ(load(std::string("first ok\n") + line + "never read\n"), nullptr) << line;
        EXPECT_EQ(err, warning("warn: missing value for key key")) << line;
    }
}

TEST_F(config, DuplicateKeysFailTheLoadEvenWithEqualValues) {
    EXPECT_EQ(load("conninfo x\nconninfo x\n"), nullptr);
    EXPECT_EQ(err, warning("warn: duplicate key conninfo"));
    EXPECT_NE(load("conninfo x\nConninfo x\n"), nullptr);
}

TEST_F(config, SourceSettingsAreParsedAndBounded) {
    ASSERT_NE(load(""), nullptr);
    // Without the keys there is no deadline and no quiet time.
    EXPECT_EQ(b->settings.request_timeout_ms, 0);
    EXPECT_EQ(b->settings.reconnect_delay_ms, 0);
    backend_free(b);
    ASSERT_NE(load("fetch_source_expire 0\nfetch_source_refresh 2147483647\n"
                   "request_timeout_ms 500\nreconnect_delay_ms 2147483647\n"),
              nullptr);
    EXPECT_EQ(b->settings.source_expire, 0);
    EXPECT_EQ(b->settings.source_refresh, 2147483647u);
    EXPECT_EQ(b->settings.request_timeout_ms, 500);
    EXPECT_EQ(b->settings.reconnect_delay_ms, 2147483647);
    backend_free(b);
    b = nullptr;

    struct bad {
        const char *text;
        const char *warning;
    };
    const bad cases[] = {
        {"fetch_source_expire -1\n", "warn: bad value for fetch_source_expire: too small"},
        {"fetch_source_expire 2147483648\n", "warn: bad value for fetch_source_expire: too large"},
        {"fetch_source_expire 10s\n", "warn: bad value for fetch_source_expire: invalid"},
        {"fetch_source_refresh -5\n", "warn: bad value for fetch_source_refresh: too small"},
        {"fetch_source_refresh 99999999999\n",
         "warn: bad value for fetch_source_refresh: too large"},
        {"fetch_source_refresh many\n", "warn: bad value for fetch_source_refresh: invalid"},
        {"request_timeout_ms 2s\n", "warn: bad value for request_timeout_ms: invalid"},
        {"request_timeout_ms -1\n", "warn: bad value for request_timeout_ms: too small"},
        {"reconnect_delay_ms 2147483648\n", "warn: bad value for reconnect_delay_ms: too large"},
        {"log_repeat_window 10s\n", "warn: bad value for log_repeat_window: invalid"},
        // korvane quotes the channel; SQL's NOTIFY folds it and cuts it at 63.
        {"cache_listen Korvane\n", "warn: bad value for cache_listen: Korvane (upper case; "
                                   "NOTIFY folds names to lower case, so use lower case)"},
        {"cache_listen k234567890123456789012345678901234567890123456789012345678901234\n",
         "warn: bad value for cache_listen: "
         "k234567890123456789012345678901234567890123456789012345678901234 (longer than 63 "
         "bytes, which PostgreSQL cuts channel names to)"},
        {"stats_file /var/lib/%s.prom\n", "warn: bad value for stats_file: /var/lib/%s.prom (a "
                                          "% is followed by t, the table's name, or %)"},
        // korvane would be let write the directory the file is in.
        {"stats_file /k.prom\n", "warn: bad value for stats_file: /k.prom (directly under /; give "
                                 "the metrics a directory of their own)"},
        {"stats_file /tmp/../etc/k.prom\n", "warn: bad value for stats_file: /tmp/../etc/k.prom "
                                            "(/etc is the system's own; give the metrics a "
                                            "directory of their own)"},
        // Both bad: the expire setting is judged first and alone.
        {"fetch_source_refresh x\nfetch_source_expire y\n",
         "warn: bad value for fetch_source_expire: invalid"},
    };
    for (const bad &c : cases) {
        EXPECT_EQ(load(c.text), nullptr) << c.text;
        EXPECT_EQ(err, warning(c.warning)) << c.text;
    }
}

TEST_F(config, UnreadableFileNamesThePath) {
    err = capture_stderr([&] { b = backend_load("/nonexistent/korvane.conf"); });
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(err, warning("warn: \"/nonexistent/korvane.conf\": No such file or directory"));
    err = capture_stderr([&] { b = backend_load("/"); });
    // A directory opens but reads nothing: it loads as an empty file would.
    if (b != nullptr) {
        EXPECT_EQ(b->config.count, 0u);
    }
}

// libpq ignores a password file that others may read, saying so only on
// stderr: korvane names the rule at load, as the checker does.
TEST_F(config, APasswordFileLibpqIgnoresIsNamed) {
    std::string pass = temp_path("pgpass");
    for (mode_t mode : {0640, 0600}) {
        chmod(pass.c_str(), mode);
        EXPECT_EQ(config_passfile_problem(("passfile=" + pass).c_str()),
                  mode == 0600 ? ""
                               : "password file " + pass +
                                     " has mode 0640, which libpq ignores (it reads only one its "
                                     "owner alone can read): chmod 0600 it, owned by the user "
                                     "korvane runs as");
    }
}

TEST_F(config, CloseAndFreeOnAnUnconnectedRecord) {
    ASSERT_NE(load("conninfo host=/nonexistent\nquery_alias select 1\n"), nullptr);
    backend_close(b);
    EXPECT_EQ(b->conn, nullptr);
    EXPECT_EQ(value("conninfo"), "host=/nonexistent");
    dict_set(&b->sources.list, "a", nullptr);
}

TEST_F(config, ConnectWithoutConninfoFailsAndStaysUnconnected) {
    ASSERT_NE(load("query_alias select 1\n"), nullptr);
    log_set_verbosity(-1);
    err = capture_stderr([&] { EXPECT_EQ(backend_connect(b), 0); });
    EXPECT_EQ(err, warning("debug: (re)connecting") +
                       warning("warn: missing \"conninfo\" configuration directive"));
    EXPECT_EQ(b->conn, nullptr);
    for (char *name : b->statements)
        EXPECT_EQ(name, nullptr);
}

} // namespace

namespace {

// korvane and korvane-query --check judge a file alike: the checker fails
// exactly the files that korvane refuses (to load, or to connect for want
// of a conninfo), and warns of the rest.
TEST_F(config, TheCheckerFailsExactlyWhatKorvaneRefuses) {
    struct file {
        const char *text;
        bool refused;
    };
    const file files[] = {
        {"conninfo host=x\ncache_size 10\ncache_ttl 5\n", false},
        {"conninfo host=x\nquery_alais SELECT 1\n", false},
        {"\xef\xbb\xbfquery_alias SELECT 1\nconninfo host=x\n", false},
        {"conninfo host=x\nconninfo host=y\n", true},
        {"conninfo host=x\nquery_alias\n", true},
        {"conninfo host=x\ncache_services alias, domian\n", true},
        {"conninfo host=x\nprepared_statements maybe\n", true},
        {"conninfo host=x\nfetch_source_expire 10s\n", true},
        {"conninfo host=x\nrequest_timeout_ms -1\n", true},
        {"conninfo host=x\ncache_listen Korvane\n", true},
        {"conninfo host=x\nstats_file korvane.prom\n", true},
        {"conninfo host=x\nstats_interval 0\n", true},
        {"conninfo host=x\nstats_file /var/lib/korvane/k.prom\nstats_interval 1\n", false},
        {"\xef\xbb\xbf"
         "conninfo host=x\n",
         true},
        {"query_alias SELECT 1\n", true},
        // korvane cannot connect with what libpq cannot parse.
        {"conninfo host=x password=two words\n", true},
        {"conninfo host=x\ncache_listen_conninfo host=y password=two words\n", true},
        // Not a file to read at all: refused at once, by neither waiting.
        {nullptr, true},
    };
    FILE *out = fopen("/dev/null", "w");
    for (const file &f : files) {
        std::string path = temp_path("cfg");
        if (f.text != nullptr)
            write_file(path, f.text);
        else
            ASSERT_TRUE(unlink(path.c_str()) == 0 && mkfifo(path.c_str(), 0600) == 0);
        err = capture_stderr([&] { b = backend_load(path.c_str()); });
        auto *conninfo =
            b != nullptr ? static_cast<const char *>(dict_find(&b->config, "conninfo")) : nullptr;
        bool refused = conninfo == nullptr || !config_conninfo_problem(conninfo).empty();
        const char *shown = f.text != nullptr ? f.text : "<fifo>";
        EXPECT_EQ(refused, f.refused) << shown << err;
        EXPECT_EQ(lint_file(path.c_str(), false, out), f.refused ? 1 : 0) << shown;
        if (b != nullptr)
            backend_free(b);
        b = nullptr;
    }
    fclose(out);
    // A password in a file every user can read is said at load.
    std::string path = temp_path("cfg");
    write_file(path, "conninfo host=db password=S3cr3t\n");
    chmod(path.c_str(), 0644);
    err = capture_stderr([&] { b = backend_load(path.c_str()); });
    EXPECT_NE(err.find("readable by every user (mode 0644); chmod 0640 it"), std::string::npos)
        << err;
    // A server across the network that is not verified is said too; a
    // socket or loopback is not.
    const std::pair<const char *, bool> hosts[] = {
        {"host=db.example.org", true},          {"host=db,10.0.0.2 sslmode=require", true},
        {"host=/run/pg,db.example.org", true},  {"host=127.0.0.1", false},
        {"host=db sslmode=verify-full", false}, {"host=db hostaddr=::1", false}};
    for (const auto &[where, warned] : hosts) {
        backend_free(b);
        write_file(path, std::string("conninfo ") + where + "\n");
        err = capture_stderr([&] { b = backend_load(path.c_str()); });
        EXPECT_EQ(err.find("which does not verify the server") != std::string::npos, warned)
            << where << err;
    }
}

} // namespace
