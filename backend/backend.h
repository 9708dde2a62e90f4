// SQL backend: one configuration file with its PostgreSQL connection, the
// statements prepared on it and the cached source list, plus the four request
// handlers that serve the protocol engine from it.
//
// Failures come back as null, 0 or -1 after one warning has been logged; the
// caller decides whether they are fatal. Handlers always work on
// current_backend, which only start-up and backend_update assign.
#pragma once

#include "backend/exec.h"
#include "backend/listen.h"
#include "proto/proto.h"
#include "support/dict.h"
#include "support/sandbox.h"

#include <cstdint>
#include <cstdio>
#include <libpq-fe.h>
#include <memory>
#include <string>
#include <vector>

inline constexpr int BACKEND_SLOTS = 10;
inline constexpr int BACKEND_FETCH_SLOT = 9;

struct cache_entry;

// The lookup cache of one backend, owned by cache.cc: entries in a hash
// table chained through the entries themselves, and in a list from the
// most to the least recently used; and its listening connection (listen.cc).
// Zero-filled is empty.
struct cache {
    int32_t size;          // most entries kept; 0: no cache
    int32_t ttl;           // seconds a found answer is served
    int32_t negative_ttl;  // seconds a not-found answer is served
    int32_t stale;         // seconds past its TTL an entry may serve an outage
    service_kind services; // services cached
    cache_entry **buckets; // null until the first entry
    uint64_t nbuckets;     // a power of two
    uint64_t count;
    cache_entry *newest;                     // most recently used
    cache_entry *oldest;                     // evicted first
    uint32_t epoch;                          // entries of an older epoch are stale fallbacks only
    uint32_t all_generation;                 // moved on by a flush of everything
    uint32_t generations[BACKEND_SLOTS - 1]; // per service, moved on by its flush
    uint32_t source_generation;              // moved on when the source list may have changed
    bool outage_logged;                      // serving stale entries in this outage has been logged
    listener listen;
};

// The source list that fetch hands out in rotation, owned by fetch.cc.
struct source_list {
    dict list;           // the sources; values are all null
    dict_entry *cursor;  // entry handed out last; null: start over
    uint64_t refresh;    // fetch answers one loaded list may serve
    uint64_t uses;       // answers served since the list was loaded
    int32_t expire;      // seconds a loaded list stays fresh
    int64_t loaded_at;   // time() of the last load
    uint32_t generation; // the cache's source generation it was loaded under
    bool serve_cursor;   // the next fetch hands out the cursor's entry itself
};

// What follows a failure, owned by connect.cc: the quiet time, statements
// prepared when first used, and whether the request found no database.
struct retry_state {
    int32_t delay_ms;     // quiet time after a failure; 0: none
    int64_t reconnect_at; // exec_now_ms() before which no attempt is made
    bool delay_logged;    // the quiet time in force has been logged
    bool prepare_on_use;  // reconnects prepare each statement when first run
    bool unavailable;     // the request in progress found no database
};

// One loaded configuration and everything that serves from it: the
// configuration with its settings (config.cc), the connection and its
// statements (connect.cc), and the sub-records of their owners.
struct backend {
    dict config;                     // key -> heap copy of its value text
    PGconn *conn;                    // null while not connected
    char *statements[BACKEND_SLOTS]; // slot n: service 1 << n; slot 9: fetch; each
                                     // the statement's name, or with prepared
                                     // statements off a copy of its text
    int32_t request_timeout_ms;      // deadline of each request; 0: none
    bool unprepared;                 // prepared_statements off: nothing named on the server
    uint32_t unconfigured_warned;    // slots whose missing statement has been logged
    int32_t conninfo_line;           // where the file set conninfo, for its messages
    bool sandbox;                    // sandbox on: confine the process once started
    int32_t log_repeat_window;       // seconds a repeated record is counted, not written
    int32_t stats_interval;          // seconds between writes of the metrics file
    source_list sources;
    retry_state retry;
    cache lookups;
};

// One statement korvane runs: a service's query, or the fetch statement.
struct query_spec {
    const char *config_key;
    int32_t parameters; // what korvane passes: the key, or nothing for fetch
    int32_t columns;    // result columns the answer is built from
};

// The backend in service; null until start-up has loaded one.
extern backend *current_backend;
// Configuration path from the command line; update reloads from it.
extern const char *config_path;

struct backend_deleter {
    void operator()(backend *b) const noexcept;
};
// Owns a record under construction; empty when it holds none.
using backend_ptr = std::unique_ptr<backend, backend_deleter>;

// === in config.cc ===
// Cuts one line of a configuration file in place. 0 for a blank or comment
// line; 1 with *key and *value set; -1 with *key set when the value is
// missing. There are no comments after a value.
int backend_split_line(char *line, const char **key, char **value);
// What a key's value is, which decides how it is judged.
enum config_kind {
    CONF_TEXT,
    CONF_QUERY,
    CONF_NUMBER,
    CONF_ON_OFF,
    CONF_SERVICES,
    CONF_CHANNEL,
    CONF_PATH
};
struct config_key {
    const char *name;
    config_kind kind;
    int32_t *(*i32)(backend &b); // where a number goes
    uint64_t *(*u64)(backend &b);
    int32_t min = 0; // the smallest number it takes
};
// Every key korvane reads, then a row with a null name; other keys are
// stored and ignored. The one table that the loader and the checker judge
// a file by.
extern const config_key backend_config_keys[];
// A key as messages show it: cut at an "=", since "conninfo=password=..."
// is a key glued to its value.
std::string backend_shown_key(const char *key);
// What is wrong with a conninfo that libpq cannot parse, in words that
// never quote it (libpq's own message may quote the password); empty when
// it parses.
std::string backend_conninfo_problem(const char *conninfo);
// The first host of conninfo that is reached over the network (not a
// socket, not loopback) with an sslmode below verify-full, as "HOST with
// sslmode=MODE"; empty when there is none.
std::string backend_unverified_host(const char *conninfo);
// What the sandbox grants for b loaded from path: reading beneath the
// file's directory, the files libpq, TLS and name resolution read, and TCP
// connect to the conninfo's ports (and DNS).
void backend_sandbox_grants(backend *b, const char *path, sandbox_grants *g);
// The row of a known key, or null.
const config_key *backend_config_key(const char *name);
// Why text is no value for k, as korvane says it after "bad value for
// KEY: " ("invalid", "off2 (on or off)", "unknown service domian"); empty
// when it is good.
std::string backend_judge(const config_key &k, const char *text);
// The known key within two edits of key (or of its part before a "="), or
// null: for the "did you mean" of a warning.
const char *backend_suggest_key(const char *key);
// Reads a configuration file into a new, unconnected record owned by the
// caller (release with backend_free). Null after a warning.
[[nodiscard]] backend *backend_load(const char *path);
// Finishes the connection and frees every statement name; the configuration
// and the source cache stay.
void backend_close(backend *b);
// Closes b, frees its configuration values and source list, and b itself.
void backend_free(backend *b);

// The first bytes of a file saved with a UTF-8 byte-order mark.
inline constexpr char UTF8_BOM[] = "\xef\xbb\xbf";
// Opens a configuration file for reading, only when it is a regular file
// (a FIFO would hold the reader until some writer came), without waiting;
// null with *why saying why not.
FILE *backend_open_config(const char *path, std::string *why);
// What is wrong with the password file libpq reads for conninfo: one it
// ignores because others may read it (libpq's rule), or one the user
// korvane runs as cannot read; "" when there is none or it is good.
std::string backend_passfile_problem(const char *conninfo);
// The mode of path when it is readable by every user while conninfo holds
// a password (a "password=" or a URI's user:password@); -1 otherwise.
int backend_exposed_password(const char *path, const char *conninfo);

// === in lint.cc ===
// korvane-query --check: judges every line of the configuration at path
// with the loader's own rules and, when connect is set, every statement
// against the database, writing one line per finding to out. 0 when
// korvane accepts the file (warnings and notes aside, unless strict), 1
// otherwise.
int backend_lint(const char *path, bool connect, FILE *out, bool strict = false);

// === in connect.cc ===
// The nine services' statements in slot order, then the fetch statement.
extern const query_spec query_specs[BACKEND_SLOTS];
// Number of the next statement name, shared by every record; wraps at 2^32.
extern uint32_t stmt_counter;
// (Re)connects b from scratch and prepares every configured statement in
// one pipeline, under the deadline of the request in progress, and starts
// the cache's listening connection beside it (a reconnect under a deadline
// leaves each statement to its first use, see backend_prepare_run, and
// the listening connection to the idle time). 1 when connected; 0 after a
// warning, with b not connected. Within reconnect_delay_ms of a failure it
// fails at once without touching the network, warning once per quiet time.
int32_t backend_connect(backend *b);
// Gives b's connection up after a failed attempt or a timed-out request:
// the request found no database, the connection is closed and the quiet
// time, if any, starts.
void backend_give_up(backend *b);
// Starts b's quiet time after a failed attempt or a timed-out request.
void backend_hold_off(backend *b);
// True when the slot's statement is configured; otherwise false after a
// warning, once per slot for the life of b, naming the key to set.
bool backend_configured(backend *b, int slot);
// Configuration key of a slot's statement ("fetch_source" for slot 9).
const char *backend_slot_key(int slot);
// Runs the slot's statement that a reconnect left to its first use: its
// Parse, Describe and execution in one round trip. True when it was prepared, with the
// execution's result in *res (as exec_prepared gives it); false after a
// warning when preparing failed, a request out of time having closed b.
bool backend_prepare_run(backend *b, int slot, const char *const *values, const exec_limit *rows,
                         const char *what, pg_result_ptr *res);

// === in query.cc ===
// True when a failed execution means the connection was lost: the connection
// is no longer usable, or the SQLSTATE is absent (no result) or of class 08.
bool backend_connection_lost(const PGconn *conn, const PGresult *res);
// Runs the service's prepared statement on current_backend with key as its
// text parameter; after a lost connection reconnects and retries once.
// Returns rows (owned by the caller; at most the rows the reply is made of,
// status PGRES_TUPLES_OK or PGRES_SINGLE_TUPLE) or null, logged.
// current_backend->conn must not be null; read conn and slots anew after.
[[nodiscard]] PGresult *backend_query(const char *key, int32_t svc);
// The one way a statement is run: the one in b's slot, with key as its text
// parameter (none for the fetch slot), reconnecting and retrying once after
// a lost connection; `prefix` starts the reconnect warning. A request that
// runs out of time gives its connection up. Rows or null, logged.
[[nodiscard]] PGresult *backend_run(backend *b, int slot, const char *key, const char *prefix);

// === in resolve.cc ===
// Resolves a host name to its addresses (numeric text, in the resolver's
// order, no repeats) by exec_now_ms() `until`, reading the system's hosts
// file and resolver configuration. 1 with at least one address; 0 when
// the name has none (*why says why); -1 when time ran out.
int32_t resolve_host(const char *name, int64_t until, std::vector<std::string> *out,
                     std::string *why);
// Keeps the resolver's configuration and hosts file as they are now, for
// when the sandbox (entered next) can no longer read them after the system
// replaced them by rename; resolve_host then uses it, with one warning
// each.
void resolve_snapshot();

// === in cache.cc ===
// What cache_answer says when no entry can answer: ask the database.
inline constexpr int32_t CACHE_ASK = -2;
// What a request that asked the database stores its answer under: the
// cache's epoch when it asked.
struct cache_ticket {
    uint32_t epoch;
};
// Whether b caches svc's answers.
bool cache_enabled(const backend *b, service_kind svc);
// Answers from a fresh entry: a check from any entry, a lookup from one a
// lookup stored (its value copied into buf). 1 or 0 when answered,
// CACHE_ASK when the database must be asked, with *ticket (when given) for
// the store. While LISTEN holds, the listener is read first and only a good
// one lets an entry answer.
int32_t cache_answer(backend *b, service_kind svc, const char *key, bool lookup, char *buf,
                     uint64_t size, cache_ticket *ticket = nullptr);
// During an outage: as cache_answer, from an entry within its TTL plus
// cache_stale, whatever its epoch; warns once per outage. -1 when none.
int32_t cache_fallback(backend *b, service_kind svc, const char *key, bool lookup, char *buf,
                       uint64_t size);
// Keeps what the database said: result 1 or 0, with the formatted value of
// a lookup (null for a check), under the ticket cache_answer gave before
// the database was asked (null: the cache as it is now). A notification of
// a change since is read before the entry can answer.
void cache_store(backend *b, service_kind svc, const char *key, int32_t result, const char *value,
                 const cache_ticket *ticket = nullptr);
// Applies one notification payload: "" or anything unknown flushes all,
// "SERVICE" that service, "SERVICE:KEY" one key; "source" and the flushes
// of all also move the source generation on.
void cache_apply(backend *b, const char *payload);
// The listener listens now: entries stored before serve only as stale
// fallbacks, and the source list may have changed unheard.
void cache_listening(backend *b);
// Moved on whenever the source list may have changed: fetch loads it again.
uint32_t cache_source_generation(const backend *b);
// Empties the cache (the backend's end).
void cache_free(backend *b);
// Entries held.
uint64_t cache_count(const backend *b);

// === in handlers.cc ===
// The one place a request begins, for every entry and handler: its
// deadline starts and what the last request left (an outage it found)
// is cleared.
void backend_begin_request(backend *b);
// Loads and connects a new record from config_path and puts it in service;
// the old one serves on untouched when that fails. 1 or -1.
int32_t backend_update();
// 1 when the service's query returns a row for key, 0 when none, -1 on error.
int32_t backend_check(service_kind svc, dict *params, const char *key);
// Writes the service's reply value for key into buf. 1 found, 0 not found,
// -1 on error (buf may hold a partial value then).
int32_t backend_lookup(service_kind svc, dict *params, const char *key, char *buf, uint64_t size);

// What b says of korvane's own records: the repeat window of the log and
// where and how often the metrics file is written; at start-up and after
// every update.
void backend_start_logging(backend *b);
// With sandbox on, confines the process for good (once, at start-up after
// the first connect); later updates that need more are refused.
void backend_enter_sandbox();
// The engine's idle handlers: the cache's listening connection is read
// while the host is idle; a wake-up that found it quiet spares the request
// it woke for another look.
int backend_idle_fd(int *timeout_ms, short *events);
void backend_idle(bool ready);

// === in fetch.cc ===
// Hands out the next entry of the cached source list in rotation, loading the
// list again after source_refresh answers or source_expire seconds.
// 1 with the source in buf, 0 when the list is empty, -1 on error.
int32_t backend_fetch(service_kind svc, dict *params, char *buf, uint64_t size);
