// The configuration: the one reader of a configuration file, the one table
// of the keys korvane reads with the validator that judges their values
// (for korvane and korvane-query --check alike), and the settings record
// the values give. It owns config_settings; it knows nothing of
// connections or of the cache.
//
// Results: a judgement is a text, empty when the value is good; a reader's
// step yields each line with its finding, and the caller decides what a
// finding costs (korvane stops at the first problem, the checker collects
// them all).
#pragma once

#include "proto/services.h"

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

// Every number and switch a loaded file gives, its default where the file
// is silent.
struct config_settings {
    int32_t request_timeout_ms; // deadline of each request; 0: none
    int32_t reconnect_delay_ms; // quiet time after a failure; 0: none
    uint64_t source_refresh;    // fetch answers one loaded source list may serve
    int32_t source_expire;      // seconds a loaded source list stays fresh
    int32_t cache_size;         // most entries kept; 0: no cache
    int32_t cache_ttl;          // seconds a found answer is served
    int32_t cache_negative_ttl; // seconds a not-found answer is served
    int32_t cache_stale;        // seconds past its TTL an entry may serve an outage
    service_kind cache_services;
    bool unprepared;           // prepared_statements off: nothing named on the server
    bool sandbox;              // confine the process once started
    int32_t log_repeat_window; // seconds a repeated record is counted, not written
    int32_t stats_interval;    // seconds between writes of the metrics file
    int32_t conninfo_line;     // where the file set conninfo, for its messages
};

// The settings of a file that sets nothing.
config_settings config_defaults();

// === the reader ===

// The first bytes of a file saved with a UTF-8 byte-order mark.
inline constexpr char UTF8_BOM[] = "\xef\xbb\xbf";

// What a line of a configuration file is.
enum config_finding {
    CONFIG_BLANK,         // blank or a comment: its first character after spaces is "#"
    CONFIG_SETTING,       // key and value
    CONFIG_MISSING_VALUE, // a key without a value
    CONFIG_DUPLICATE,     // a key set before, on line first_line
};

struct config_line {
    int32_t number; // from 1
    config_finding finding;
    const char *key; // all but CONFIG_BLANK; valid until the next line
    char *value;     // CONFIG_SETTING and CONFIG_DUPLICATE
    int32_t first_line;
};

struct config_reader {
    FILE *file;
    char *buf;
    size_t cap;
    int32_t number;
    std::map<std::string, int32_t> seen; // key -> the line that set it first
};

// Opens a configuration file, only when it is a regular file (a FIFO
// would hold the reader until some writer came; a device or directory
// never reads as one), without waiting. False with *why saying why not.
bool config_open(config_reader *r, const char *path, std::string *why);
// The next line, with its finding; false at the end of the file (a read
// error ends it as its end does).
bool config_next(config_reader *r, config_line *line);
void config_close(config_reader *r);
// Cuts one line in place: CONFIG_BLANK, CONFIG_SETTING with *key and
// *value set, or CONFIG_MISSING_VALUE with *key set. There are no
// comments after a value.
config_finding config_split_line(char *line, const char **key, char **value);

// === the keys and the validator ===

// What a key's value is, which decides how it is judged.
enum config_kind {
    CONF_TEXT,
    CONF_QUERY,
    CONF_NUMBER,
    CONF_ON_OFF,
    CONF_SERVICES,
    CONF_CHANNEL,
    CONF_PATH,
    CONF_CONNINFO // judged as libpq parses it, never quoted
};
struct config_rule {
    const char *name;
    config_kind kind;
    int32_t *(*i32)(config_settings &s); // where a number goes
    uint64_t *(*u64)(config_settings &s);
    int32_t min = 0; // the smallest number it takes
};
// Every key korvane reads, then a row with a null name; other keys are
// stored and ignored.
extern const config_rule config_rules[];
// The row of a known key, or null.
const config_rule *config_rule_of(const char *name);
// Why text is no value for k, as korvane says it after "bad value for
// KEY: " ("invalid", "off2 (on or off)", "unknown service domian"); empty
// when it is good.
std::string config_judge(const config_rule &k, const char *text);
// Puts a value that passed judgement into s.
void config_apply(config_settings *s, const config_rule &k, const char *text);
// A key as messages show it: cut at an "=", since "conninfo=password=..."
// is a key glued to its value.
std::string config_shown_key(const char *key);
// The known key within two edits of key (or of its part before a "="), or
// null.
const char *config_suggest_key(const char *key);
// What follows "unknown key KEY ignored" for a key: "; did you mean
// NAME?", the byte-order mark that became part of the first key, or "".
std::string config_unknown_advice(const char *key);

// === what a conninfo risks ===

// What is wrong with a conninfo that libpq cannot parse, in words that
// never quote it (libpq's own message may quote the password); empty when
// it parses.
std::string config_conninfo_problem(const char *conninfo);
// The first host of conninfo that is reached over the network (not a
// socket, not loopback) with an sslmode below verify-full, as "HOST with
// sslmode=MODE"; empty when there is none.
std::string config_unverified_host(const char *conninfo);
// What follows that host in both warnings.
inline constexpr char CONFIG_VERIFY_ADVICE[] =
    "which does not verify the server; set sslmode=verify-full and sslrootcert=";
// The mode of path when it is readable by every user while conninfo holds
// a password (a "password=" or a URI's user:password@); -1 otherwise.
int config_exposed_password(const char *path, const char *conninfo);
// What follows that mode in both warnings.
inline constexpr char CONFIG_MODE_ADVICE[] =
    "chmod 0640 it, owned by root and the mail server's group";
// What is wrong with the password file libpq reads for conninfo: one it
// ignores because others may read it (libpq's rule), or one the user
// korvane runs as cannot read; "" when there is none or it is good.
std::string config_passfile_problem(const char *conninfo);
