// The execution layer's connections: host by host under the request's
// deadline, with the defaults libpq would find itself named to it, and the
// listener's connections beside or from a conninfo; see exec.h.
#include "backend/exec.h"
#include "backend/resolve.h"
#include "support/compat.h"
#include "support/log.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

// Why the last connect failed when libpq's own message does not tell it
// all: every host that was tried, as libpq lists them for a multi-host
// conninfo. Empty when libpq's message stands.
std::string connect_failure;

// Drives an asynchronous connect to its end, the request's deadline or
// `until` (0: none), whichever comes first.
PGconn *drive(PGconn *conn, int64_t until, exec_request &r) {
    if (conn == nullptr || PQstatus(conn) == CONNECTION_BAD)
        return conn;
    // The first wait is for the socket to become writable, as after
    // PGRES_POLLING_WRITING.
    PostgresPollingStatusType state = PGRES_POLLING_WRITING;
    while (state != PGRES_POLLING_OK && state != PGRES_POLLING_FAILED) {
        short events = state == PGRES_POLLING_READING ? POLLIN : POLLOUT;
        if (!exec_wait(conn, events, "connecting to the database", until, r))
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
    return exec_watch(PQconnectStartParams(p.keys.data(), p.values.data(), 0));
}

// One attempt on one host (at addr, when resolved here), with every other
// setting of opts as given; target_session_attrs is `attrs`.
PGconn *attempt(const PQconninfoOption *opts, const host_entry &h, const std::string &addr,
                const char *attrs, int64_t until, exec_request &r) {
    return drive(start_with(opts, {{"host", h.host.c_str()},
                                   {"hostaddr", addr.c_str()},
                                   {"port", h.port.c_str()},
                                   {"target_session_attrs", attrs}}),
                 until, r);
}

// Resolves h's name by `until` into *addrs; false with the failure added
// to connect_failure (and r, when given, expired when its deadline passed).
bool addresses_of(const host_entry &h, int64_t until, std::vector<std::string> *addrs,
                  exec_request *r) {
    addrs->clear();
    std::string why;
    resolve_result found = resolve_host(h.host.c_str(), until, addrs, &why);
    if (r != nullptr && found == OUT_OF_TIME && exec_now_ms() >= r->deadline)
        exec_expire(*r, ("resolving " + h.host).c_str());
    if (found == RESOLVED)
        return true;
    if (found == OUT_OF_TIME)
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
                 int64_t until, exec_request &r) {
    std::vector<std::string> addrs{h.hostaddr};
    if (needs_resolving(h) && !addresses_of(h, until, &addrs, &r))
        return nullptr;
    size_t n = std::min(addrs.size(), ADDRESSES_PER_HOST), silent = 0;
    int64_t started = exec_now_ms();
    for (size_t i = 0; i < n && !r.expired && exec_now_ms() < until; i++) {
        int64_t now = exec_now_ms();
        int64_t share = std::max<int64_t>((until - now) / static_cast<int64_t>(n - i), 1);
        pg_conn_ptr conn{attempt(opts, h, addrs[i], attrs, std::min(until, now + share), r)};
        if (conn.get() != nullptr && PQstatus(conn.get()) == CONNECTION_OK)
            return conn.release();
        if (r.expired)
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
PGconn *connect_hosts(const PQconninfoOption *opts, const std::vector<host_entry> &hosts,
                      exec_request &r) {
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
            int64_t left = r.deadline - now;
            if (left <= 0 || r.expired) {
                exec_expire(r, "connecting to the database");
                return nullptr;
            }
            int64_t share =
                fixed > 0 ? std::min(fixed, left) : left / static_cast<int64_t>(left_tries);
            if (PGconn *conn = try_host(opts, h, passes[pass], now + share, r); conn != nullptr) {
                last_good = host_id(h);
                connect_failure.clear();
                return conn;
            }
            if (r.expired)
                return nullptr;
        }
    }
    return nullptr;
}

} // namespace

PGconn *exec_connect(const char *conninfo, exec_request &r) {
    connect_failure.clear();
    std::unique_ptr<PQconninfoOption, options_deleter> opts{PQconninfoParse(conninfo, nullptr)};
    // What cannot be parsed libpq judges and reports.
    if (!opts)
        return exec_watch(PQconnectdb(conninfo));
    // Without a deadline libpq's own blocking connect keeps connect_timeout
    // working host by host.
    if (r.timeout_ms <= 0) {
        params p;
        fill(&p, opts.get(), {});
        return exec_watch(PQconnectdbParams(p.keys.data(), p.values.data(), 0));
    }
    std::vector<host_entry> hosts;
    // A conninfo that names no host, or one that needs no resolving, is one
    // attempt; libpq reports lists that do not match.
    if (!host_list(opts.get(), &hosts) || hosts.empty() ||
        (hosts.size() == 1 && !needs_resolving(hosts[0])))
        return drive(start_with(opts.get(), {}), 0, r);
    return connect_hosts(opts.get(), hosts, r);
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

PGconn *exec_connect_start(const char *conninfo, const char *suffix, const exec_target *own) {
    connect_failure.clear();
    std::unique_ptr<PQconninfoOption, options_deleter> opts{PQconninfoParse(conninfo, nullptr)};
    std::vector<host_entry> hosts;
    if (!opts || !host_list(opts.get(), &hosts)) {
        connect_failure = "the conninfo cannot be parsed";
        return nullptr;
    }
    std::string name = named_after(opts.get(), suffix);
    // Several hosts are for libpq to choose among, and a name would be
    // resolved inside libpq without any bound: for the statements' own
    // conninfo both wait for the statements' connection and go to its
    // server.
    if (own == nullptr) {
        if (hosts.size() > 1 || (hosts.size() == 1 && needs_resolving(hosts[0])))
            return nullptr;
        return start_with(opts.get(),
                          {{"target_session_attrs", nullptr}, {"application_name", name.c_str()}});
    }
    if (hosts.empty())
        return start_with(opts.get(), {{"application_name", name.c_str()}});
    // One host per attempt, the next after each failure, so that a host
    // that never answers costs one attempt, not all of them.
    const host_entry &h = hosts[own->attempt % hosts.size()];
    std::vector<std::string> addrs{h.hostaddr};
    if (needs_resolving(h) &&
        (own->resolve_until == 0 || !addresses_of(h, own->resolve_until, &addrs, nullptr)))
        return nullptr;
    return start_with(opts.get(), {{"host", h.host.c_str()},
                                   {"hostaddr", addrs[0].c_str()},
                                   {"port", h.port.c_str()},
                                   {"application_name", name.c_str()}});
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
