#include "backend/backend.h"
#include "support/compat.h"
#include "support/log.h"
#include "support/stats.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

int32_t timeout_ms; // of the request in progress; 0: no deadline
int64_t deadline;   // exec_now_ms() by which it must end
bool expired;       // its deadline has passed and that has been logged
bool rows_cut;      // the last result was not read to its end

// The connection that a FATAL notice said is ending: libpq may have read
// the notice without yet seeing the end of the stream.
const PGconn *ending;

bool lost(const PGconn *conn) {
    return conn == ending || PQstatus(conn) == CONNECTION_BAD;
}

// Server notices and libpq's own go through the log as one record each. A
// FATAL one, or one of class 57P or 08, announces the end of the session.
void on_notice(void *arg, const PGresult *res) {
    const char *state = PQresultErrorField(res, PG_DIAG_SQLSTATE);
    const char *severity = PQresultErrorField(res, PG_DIAG_SEVERITY_NONLOCALIZED);
    if ((severity != nullptr &&
         (strcmp(severity, "FATAL") == 0 || strcmp(severity, "PANIC") == 0)) ||
        (state != nullptr && (strncmp(state, "57P", 3) == 0 || strncmp(state, "08", 2) == 0)))
        ending = static_cast<const PGconn *>(arg);
    warn_msg("warn: %s", PQresultErrorMessage(res));
}

// A second connection that every wait also moves on (the cache's listener),
// so that its connect and its LISTEN overlap the statements' round trips.
struct side_connection {
    int (*watch)(void *arg, short *events);
    void (*step)(void *arg);
    void *arg;
};
side_connection side;

// Marks the request as out of time, once, naming what it was waiting for.
void expire(const char *what) {
    if (!expired) {
        stats_count(STATS_TIMEOUTS);
        warn_msg("warn: request timed out after %d ms: %s", timeout_ms, what);
    }
    expired = true;
}

// Waits until conn's socket is ready for events. The events that arrived
// (an error or hang-up counts as readable, so that reading reports it), or
// 0 once the request's deadline has passed (logged once) or `until`, the
// end of one connection attempt, when that is not 0.
short wait_socket(PGconn *conn, short events, const char *what, int64_t until = 0) {
    for (;;) {
        int wait = -1;
        // Without a deadline or an attempt's end the clock is not read.
        int64_t now = timeout_ms > 0 || until != 0 ? exec_now_ms() : 0;
        if (timeout_ms > 0) {
            int64_t left = deadline - now;
            if (left <= 0 || expired) {
                expire(what);
                return 0;
            }
            wait = static_cast<int>(left);
        }
        if (until != 0) {
            if (until <= now)
                return 0;
            if (wait < 0 || until - now < wait)
                wait = static_cast<int>(until - now);
        }
        pollfd p[2] = {{PQsocket(conn), events, 0}, {-1, 0, 0}};
        // A connection without a socket is already broken: reading says so.
        if (p[0].fd < 0)
            return POLLIN;
        if (side.watch != nullptr)
            p[1].fd = side.watch(side.arg, &p[1].events);
        int n = poll(p, p[1].fd >= 0 ? 2 : 1, wait);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            warn_sys("warn: poll");
            return POLLIN;
        }
        if (n > 0 && p[1].fd >= 0 && p[1].revents != 0)
            side.step(side.arg);
        if (n > 0 && p[0].revents != 0)
            return (p[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 ? POLLIN : p[0].revents;
    }
}

// Sends what is buffered for conn. False when sending failed or the
// deadline passed.
bool flush_out(PGconn *conn, const char *what) {
    for (;;) {
        int pending = PQflush(conn);
        if (pending < 0)
            return false;
        if (pending == 0)
            return true;
        // The server may be waiting for us to read before it reads on.
        short ready = wait_socket(conn, POLLIN | POLLOUT, what);
        if (ready == 0 || ((ready & POLLIN) != 0 && (PQconsumeInput(conn) == 0 || lost(conn))))
            return false;
    }
}

// The next result of the command in progress, waiting for it under the
// deadline. Null at the end of the results, or when the connection broke
// (*broken) or the deadline passed.
PGresult *next_result(PGconn *conn, const char *what, bool *broken) {
    *broken = false;
    while (PQisBusy(conn) != 0) {
        if (wait_socket(conn, POLLIN, what) == 0)
            return nullptr;
        if (PQconsumeInput(conn) == 0 || lost(conn)) {
            *broken = true;
            return nullptr;
        }
    }
    return PQgetResult(conn);
}

// Keeps r as the command's outcome unless an error is kept already: the
// last result wins, as with PQexec, except that an error always does.
void keep(pg_result_ptr &kept, PGresult *r) {
    if (!kept || PQresultStatus(kept.get()) != PGRES_FATAL_ERROR)
        kept.reset(r);
    else
        PQclear(r);
}

// Completes a command that send started: flushes it, then collects its
// results. Null when sending failed, the connection broke before a result
// came, or the deadline passed.
// The results of the command at the head of the line, read to its end.
PGresult *collect(PGconn *conn, const char *what, bool *broken) {
    pg_result_ptr kept;
    while (PGresult *r = next_result(conn, what, broken))
        keep(kept, r);
    return exec_expired() ? nullptr : kept.release();
}

PGresult *finish(PGconn *conn, int sent, const char *what) {
    if (sent == 0 || !flush_out(conn, what))
        return nullptr;
    bool broken = false;
    return collect(conn, what, &broken);
}

// Rows read and thrown away after the reply is known, before the rest of
// the result goes with the connection instead: a small excess is cheaper
// to read than a reconnect, a large one is not worth the deadline.
constexpr uint64_t DRAIN_MAX_ROWS = 1000;
// A row this large has grown libpq's buffer, which stays that large for as
// long as the connection lives.
constexpr uint64_t BIG_ROW = 1 << 20;

// Appends the one row of a single-row result to rows.
bool append_row(PGresult *rows, const PGresult *row) {
    int at = PQntuples(rows);
    for (int f = 0; f < PQnfields(row); f++) {
        bool null = PQgetisnull(row, 0, f) != 0;
        if (PQsetvalue(rows, at, f, null ? nullptr : PQgetvalue(row, 0, f),
                       null ? -1 : PQgetlength(row, 0, f)) == 0)
            return false;
    }
    return true;
}

// What the rows read so far make of the reply.
struct row_state {
    uint64_t joined; // bytes of the join of the first column, ", " counted
    bool full;       // no later row can change the reply
    uint64_t drained;
};

// Whether row, after the first, can still change the reply: for a joined
// reply each row that adds to the join, counted as the join counts (", "
// only after text), until the join can no longer fit.
bool wanted(const PGresult *row, const exec_limit &limit, row_state *st) {
    if (!limit.join || st->full)
        return false;
    uint64_t len = PQnfields(row) > 0 ? static_cast<uint64_t>(PQgetlength(row, 0, 0)) : 0;
    if (st->joined == 0 && len == 0)
        return false;
    st->joined += (st->joined > 0 ? 2 : 0) + len;
    st->full = st->joined >= limit.reply_size;
    return true;
}

// Keeps a row the reply is made of (the first becomes rows itself) and
// counts the others as drained. False without the memory, logged.
bool take_row(pg_result_ptr &rows, pg_result_ptr row, const exec_limit &limit, row_state *st) {
    if (!rows) {
        if (limit.join)
            (void)wanted(row.get(), limit, st);
        rows = std::move(row);
        return true;
    }
    if (!wanted(row.get(), limit, st)) {
        st->drained++;
        return true;
    }
    if (append_row(rows.get(), row.get()))
        return true;
    warn_msg("warn: out of memory for a result");
    return false;
}

// As finish, with the rows read one at a time so that a result larger than
// any reply is never held whole: the first row is kept, with the later
// rows the reply is made of; the rest are read and dropped, or, past
// DRAIN_MAX_ROWS or after a BIG_ROW, left unread for the caller to give
// the connection up (rows_cut). The rows come back as one result of
// status PGRES_SINGLE_TUPLE (or PGRES_TUPLES_OK without rows).
PGresult *collect_rows(PGconn *conn, const char *what, const exec_limit &limit) {
    (void)PQsetSingleRowMode(conn);
    pg_result_ptr kept;
    pg_result_ptr rows;
    row_state st{};
    bool broken = false;
    while (PGresult *r = next_result(conn, what, &broken)) {
        pg_result_ptr result{r};
        if (PQresultStatus(r) != PGRES_SINGLE_TUPLE) {
            keep(kept, result.release());
            continue;
        }
        uint64_t bytes = 0;
        for (int f = 0; f < PQnfields(r); f++)
            bytes += static_cast<uint64_t>(PQgetlength(r, 0, f));
        if (!take_row(rows, std::move(result), limit, &st)) {
            rows_cut = true;
            return nullptr;
        }
        // The rest of the result is left unread; the caller gives the
        // connection up.
        if (bytes >= BIG_ROW || st.drained > DRAIN_MAX_ROWS) {
            rows_cut = true;
            return rows.release();
        }
    }
    if (exec_expired())
        return nullptr;
    if (!broken && kept && PQresultStatus(kept.get()) == PGRES_TUPLES_OK && rows)
        return rows.release();
    return kept.release();
}

PGresult *finish_rows(PGconn *conn, int sent, const char *what, const exec_limit &limit) {
    if (sent == 0 || !flush_out(conn, what))
        return nullptr;
    return collect_rows(conn, what, limit);
}

int send_step(PGconn *conn, const exec_step &s) {
    switch (s.kind) {
    case exec_step::PREPARE:
        return PQsendPrepare(conn, s.name, s.sql, s.nparams, nullptr);
    case exec_step::DESCRIBE:
        return PQsendDescribePrepared(conn, s.name);
    case exec_step::PREPARED:
        return PQsendQueryPrepared(conn, s.name, s.nparams, s.values, nullptr, nullptr, 0);
    case exec_step::PARAMS:
        return PQsendQueryParams(conn, s.sql, s.nparams, nullptr, s.values, nullptr, nullptr, 0);
    case exec_step::SYNC:
        return PQpipelineSync(conn);
    }
    return 0;
}

// Why the last connect failed when libpq's own message does not tell it
// all: every host that was tried, as libpq lists them for a multi-host
// conninfo. Empty when libpq's message stands.
std::string connect_failure;

// Notices of a new connection go through the log from its first message.
PGconn *watched(PGconn *conn) {
    if (conn != nullptr)
        PQsetNoticeReceiver(conn, on_notice, conn);
    return conn;
}

// Drives an asynchronous connect to its end, the request's deadline or
// `until` (0: none), whichever comes first.
PGconn *drive(PGconn *conn, int64_t until) {
    if (conn == nullptr || PQstatus(conn) == CONNECTION_BAD)
        return conn;
    // The first wait is for the socket to become writable, as after
    // PGRES_POLLING_WRITING.
    PostgresPollingStatusType state = PGRES_POLLING_WRITING;
    while (state != PGRES_POLLING_OK && state != PGRES_POLLING_FAILED) {
        short events = state == PGRES_POLLING_READING ? POLLIN : POLLOUT;
        if (wait_socket(conn, events, "connecting to the database", until) == 0)
            break;
        state = PQconnectPoll(conn);
    }
    return conn;
}

struct options_deleter {
    void operator()(PQconninfoOption *o) const noexcept { PQconninfoFree(o); }
};

// One host of a conninfo: its entries of the host, hostaddr and port lists.
struct host_entry {
    std::string host, hostaddr, port;
};

const char *option(const PQconninfoOption *opts, const char *keyword) {
    for (const PQconninfoOption *o = opts; o->keyword != nullptr; o++)
        if (strcmp(o->keyword, keyword) == 0)
            return o->val;
    return nullptr;
}

std::vector<std::string> split_list(const char *text) {
    std::vector<std::string> items;
    if (text == nullptr)
        return items;
    std::string_view rest = text;
    for (;;) {
        size_t comma = rest.find(',');
        items.emplace_back(rest.substr(0, comma));
        if (comma == std::string_view::npos)
            return items;
        rest.remove_prefix(comma + 1);
    }
}

// The hosts of opts, paired with their hostaddr and port entries as libpq
// pairs them (one port serves all). False where the lists do not match:
// libpq then says what is wrong.
bool host_list(const PQconninfoOption *opts, std::vector<host_entry> *hosts) {
    std::vector<std::string> names = split_list(option(opts, "host"));
    std::vector<std::string> addrs = split_list(option(opts, "hostaddr"));
    std::vector<std::string> ports = split_list(option(opts, "port"));
    size_t n = !names.empty() ? names.size() : addrs.size();
    if ((!addrs.empty() && addrs.size() != n) || (ports.size() > 1 && ports.size() != n))
        return false;
    for (size_t i = 0; i < n; i++)
        hosts->push_back({i < names.size() ? names[i] : "", i < addrs.size() ? addrs[i] : "",
                          ports.size() == 1  ? ports[0]
                          : i < ports.size() ? ports[i]
                                             : ""});
    return true;
}

// A host name that libpq would resolve itself, without any bound: not a
// socket directory, not a numeric address, and without a hostaddr.
bool needs_resolving(const host_entry &h) {
    if (h.host.empty() || !h.hostaddr.empty() || h.host[0] == '/' || h.host[0] == '@')
        return false;
    unsigned char buf[sizeof(in6_addr)];
    return inet_pton(AF_INET, h.host.c_str(), buf) != 1 &&
           inet_pton(AF_INET6, h.host.c_str(), buf) != 1;
}

// The milliseconds of connect_timeout, as libpq reads it (below 2 s counts
// as 2 s); 0 when none is set.
int64_t connect_timeout_ms(const PQconninfoOption *opts) {
    const char *text = option(opts, "connect_timeout");
    long long s = text != nullptr ? strtoll(text, nullptr, 10) : 0;
    if (s <= 0)
        return 0;
    return std::max(s, 2LL) * 1000;
}

// "host|hostaddr|port" of the host that connected last: the next connect
// starts there, so that after a failover the good host is tried first.
std::string last_good;

std::string host_id(const host_entry &h) {
    return h.host + "|" + h.hostaddr + "|" + h.port;
}

// What libpq fills in from the password database when the conninfo and
// the environment leave it open, found as libpq finds it, once, before any
// sandbox: the user name, and the home directory (HOME first).
struct account {
    std::string user, home;
};

const account &own_account() {
    static const account a = [] {
        account r;
        const passwd *pw = getpwuid(geteuid());
        if (pw != nullptr)
            r.user = pw->pw_name;
        const char *home = getenv("HOME");
        r.home = home != nullptr && *home != '\0' ? home : pw != nullptr ? pw->pw_dir : "";
        return r;
    }();
    return a;
}

bool has_value(const PQconninfoOption *opts, const char *keyword) {
    const char *v = option(opts, keyword);
    return v != nullptr && *v != '\0';
}

// Every setting of opts but those `own` gives, which replace them (an empty
// value: left out), as keyword and value arrays for libpq. The user and the
// password file libpq would find through the password database are given
// explicitly: a reconnect then does not depend on reading /etc/passwd,
// which the system replaces by rename whenever a user is added (and a
// sandbox then cannot read). A service file is libpq's to apply.
struct params {
    std::vector<const char *> keys, values;
    std::string passfile;
};

void fill(params *p, const PQconninfoOption *opts,
          std::initializer_list<std::pair<const char *, const char *>> own) {
    for (const PQconninfoOption *o = opts; o->keyword != nullptr; o++) {
        bool replaced = std::any_of(own.begin(), own.end(), [&](const auto &kv) {
            return strcmp(kv.first, o->keyword) == 0;
        });
        if (o->val == nullptr || replaced)
            continue;
        p->keys.push_back(o->keyword);
        p->values.push_back(o->val);
    }
    for (const auto &[key, value] : own) {
        if (value == nullptr || *value == '\0')
            continue;
        p->keys.push_back(key);
        p->values.push_back(value);
    }
    // A DBA tells korvane's sessions apart by the table each serves.
    if (!has_value(opts, "fallback_application_name")) {
        p->keys.push_back("fallback_application_name");
        p->values.push_back(getprogname());
    }
    bool service = has_value(opts, "service") || getenv("PGSERVICE") != nullptr;
    const account &a = own_account();
    if (!service && !has_value(opts, "user") && getenv("PGUSER") == nullptr && !a.user.empty()) {
        p->keys.push_back("user");
        p->values.push_back(a.user.c_str());
    }
    if (!service && !has_value(opts, "passfile") && getenv("PGPASSFILE") == nullptr &&
        !a.home.empty()) {
        p->passfile = a.home + "/.pgpass";
        p->keys.push_back("passfile");
        p->values.push_back(p->passfile.c_str());
    }
    p->keys.push_back(nullptr);
    p->values.push_back(nullptr);
}

// Starts a connection with the settings of opts and `own`, as fill gives them.
PGconn *start_with(const PQconninfoOption *opts,
                   std::initializer_list<std::pair<const char *, const char *>> own) {
    params p;
    fill(&p, opts, own);
    return watched(PQconnectStartParams(p.keys.data(), p.values.data(), 0));
}

// One attempt on one host (at addr, when resolved here), with every other
// setting of opts as given; target_session_attrs is `attrs`.
PGconn *attempt(const PQconninfoOption *opts, const host_entry &h, const std::string &addr,
                const char *attrs, int64_t until) {
    return drive(start_with(opts, {{"host", h.host.c_str()},
                                   {"hostaddr", addr.c_str()},
                                   {"port", h.port.c_str()},
                                   {"target_session_attrs", attrs}}),
                 until);
}

// Resolves h's name by `until` into *addrs; false with the failure added
// to connect_failure (and the request expired when its deadline passed).
bool addresses_of(const host_entry &h, int64_t until, std::vector<std::string> *addrs) {
    addrs->clear();
    std::string why;
    int32_t r = resolve_host(h.host.c_str(), until, addrs, &why);
    if (r < 0 && exec_now_ms() >= deadline)
        expire(("resolving " + h.host).c_str());
    if (r > 0)
        return true;
    if (r < 0)
        why = "no answer from the resolver in time";
    connect_failure += "could not translate host name \"" + h.host + "\" to address: " + why + "\n";
    return false;
}

// The most addresses of one host that are tried: a name that resolves to
// thousands of addresses that never answer must not take the next host's
// turn, nor write a line for each.
constexpr size_t ADDRESSES_PER_HOST = 4;

// Tries the first addresses of one host, all of them together within the
// host's share of the time (until), each an equal part of what is left.
// The connection, or null with the failures added to connect_failure and
// one warning when none answered in time.
PGconn *try_host(const PQconninfoOption *opts, const host_entry &h, const char *attrs,
                 int64_t until) {
    std::vector<std::string> addrs{h.hostaddr};
    if (needs_resolving(h) && !addresses_of(h, until, &addrs))
        return nullptr;
    size_t n = std::min(addrs.size(), ADDRESSES_PER_HOST), silent = 0;
    int64_t started = exec_now_ms();
    for (size_t i = 0; i < n && !exec_expired() && exec_now_ms() < until; i++) {
        int64_t now = exec_now_ms();
        int64_t share = std::max<int64_t>((until - now) / static_cast<int64_t>(n - i), 1);
        pg_conn_ptr conn{attempt(opts, h, addrs[i], attrs, std::min(until, now + share))};
        if (conn.get() != nullptr && PQstatus(conn.get()) == CONNECTION_OK)
            return conn.release();
        if (exec_expired())
            break;
        if (conn.get() == nullptr || PQstatus(conn.get()) == CONNECTION_BAD) {
            connect_failure +=
                conn.get() != nullptr ? PQerrorMessage(conn.get()) : "out of memory\n";
            continue;
        }
        silent++;
    }
    if (silent == 0)
        return nullptr;
    std::string where = h.host.empty() ? addrs[0] : h.host;
    if (!addrs[0].empty() && addrs[0] != where && addrs.size() == 1)
        where += " (" + addrs[0] + ")";
    if (addrs.size() > 1)
        where +=
            " (" + std::to_string(n) + " of its " + std::to_string(addrs.size()) + " addresses)";
    int64_t took = exec_now_ms() - started;
    connect_failure += "connection to server at \"" + where + "\", port " +
                       (h.port.empty() ? std::string("default") : h.port) +
                       " failed: no answer within " + std::to_string(took) + " ms\n";
    warn_msg("warn: connecting to %s port %s: no answer within %lld ms; trying the next host",
             where.c_str(), h.port.empty() ? "default" : h.port.c_str(),
             static_cast<long long>(took));
    return nullptr;
}

// Connects host by host under the deadline: libpq's asynchronous connect
// knows no connect_timeout, so a host that accepts and never answers would
// take the whole deadline and the next host none. Each host gets
// connect_timeout when set, or else an equal share of the time left; the
// host that worked last goes first. prefer-standby is libpq's two passes:
// standbys first, then any.
PGconn *connect_hosts(const PQconninfoOption *opts, const std::vector<host_entry> &hosts) {
    const char *attrs = option(opts, "target_session_attrs");
    const char *passes[2] = {attrs, nullptr};
    int npasses = 1;
    if (attrs != nullptr && strcmp(attrs, "prefer-standby") == 0) {
        passes[0] = "standby";
        passes[1] = "any";
        npasses = 2;
    }
    size_t first = 0;
    for (size_t i = 0; i < hosts.size(); i++)
        if (host_id(hosts[i]) == last_good)
            first = i;
    int64_t fixed = connect_timeout_ms(opts);
    size_t left_tries = hosts.size() * static_cast<size_t>(npasses);
    for (int pass = 0; pass < npasses; pass++) {
        for (size_t i = 0; i < hosts.size(); i++, left_tries--) {
            const host_entry &h = hosts[(first + i) % hosts.size()];
            int64_t now = exec_now_ms();
            int64_t left = deadline - now;
            if (left <= 0 || exec_expired()) {
                expire("connecting to the database");
                return nullptr;
            }
            int64_t share =
                fixed > 0 ? std::min(fixed, left) : left / static_cast<int64_t>(left_tries);
            if (PGconn *conn = try_host(opts, h, passes[pass], now + share); conn != nullptr) {
                last_good = host_id(h);
                connect_failure.clear();
                return conn;
            }
            if (exec_expired())
                return nullptr;
        }
    }
    return nullptr;
}

} // namespace

int64_t exec_now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void exec_begin(int32_t ms) {
    timeout_ms = ms;
    deadline = ms > 0 ? exec_now_ms() + ms : 0;
    expired = false;
}

bool exec_expired() {
    return expired;
}

PGconn *exec_connect(const char *conninfo) {
    connect_failure.clear();
    std::unique_ptr<PQconninfoOption, options_deleter> opts{PQconninfoParse(conninfo, nullptr)};
    // What cannot be parsed libpq judges and reports.
    if (!opts)
        return watched(PQconnectdb(conninfo));
    // Without a deadline libpq's own blocking connect keeps connect_timeout
    // working host by host.
    if (timeout_ms <= 0) {
        params p;
        fill(&p, opts.get(), {});
        return watched(PQconnectdbParams(p.keys.data(), p.values.data(), 0));
    }
    std::vector<host_entry> hosts;
    // A conninfo that names no host, or one that needs no resolving, is one
    // attempt; libpq reports lists that do not match.
    if (!host_list(opts.get(), &hosts) || hosts.empty() ||
        (hosts.size() == 1 && !needs_resolving(hosts[0])))
        return drive(start_with(opts.get(), {}), 0);
    return connect_hosts(opts.get(), hosts);
}

std::string exec_home() {
    return own_account().home;
}

std::string exec_passfile(const char *conninfo) {
    std::unique_ptr<PQconninfoOption, options_deleter> opts{
        conninfo != nullptr ? PQconninfoParse(conninfo, nullptr) : nullptr};
    if (opts && has_value(opts.get(), "passfile"))
        return option(opts.get(), "passfile");
    if (const char *env = getenv("PGPASSFILE"); env != nullptr && *env != '\0')
        return env;
    return exec_home().empty() ? "" : exec_home() + "/.pgpass";
}

const char *exec_connect_error(const PGconn *conn) {
    if (!connect_failure.empty() || conn == nullptr)
        return connect_failure.c_str();
    return PQerrorMessage(conn);
}

void exec_finish(PGconn *conn) {
    if (conn == ending)
        ending = nullptr;
    PQfinish(conn);
}

bool exec_lost(const PGconn *conn) {
    return lost(conn);
}

bool exec_cut() {
    return rows_cut;
}

namespace {

// conn's application_name, or failing that its fallback (the table's name,
// which every connection carries), with suffix.
std::string named_after(const PQconninfoOption *opts, const char *suffix) {
    const char *name = option(opts, "application_name");
    if (name == nullptr || *name == '\0')
        name = option(opts, "fallback_application_name");
    return std::string(name != nullptr && *name != '\0' ? name : getprogname()) + suffix;
}

} // namespace

PGconn *exec_connect_start(const char *conninfo, const char *suffix) {
    std::unique_ptr<PQconninfoOption, options_deleter> opts{PQconninfoParse(conninfo, nullptr)};
    std::vector<host_entry> hosts;
    // Several hosts are for libpq to choose among, and a name would be
    // resolved inside libpq without any bound: both wait for the
    // statements' connection and go to its server.
    if (!opts || !host_list(opts.get(), &hosts) || hosts.size() > 1 ||
        (hosts.size() == 1 && needs_resolving(hosts[0])))
        return nullptr;
    std::string own = named_after(opts.get(), suffix);
    return start_with(opts.get(),
                      {{"target_session_attrs", nullptr}, {"application_name", own.c_str()}});
}

PGconn *exec_connect_beside(PGconn *conn, const char *suffix) {
    std::unique_ptr<PQconninfoOption, options_deleter> opts{PQconninfo(conn)};
    if (!opts)
        return nullptr;
    std::string own = named_after(opts.get(), suffix);
    // A socket directory is reached by its path, never by an address.
    const char *host = PQhost(conn);
    bool socket = host != nullptr && (host[0] == '/' || host[0] == '@');
    return start_with(opts.get(), {{"host", host},
                                   {"hostaddr", socket ? nullptr : PQhostaddr(conn)},
                                   {"port", PQport(conn)},
                                   {"target_session_attrs", nullptr},
                                   {"application_name", own.c_str()}});
}

PostgresPollingStatusType exec_connect_step(PGconn *conn, PostgresPollingStatusType state) {
    if (conn == nullptr || PQstatus(conn) == CONNECTION_BAD)
        return PGRES_POLLING_FAILED;
    if (state == PGRES_POLLING_OK || state == PGRES_POLLING_FAILED)
        return state;
    short events = state == PGRES_POLLING_READING ? POLLIN : POLLOUT;
    pollfd p{PQsocket(conn), events, 0};
    if (p.fd >= 0 && poll(&p, 1, 0) != 1)
        return state;
    return PQconnectPoll(conn);
}

void exec_set_side(int (*watch)(void *arg, short *events), void (*step)(void *arg), void *arg) {
    side = {watch, step, arg};
}

void exec_clear_side(const void *arg) {
    if (side.arg == arg)
        side = {};
}

bool exec_wait(PGconn *conn, short events, const char *what, int64_t until) {
    return wait_socket(conn, events, what, until) != 0;
}

bool exec_pipeline(PGconn *conn, const exec_step *steps, size_t n, pg_result_ptr *results) {
    rows_cut = false;
    if (n == 0 || PQenterPipelineMode(conn) == 0)
        return false;
    for (size_t i = 0; i < n; i++)
        if (send_step(conn, steps[i]) == 0)
            return false;
    if (!flush_out(conn, steps[0].what))
        return false;
    for (size_t i = 0; i < n; i++) {
        const exec_step &s = steps[i];
        bool broken = false;
        if (s.kind == exec_step::SYNC) {
            // One result marks the sync point, and nothing follows it.
            pg_result_ptr r{next_result(conn, s.what, &broken)};
            if (PQresultStatus(r.get()) != PGRES_PIPELINE_SYNC)
                return false;
            continue;
        }
        results[i].reset(s.limit != nullptr ? collect_rows(conn, s.what, *s.limit)
                                            : collect(conn, s.what, &broken));
        if (exec_expired() || broken || rows_cut || lost(conn))
            return false;
    }
    return PQexitPipelineMode(conn) == 1;
}

PGresult *exec_prepare(PGconn *conn, const char *name, const char *sql, int32_t nparams,
                       const char *what) {
    return finish(conn, PQsendPrepare(conn, name, sql, nparams, nullptr), what);
}

PGresult *exec_describe(PGconn *conn, const char *name, const char *what) {
    return finish(conn, PQsendDescribePrepared(conn, name), what);
}

PGresult *exec_prepared(PGconn *conn, const char *name, int32_t nparams, const char *const *values,
                        const char *what, const exec_limit *limit) {
    rows_cut = false;
    int sent = PQsendQueryPrepared(conn, name, nparams, values, nullptr, nullptr, 0);
    return limit != nullptr ? finish_rows(conn, sent, what, *limit) : finish(conn, sent, what);
}

PGresult *exec_command(PGconn *conn, const char *sql, const char *what) {
    return finish(conn, PQsendQuery(conn, sql), what);
}

PGresult *exec_params(PGconn *conn, const char *sql, int32_t nparams, const char *const *values,
                      const char *what, const exec_limit *limit) {
    rows_cut = false;
    int sent = PQsendQueryParams(conn, sql, nparams, nullptr, values, nullptr, nullptr, 0);
    return limit != nullptr ? finish_rows(conn, sent, what, *limit) : finish(conn, sent, what);
}
