// The cache's listening connection and its state machine; see listen.h.
#include "backend/listen.h"

#include "backend/backend.h"
#include "support/log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <string>

namespace {

// A listener that has said nothing for SIGN_ASK_MS is asked for a sign of
// life (an empty query) while entries are held; one that does not answer
// within SIGN_WAIT_MS is silent, closed and made anew. Entries answer only
// within SIGN_LOST_MS of its last sign.
constexpr int64_t SIGN_ASK_MS = 1000;
constexpr int64_t SIGN_WAIT_MS = 1000;
constexpr int64_t SIGN_LOST_MS = SIGN_ASK_MS + SIGN_WAIT_MS;
// A listener that failed is tried again after this long (one that was lost
// at once), and a connect or a LISTEN that takes longer is given up.
constexpr int64_t LISTEN_RETRY_MS = 1000;
constexpr int64_t LISTEN_CONNECT_MS = 5000;
// Reads before a cached answer: a flood is read in bounded slices, and
// entries do not answer until it is read.
constexpr int LISTEN_SLICES = 64;
// Notification bytes read since the last answered sign of life past which
// they are a burst: the server may still be handing more over, with a
// change committed behind them, so entries wait until a sign of life asked
// after them has been answered (the server delivers every notification
// queued before it answers a query). It sends in 8 kB pieces; a commit's
// few notifications stay below.
constexpr uint64_t BURST_BYTES = 4096;
// The SQLSTATE of a hot standby's refusal (read_only_sql_transaction).
constexpr char REFUSED_STATE[] = "25006";
// The most a host name of cache_listen_conninfo is waited for, while the
// host is idle: a request that comes meanwhile waits that long at worst.
constexpr int64_t LISTEN_RESOLVE_MS = 200;
// A sign of life that also says the primary's WAL position: where it
// inserts, which is past every commit it has notified of. The write
// position is not: with synchronous_commit off a commit is written
// later, and a standby that had replayed only that far would be taken to
// hold the change.
constexpr char POSITION_SQL[] = "SELECT pg_current_wal_insert_lsn()";

listener &of(backend *b) {
    return b->listen;
}

const char *channel_of(backend *b) {
    return static_cast<const char *>(dict_find(&b->config, "cache_listen"));
}

// cache_listen_conninfo, or null: the listener then goes where the
// statements go.
const char *own_conninfo(backend *b) {
    return static_cast<const char *>(dict_find(&b->config, "cache_listen_conninfo"));
}

// Applies the notifications libpq has already read.
void apply_pending(backend *b) {
    listener &l = of(b);
    while (PGnotify *n = PQnotifies(l.conn)) {
        // Each one's size on the wire, as the server counts its pieces.
        l.unproven += strlen(n->relname) + strlen(n->extra) + 11;
        l.marks++;
        cache_apply(b, n->extra);
        PQfreemem(n);
    }
}

// Ends the listener, applying what it read; `next` is its state from now,
// and a next attempt is due after retry_ms.
void close_as(backend *b, listen_state next, int64_t retry_ms) {
    listener &l = of(b);
    if (l.conn != nullptr) {
        apply_pending(b);
        exec_finish(l.conn);
        l.conn = nullptr;
    }
    exec_clear_side(b);
    l.state = next;
    l.ping_sent_at = 0;
    l.position_asked = false;
    l.unproven = 0;
    l.behind = l.seen_quiet = l.quiet_now = false;
    l.since = exec_now_ms() + retry_ms;
}

// Logs the listener's trouble once until it listens again and closes it; the
// next attempt is due after retry_ms. A listener that fails before the
// statements' connection is made is closed in silence: that connection's
// own failure says what is wrong, and a new listener follows it.
void failed(backend *b, const char *what, const char *why, int64_t retry_ms) {
    listener &l = of(b);
    l.attempts++;
    if (b->conn == nullptr) {
        close_as(b, LISTEN_DOWN, 0);
        return;
    }
    // libpq ends its messages with a line feed, which would stand before
    // the rest of the record.
    std::string reason = why;
    while (!reason.empty() && reason.back() == '\n')
        reason.pop_back();
    if (l.logged != LISTEN_LOGGED_TROUBLE)
        warn_msg("warn: LISTEN connection %s: %s; cached entries are asked anew until it "
                 "listens again",
                 what, reason.c_str());
    l.logged = LISTEN_LOGGED_TROUBLE;
    close_as(b, LISTEN_DOWN, retry_ms);
}

void side_step(void *arg);

int side_watch(void *arg, short *events) {
    const listener &l = of(static_cast<backend *>(arg));
    if (l.state == LISTEN_CONNECTING) {
        *events = l.connecting == PGRES_POLLING_READING ? POLLIN : POLLOUT;
        return PQsocket(l.conn);
    }
    // Once it listens, notifications wait for the next read that applies
    // them: during a request's waits they would pile up in memory.
    *events = POLLIN;
    return l.state == LISTEN_ASKING ? PQsocket(l.conn) : -1;
}

void start(backend *b, PGconn *conn) {
    listener &l = of(b);
    l.conn = conn;
    l.connecting = PGRES_POLLING_WRITING;
    l.state = LISTEN_CONNECTING;
    l.since = exec_now_ms();
    if (conn == nullptr) {
        failed(b, "failed", "out of memory", LISTEN_RETRY_MS);
        return;
    }
    exec_set_side(side_watch, side_step, b);
}

// A new attempt: from cache_listen_conninfo, the host after the last that
// failed (its name resolved only when idle, else left for the idle time),
// or beside the statements' connection, whose server it goes to.
void start_attempt(backend *b, bool idle) {
    listener &l = of(b);
    const char *own = own_conninfo(b);
    if (own == nullptr) {
        if (b->conn != nullptr)
            start(b, exec_connect_beside(b->conn, "-listen"));
        return;
    }
    exec_target target{l.attempts, idle ? exec_now_ms() + LISTEN_RESOLVE_MS : 0};
    if (PGconn *conn = exec_connect_start(own, "-listen", &target); conn != nullptr) {
        start(b, conn);
        return;
    }
    if (const char *why = exec_connect_error(nullptr); *why != '\0')
        failed(b, "failed", why, LISTEN_RETRY_MS);
    else
        close_as(b, LISTEN_DOWN, 0);
}

// Sends LISTEN once the connection is made.
void connecting(backend *b, int64_t now) {
    listener &l = of(b);
    l.connecting = exec_connect_step(l.conn, l.connecting);
    if (l.connecting == PGRES_POLLING_OK) {
        PQsetnonblocking(l.conn, 1);
        const char *channel = channel_of(b);
        char *ident = PQescapeIdentifier(l.conn, channel, strlen(channel));
        bool sent =
            ident != nullptr && PQsendQuery(l.conn, (std::string("LISTEN ") + ident).c_str()) == 1;
        PQfreemem(ident);
        if (!sent) {
            failed(b, "failed", PQerrorMessage(l.conn), LISTEN_RETRY_MS);
            return;
        }
        (void)PQflush(l.conn);
        l.state = LISTEN_ASKING;
        l.since = l.last_sign = now;
    } else if (l.connecting == PGRES_POLLING_FAILED) {
        failed(b, "failed", PQerrorMessage(l.conn), LISTEN_RETRY_MS);
    } else if (now - l.since >= LISTEN_CONNECT_MS) {
        failed(b, "failed", "no answer in time", LISTEN_RETRY_MS);
    }
}

// The answer to LISTEN. Only a hot standby's refusal of LISTEN itself
// means "refused", when the cache keeps to its TTLs; a FATAL, a lost
// connection or any other error is a lost listener, so that no fault can
// leave the cache trusting entries it cannot keep true. Once it listens,
// every change is heard, and what was stored before may have missed one.
void listened(backend *b, const PGresult *res, int64_t now) {
    listener &l = of(b);
    const char *state = PQresultErrorField(res, PG_DIAG_SQLSTATE);
    bool lost = exec_lost(l.conn);
    if (PQresultStatus(res) == PGRES_COMMAND_OK && !lost) {
        l.state = LISTEN_ON;
        l.logged = LISTEN_LOGGED_NONE;
        l.since = l.last_sign = now;
        l.unproven = 0;
        l.attempts = 0;
        l.marks++;
        cache_listening(b);
        return;
    }
    if (!lost && state != nullptr && strcmp(state, REFUSED_STATE) == 0) {
        if (l.logged != LISTEN_LOGGED_REFUSED)
            warn_msg("warn: LISTEN %s refused, the cache keeps to its TTLs: %s", channel_of(b),
                     PQresultErrorMessage(res));
        l.logged = LISTEN_LOGGED_REFUSED;
        close_as(b, LISTEN_REFUSED, 0);
        return;
    }
    const char *why = PQresultErrorMessage(res);
    failed(b, "lost", *why != '\0' ? why : PQerrorMessage(l.conn),
           lost || state == nullptr ? 0 : LISTEN_RETRY_MS);
}

// The primary's WAL position a sign of life brought: it covers every
// change heard of before it was asked.
void took_position(listener &l, const PGresult *res) {
    unsigned hi = 0, lo = 0;
    if (PQntuples(res) != 1 || sscanf(PQgetvalue(res, 0, 0), "%X/%X", &hi, &lo) != 2)
        return;
    l.position = std::max(l.position, (uint64_t{hi} << 32) | lo);
    l.covered_marks = l.asked_marks;
}

// Reads the answers that came: LISTEN's, or a sign of life's, whose end
// proves every notification queued before it read.
void read_answers(backend *b, int64_t now) {
    listener &l = of(b);
    while (l.conn != nullptr && PQisBusy(l.conn) == 0) {
        pg_result_ptr r{PQgetResult(l.conn)};
        if (!r) {
            if (l.ping_sent_at != 0)
                l.unproven = 0;
            l.ping_sent_at = 0;
            l.position_asked = false;
            return;
        }
        if (l.state == LISTEN_ASKING)
            listened(b, r.get(), now);
        else if (l.position_asked && PQresultStatus(r.get()) == PGRES_TUPLES_OK)
            took_position(l, r.get());
        else if (PQresultStatus(r.get()) != PGRES_EMPTY_QUERY)
            failed(b, "lost", PQresultErrorMessage(r.get()), 0);
    }
}

// Reads what the listener holds, in at most LISTEN_SLICES reads, applying
// it; `behind` says whether more is waiting.
void read_more(backend *b, int64_t now) {
    listener &l = of(b);
    apply_pending(b);
    for (int reads = 0; l.conn != nullptr; reads++) {
        // The host's wake-up has just seen the socket quiet.
        bool ready = false;
        if (reads > 0 || !l.quiet_now) {
            pollfd p{PQsocket(l.conn), POLLIN, 0};
            ready = poll(&p, 1, 0) == 1;
        }
        l.quiet_now = false;
        l.behind = ready && reads == LISTEN_SLICES;
        if (!ready || l.behind)
            return;
        if (PQconsumeInput(l.conn) == 0) {
            // A lost one is tried again at once.
            failed(b, "lost", PQerrorMessage(l.conn), 0);
            return;
        }
        l.last_sign = now;
        read_answers(b, now);
        if (l.conn == nullptr)
            return;
        apply_pending(b);
        // A FATAL notice says the session is ending, though the end of the
        // stream may come much later over a slow link: lost at once.
        if (exec_lost(l.conn)) {
            failed(b, "lost", "the server is ending the session", 0);
            return;
        }
    }
}

// True when the primary's WAL position after the changes heard of is to
// be asked: the statements may read a standby, whose answers are kept
// only once it has replayed that far. Never on a primary.
bool position_wanted(backend *b) {
    const listener &l = of(b);
    return l.state == LISTEN_ON && l.covered_marks < l.marks && connect_may_lag(b);
}

// Asks for a sign of life where one is needed: while entries are held and
// it has been quiet, to prove a burst read, or with the WAL position a
// standby's answers wait for. Only a sign asked for and not given in time
// makes it silent: a quiet host costs nothing.
void keep_alive(backend *b, int64_t now) {
    listener &l = of(b);
    if (l.state == LISTEN_ASKING && now - l.since >= LISTEN_CONNECT_MS) {
        failed(b, "failed", "no answer to LISTEN in time", LISTEN_RETRY_MS);
        return;
    }
    if (l.state != LISTEN_ON)
        return;
    if (l.ping_sent_at != 0) {
        if (now - l.ping_sent_at >= SIGN_WAIT_MS) {
            warn_msg("warn: LISTEN connection silent for %lld ms; closing it",
                     static_cast<long long>(now - l.last_sign));
            close_as(b, LISTEN_DOWN, 0);
        }
        return;
    }
    bool position = position_wanted(b);
    bool wanted = position || l.unproven >= BURST_BYTES ||
                  (cache_count(b) > 0 && now - l.last_sign >= SIGN_ASK_MS);
    if (!wanted)
        return;
    if (PQsendQuery(l.conn, position ? POSITION_SQL : "") != 1) {
        failed(b, "lost", PQerrorMessage(l.conn), 0);
        return;
    }
    (void)PQflush(l.conn);
    l.ping_sent_at = now;
    l.position_asked = position;
    l.asked_marks = l.marks;
}

// Moves the listener on as far as it can without waiting: a new attempt
// when one is due, its connect, its reads and signs of life.
void step(backend *b, bool idle) {
    listener &l = of(b);
    int64_t now = exec_now_ms();
    switch (l.state) {
    case LISTEN_DOWN:
        if ((b->conn != nullptr || own_conninfo(b) != nullptr) && now >= l.since)
            start_attempt(b, idle);
        break;
    case LISTEN_CONNECTING:
        connecting(b, now);
        break;
    case LISTEN_ASKING:
    case LISTEN_ON:
        read_more(b, now);
        keep_alive(b, now);
        break;
    case LISTEN_REFUSED:
        break;
    }
}

// Within a request's waits: the connect and LISTEN's answer only.
void side_step(void *arg) {
    auto *b = static_cast<backend *>(arg);
    listener &l = of(b);
    int64_t now = exec_now_ms();
    if (l.state == LISTEN_CONNECTING) {
        connecting(b, now);
    } else if (l.state == LISTEN_ASKING) {
        if (PQconsumeInput(l.conn) == 0 || exec_lost(l.conn)) {
            failed(b, "lost", PQerrorMessage(l.conn), 0);
            return;
        }
        l.last_sign = now;
        read_answers(b, now);
    }
}

// True when entries may answer as fresh: notifications keep them true, so
// the listener must listen, be read to its end, alive and caught up; or
// the cache keeps to its TTLs, having nothing to listen with.
bool coherent(const listener &l, int64_t now) {
    if (!l.wanted || l.state == LISTEN_REFUSED)
        return true;
    return l.state == LISTEN_ON && !l.behind && l.unproven < BURST_BYTES &&
           now - l.last_sign < SIGN_LOST_MS;
}

} // namespace

void listen_connect(backend *b) {
    listener &l = of(b);
    close_as(b, LISTEN_DOWN, 0);
    const char *channel = channel_of(b);
    // Without a cache nothing could use what LISTEN hears, and unread
    // notifications would pile up.
    l.wanted = channel != nullptr && b->settings.cache_size > 0 &&
               (b->settings.cache_services & SVC_ALL) != 0;
    // Prepared statements are off for a transaction pooler, which passes
    // LISTEN to whichever server connection is free and notifications to
    // no one: without a conninfo of its own the cache keeps to its TTLs.
    const char *own = own_conninfo(b);
    if (l.wanted && b->settings.unprepared && own == nullptr) {
        if (l.logged != LISTEN_LOGGED_TROUBLE)
            warn_msg("warn: LISTEN %s skipped with prepared_statements off (a transaction pooler "
                     "does not pass notifications on); the cache keeps to its TTLs",
                     channel);
        l.logged = LISTEN_LOGGED_TROUBLE;
        l.wanted = false;
    }
    if (!l.wanted)
        return;
    if (own != nullptr) {
        start_attempt(b, false);
        return;
    }
    auto *conninfo = static_cast<const char *>(dict_find(&b->config, "conninfo"));
    if (conninfo == nullptr)
        return;
    if (PGconn *conn = exec_connect_start(conninfo, "-listen"); conn != nullptr)
        start(b, conn);
}

void listen_connected(backend *b) {
    listener &l = of(b);
    if (l.wanted && l.state == LISTEN_DOWN && l.conn == nullptr)
        start_attempt(b, false);
}

void listen_step(backend *b, bool idle) {
    if (of(b).wanted)
        step(b, idle);
}

bool listen_fresh(backend *b) {
    listener &l = of(b);
    if (!l.wanted)
        return true;
    step(b, false);
    return coherent(l, exec_now_ms());
}

void listen_seen_quiet(backend *b) {
    listener &l = of(b);
    l.seen_quiet = l.state == LISTEN_ON || l.state == LISTEN_ASKING;
}

void listen_begin_request(backend *b) {
    listener &l = of(b);
    l.quiet_now = l.seen_quiet;
    l.seen_quiet = false;
}

int listen_idle_fd(backend *b, int *timeout_ms, short *events) {
    const listener &l = b->listen;
    *timeout_ms = -1;
    *events = POLLIN;
    if (!l.wanted)
        return -1;
    int64_t now = exec_now_ms();
    auto until = [&](int64_t due) {
        *timeout_ms = static_cast<int>(std::clamp<int64_t>(due - now, 0, INT32_MAX));
    };
    switch (l.state) {
    case LISTEN_DOWN:
        if (b->conn != nullptr || own_conninfo(b) != nullptr)
            until(l.since);
        return -1;
    case LISTEN_CONNECTING:
        *events = l.connecting == PGRES_POLLING_READING ? POLLIN : POLLOUT;
        until(l.since + LISTEN_CONNECT_MS);
        return PQsocket(l.conn);
    case LISTEN_ASKING:
        until(l.since + LISTEN_CONNECT_MS);
        return PQsocket(l.conn);
    case LISTEN_ON:
        if (l.ping_sent_at != 0)
            until(l.ping_sent_at + SIGN_WAIT_MS);
        else if (l.unproven >= BURST_BYTES || position_wanted(b))
            until(now);
        else if (cache_count(b) > 0)
            until(l.last_sign + SIGN_ASK_MS);
        return PQsocket(l.conn);
    case LISTEN_REFUSED:
        break;
    }
    return -1;
}

void listen_close(backend *b) {
    close_as(b, LISTEN_DOWN, 0);
}

bool listen_on(const backend *b) {
    return b->listen.state == LISTEN_ON;
}

bool listen_wanted(const backend *b) {
    return b->listen.wanted;
}

bool listen_covers(const backend *b, uint64_t replayed) {
    const listener &l = b->listen;
    if (replayed == REPLAY_CURRENT || !l.wanted || l.state == LISTEN_REFUSED)
        return true;
    return l.covered_marks == l.marks && replayed >= l.position;
}
