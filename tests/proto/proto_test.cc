// The engine driven as the host drives it: a child process fed through real
// pipes, its stdout compared byte for byte and its fatal lines exactly.
#include "tests/helpers/host.h"
#include "tests/helpers/process.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

const std::string harness = PROTO_HARNESS_BIN;
const std::string ready = "config|ready\n";

run_result serve(const std::string &input, std::vector<std::string> args = {}) {
    args.insert(args.begin(), harness);
    return run_program(args, input);
}

// A fatal engine line: program name, message, no pid, exit status 1.
void expect_fatal(const run_result &r, const std::string &message, const std::string &out = "") {
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "proto_harness: " + message + "\n");
    EXPECT_EQ(r.out, out);
}

TEST(proto, InputEndingBeforeReadyAnswersNothing) {
    for (const char *input : {"", "config|a\nconfig|\n", "config|ready\r\n", "config|readyx\n"}) {
        run_result r = serve(input);
        EXPECT_EQ(r.status, 0) << input;
        EXPECT_EQ(r.out, "") << input;
        EXPECT_EQ(r.err, "") << input;
    }
}

TEST(proto, ReadyLineAnswersRegisterBlockOnce) {
    run_result r = serve("config|x\nconfig|\nconfig|ready\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, registers);
    // The protocol's names, as the table the block is derived from holds them.
    EXPECT_EQ(registers, "register|alias\nregister|domain\nregister|credentials\n"
                         "register|netaddr\nregister|userinfo\nregister|source\n"
                         "register|mailaddr\nregister|addrname\nregister|mailaddrmap\n"
                         "register|ready\n");
}

TEST(proto, ReadyLineWithoutLineFeedAtEndOfInputCounts) {
    EXPECT_EQ(serve("config|ready").out, registers);
}

TEST(proto, HandshakeRejectsOtherLines) {
    expect_fatal(serve("\n"), "unexpected config line: ");
    // The host's bytes are shown escaped: no forged line, no terminal escape.
    expect_fatal(serve("x\rkorvane[1]: fatal: FORGED\x1b[2J\n"),
                 "unexpected config line: x\\x0dkorvane[1]: fatal: FORGED\\x1b[2J");
    expect_fatal(serve("config|a\ntable|0.1|1|t|update|x\n"),
                 "unexpected config line: table|0.1|1|t|update|x");
}

TEST(proto, RequestPhaseRejectsConfigLines) {
    expect_fatal(serve(ready + "config|ready\n"), "malformed line", registers);
    expect_fatal(serve(ready + "config|x\n"), "malformed line", registers);
}

TEST(proto, MalformedRequestLinesEndTheProcess) {
    struct bad {
        const char *line;
        const char *message;
    };
    const bad cases[] = {
        {"tabl|0.1|1|t|check|alias|id|k", "malformed line"},
        {"", "malformed line"},
        {"table|0.1", "malformed line: missing version"},
        {"table|0.2", "malformed line: missing version"},
        {"table|0.2|", "unsupported protocol version: 0.2"},
        {"table||1|t|check|alias|id|k", "unsupported protocol version: "},
        {"table|0.1|1", "malformed line: missing timestamp"},
        {"table|0.1|1|t", "malformed line: missing table name"},
        {"table|0.1|1|t|check", "malformed line: missing type"},
        {"table|0.1|1|t|check|alias", "malformed line: missing service"},
        {"table|0.1|1|t|fetch|source", "malformed line: missing service"},
        {"table|0.1|1|t|check|alias|id", "malformed line: missing key"},
        {"table|0.1|1|t|lookup|alias|id", "malformed line: missing key"},
        {"table|0.1|1|t|bogus|alias|id", "malformed line: missing key"},
        {"table|0.1|1|t|bogus|alias|id|k", "unknown action bogus"},
    };
    for (const bad &c : cases) {
        SCOPED_TRACE(c.line);
        expect_fatal(serve(ready + c.line + "\n"), c.message, registers);
    }
}

// A host rule pointed at this table for a service korvane does not serve
// must not take the host's lookups down with it: error, warned once a name.
TEST(proto, UnservedServicesAnswerErrorAndServingGoesOn) {
    run_result r = serve(ready + "table|0.1|1|tbl|check|Alias|a|k\n"
                                 "table|0.1|1|tbl|lookup|string|b|k\n"
                                 "table|0.1|1|tbl|fetch|aliasx|c\n"
                                 "table|0.1|1|tbl|check|string|d|k\n"
                                 "table|0.1|1|tbl|check|alias|e|k\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, registers + "check-result|a|error\nlookup-result|b|error\n"
                                 "fetch-result|c|error\ncheck-result|d|error\n"
                                 "check-result|e|found\n");
    std::string warned;
    for (const char *name : {"Alias", "string", "aliasx"})
        warned += log_line("proto_harness", r.pid,
                           std::string("warn: tbl: service ") + name +
                               " is not served; this table answers error for it");
    EXPECT_EQ(r.err, warned);
}

TEST(proto, EarlierRequestsAreAnsweredBeforeAFatalLine) {
    run_result r = serve(ready + "table|0.1|1|t|check|alias|a|k\ntable|0.9|\n");
    expect_fatal(r, "unsupported protocol version: 0.9", registers + "check-result|a|found\n");
}

TEST(proto, MissingHandlersEndTheProcess) {
    expect_fatal(serve(ready + "table|0.1|1|t|update|u\n", {"no-update"}),
                 "no update handler registered", registers);
    expect_fatal(serve(ready + "table|0.1|1|t|check|alias|i|k\n", {"no-check"}),
                 "no check handler registered", registers);
    expect_fatal(serve(ready + "table|0.1|1|t|lookup|alias|i|k\n", {"no-lookup"}),
                 "no lookup handler registered", registers);
    // The handler is looked for before the service is mapped.
    expect_fatal(serve(ready + "table|0.1|1|t|fetch|nosuch|i\n", {"no-fetch"}),
                 "no fetch handler registered", registers);
}

TEST(proto, UpdateEchoesTheRestOfTheLineAndMapsResults) {
    EXPECT_EQ(serve(ready + "table|0.1|1|t|update|a|b|\n").out,
              registers + "update-result|a|b||ok\n");
    EXPECT_EQ(serve(ready + "table|0.1|1|t|update|u\n", {"update=0"}).out,
              registers + "update-result|u|ok\n");
    EXPECT_EQ(serve(ready + "table|0.1|1|t|update|u\n", {"update=-1"}).out,
              registers + "update-result|u|error\n");
    EXPECT_EQ(serve(ready + "table|0.1|1|t|update|u\n", {"update=7"}).out,
              registers + "update-result|u|ok\n");
}

TEST(proto, CheckRepliesFollowTheHandlerResult) {
    run_result r = serve(ready + "table|0.1|1|t|check|alias|a|k\n"
                                 "table|0.1|1|t|check|domain|b|r:0\n"
                                 "table|0.1|1|t|check|netaddr|c|r:-1\n"
                                 "table|0.1|1|t|check|source|d|r:2\n"
                                 "table|0.1|1|t|check|mailaddrmap|e|r:-5\n"
                                 "table|0.1|1|t|check|alias||r:0\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, registers + "check-result|a|found\ncheck-result|b|not-found\n"
                                 "check-result|c|error\ncheck-result|d|error\n"
                                 "check-result|e|error\ncheck-result||not-found\n");
}

TEST(proto, LookupHandsOverServiceTableAndWholeKey) {
    run_result r = serve(ready + "table|0.1|1|mytable|lookup|userinfo|id7|a|b|c\n"
                                 "table|0.1|1|t2|lookup|mailaddrmap|id8|\n"
                                 "table|0.1|1|t|lookup|addrname|id9|r:0\n"
                                 "table|0.1|1|t|lookup|addrname|id10|r:-1\n"
                                 "table|0.1|1|t|lookup|credentials|id11|k\r\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, registers +
                         "lookup-result|id7|found|svc=16 clean=1 size=2048 table=mytable "
                         "keylen=5 key=a|b|c\n"
                         "lookup-result|id8|found|svc=256 clean=1 size=2048 table=t2 keylen=0 "
                         "key=\n"
                         "lookup-result|id9|not-found\n"
                         "lookup-result|id10|error\n"
                         "lookup-result|id11|found|svc=4 clean=1 size=2048 table=t keylen=2 "
                         "key=k\r\n");
}

TEST(proto, FetchTakesTheRestOfTheLineAsId) {
    run_result r = serve(ready + "table|0.1|1|t|fetch|source|f|1|2\n");
    EXPECT_EQ(r.out, registers + "fetch-result|f|1|2|found|svc=32 clean=1 table=t\n");
}

TEST(proto, ValueBufferIsZeroAgainAfterAFullValue) {
    std::string full(2047, 'x');
    run_result r = serve(ready + "table|0.1|1|t|lookup|alias|1|fill\n"
                                 "table|0.1|1|t|lookup|alias|2|k\n"
                                 "table|0.1|1|t|lookup|alias|3|fill\n"
                                 "table|0.1|1|t|fetch|source|4\n");
    EXPECT_EQ(r.out, registers + "lookup-result|1|found|" + full +
                         "\nlookup-result|2|found|svc=1 clean=1 size=2048 table=t keylen=1 key=k\n"
                         "lookup-result|3|found|" +
                         full + "\nfetch-result|4|found|svc=32 clean=1 table=t\n");
}

TEST(proto, LongTableNameIsCutTo127Bytes) {
    std::string table(200, 'T');
    run_result r = serve(ready + "table|0.1|1|" + table + "|lookup|alias|i|k\n");
    EXPECT_EQ(r.out, registers + "lookup-result|i|found|svc=1 clean=1 size=2048 table=" +
                         table.substr(0, 127) + " keylen=1 key=k\n");
}

// Lines up to 64 KiB reach the handler whole; a longer one answers error
// for its id unread, with one warning, and the lines after it are served.
TEST(proto, LinesUpTo64KiBReachTheHandlerWhole) {
    const std::string head = "table|0.1|1|t|lookup|alias|i|";
    std::string fits(65536 - head.size(), 'k');
    run_result r =
        serve(ready + head + fits + "\n" + head + fits + "k\n" + "table|0.1|1|t|fetch|source|f" +
              std::string(1 << 26, 'x') + "\n" + "table|0.1|1|t|check|alias|j|k\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("keylen=65507 "), std::string::npos);
    EXPECT_NE(r.out.find("\nlookup-result|i|error\nfetch-result|f"), std::string::npos);
    EXPECT_NE(r.out.find("|error\ncheck-result|j|found\n"), std::string::npos);
    EXPECT_EQ(r.err, log_line("proto_harness", r.pid,
                              "warn: a request line of 65537 bytes, longer than 65536, answers "
                              "error") +
                         log_line("proto_harness", r.pid,
                                  "warn: a request line of 67108892 bytes, longer than 65536, "
                                  "answers error"));
}

// Regression: a NUL inside a request used to cut the key short, so the host
// got an answer for a different key than it asked about.
TEST(proto, RequestLineHoldingANulIsMalformed) {
    std::string line = std::string("table|0.1|1|t|lookup|alias|i|good") + '\0' + "evil\n";
    expect_fatal(serve(ready + line), "malformed line", registers);
    std::string early = std::string("table|0.1|1|t|check|alias|i|k") + '\0' + "\n";
    expect_fatal(serve(ready + early), "malformed line", registers);
}

TEST(proto, ReadErrorEndsTheProcessWithGetline) {
    run_result r = run_program({harness}, "", "/");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "proto_harness: getline: Is a directory\n");
}

TEST(proto, FlushErrorEndsTheProcessWithFflush) {
    run_result r = run_program({harness}, ready, nullptr, "/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "proto_harness: fflush: No space left on device\n");
}

} // namespace
