// The execution layer's commands: every command korvane sends and every
// wait for its results, under the deadline of the request given; see exec.h.
#include "backend/exec.h"

#include "support/compat.h"
#include "support/log.h"
#include "support/stats.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <vector>

namespace {

// The connections that a FATAL notice said are ending: libpq may have read
// the notice without yet seeing the end of the stream.
std::vector<const PGconn *> ending;

bool lost(const PGconn *conn) {
    return PQstatus(conn) == CONNECTION_BAD ||
           std::find(ending.begin(), ending.end(), conn) != ending.end();
}

// Server notices and libpq's own go through the log as one record each. A
// FATAL one, or one of class 57P or 08, announces the end of the session.
void on_notice(void *arg, const PGresult *res) {
    const char *state = PQresultErrorField(res, PG_DIAG_SQLSTATE);
    const char *severity = PQresultErrorField(res, PG_DIAG_SEVERITY_NONLOCALIZED);
    if ((severity != nullptr &&
         (strcmp(severity, "FATAL") == 0 || strcmp(severity, "PANIC") == 0)) ||
        (state != nullptr && (strncmp(state, "57P", 3) == 0 || strncmp(state, "08", 2) == 0)))
        if (!lost(static_cast<const PGconn *>(arg)))
            ending.push_back(static_cast<const PGconn *>(arg));
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

} // namespace

void exec_expire(exec_request &r, const char *what) {
    if (!r.expired) {
        stats_count(STATS_TIMEOUTS);
        warn_msg("warn: request timed out after %d ms: %s", r.timeout_ms, what);
    }
    r.expired = true;
}

namespace {

// Waits until conn's socket is ready for events. The events that arrived
// (an error or hang-up counts as readable, so that reading reports it), or
// 0 once the request's deadline has passed (logged once) or `until`, the
// end of one connection attempt, when that is not 0.
short wait_socket(PGconn *conn, short events, const char *what, exec_request &r,
                  int64_t until = 0) {
    for (;;) {
        int wait = -1;
        // Without a deadline or an attempt's end the clock is not read.
        int64_t now = r.timeout_ms > 0 || until != 0 ? exec_now_ms() : 0;
        if (r.timeout_ms > 0) {
            int64_t left = r.deadline - now;
            if (left <= 0 || r.expired) {
                exec_expire(r, what);
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
bool flush_out(PGconn *conn, const char *what, exec_request &r) {
    for (;;) {
        int pending = PQflush(conn);
        if (pending < 0)
            return false;
        if (pending == 0)
            return true;
        // The server may be waiting for us to read before it reads on.
        short ready = wait_socket(conn, POLLIN | POLLOUT, what, r);
        if (ready == 0 || ((ready & POLLIN) != 0 && (PQconsumeInput(conn) == 0 || lost(conn))))
            return false;
    }
}

// The next result of the command in progress, waiting for it under the
// deadline. Null at the end of the results, or when the connection broke
// (*broken) or the deadline passed.
PGresult *next_result(PGconn *conn, const char *what, exec_request &r, bool *broken) {
    *broken = false;
    while (PQisBusy(conn) != 0) {
        if (wait_socket(conn, POLLIN, what, r) == 0)
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

// The results of the command at the head of the line, read to its end.
// Null when the connection broke before a result came or the deadline
// passed.
PGresult *collect(PGconn *conn, const char *what, exec_request &r, bool *broken) {
    pg_result_ptr kept;
    while (PGresult *next = next_result(conn, what, r, broken))
        keep(kept, next);
    return r.expired ? nullptr : kept.release();
}

// Completes a command that send started: flushes it, then collects its
// results. Null when sending failed, or as collect.
PGresult *finish(PGconn *conn, int sent, const char *what, exec_request &r) {
    if (sent == 0 || !flush_out(conn, what, r))
        return nullptr;
    bool broken = false;
    return collect(conn, what, r, &broken);
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
// the connection up (r.cut). The rows come back as one result of
// status PGRES_SINGLE_TUPLE (or PGRES_TUPLES_OK without rows).
PGresult *collect_rows(PGconn *conn, const char *what, const exec_limit &limit, exec_request &r) {
    (void)PQsetSingleRowMode(conn);
    pg_result_ptr kept;
    pg_result_ptr rows;
    row_state st{};
    bool broken = false;
    while (PGresult *next = next_result(conn, what, r, &broken)) {
        pg_result_ptr result{next};
        if (PQresultStatus(next) != PGRES_SINGLE_TUPLE) {
            keep(kept, result.release());
            continue;
        }
        uint64_t bytes = 0;
        for (int f = 0; f < PQnfields(next); f++)
            bytes += static_cast<uint64_t>(PQgetlength(next, 0, f));
        if (!take_row(rows, std::move(result), limit, &st)) {
            r.cut = true;
            return nullptr;
        }
        // The rest of the result is left unread; the caller gives the
        // connection up.
        if (bytes >= BIG_ROW || st.drained > DRAIN_MAX_ROWS) {
            r.cut = true;
            return rows.release();
        }
    }
    if (r.expired)
        return nullptr;
    if (!broken && kept && PQresultStatus(kept.get()) == PGRES_TUPLES_OK && rows)
        return rows.release();
    return kept.release();
}

PGresult *finish_rows(PGconn *conn, int sent, const char *what, const exec_limit &limit,
                      exec_request &r) {
    if (sent == 0 || !flush_out(conn, what, r))
        return nullptr;
    return collect_rows(conn, what, limit, r);
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

} // namespace

int64_t exec_now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

exec_request exec_begin(int32_t ms) {
    return {ms, ms > 0 ? exec_now_ms() + ms : 0, false, false};
}

PGconn *exec_watch(PGconn *conn) {
    if (conn != nullptr)
        PQsetNoticeReceiver(conn, on_notice, conn);
    return conn;
}

void exec_finish(PGconn *conn) {
    ending.erase(std::remove(ending.begin(), ending.end(), conn), ending.end());
    PQfinish(conn);
}

bool exec_lost(const PGconn *conn) {
    return lost(conn);
}

void exec_set_side(int (*watch)(void *arg, short *events), void (*step)(void *arg), void *arg) {
    side = {watch, step, arg};
}

void exec_clear_side(const void *arg) {
    if (side.arg == arg)
        side = {};
}

bool exec_wait(PGconn *conn, short events, const char *what, int64_t until, exec_request &r) {
    return wait_socket(conn, events, what, r, until) != 0;
}

bool exec_pipeline(PGconn *conn, const exec_step *steps, size_t n, pg_result_ptr *results,
                   exec_request &r) {
    r.cut = false;
    if (n == 0 || PQenterPipelineMode(conn) == 0)
        return false;
    for (size_t i = 0; i < n; i++)
        if (send_step(conn, steps[i]) == 0)
            return false;
    if (!flush_out(conn, steps[0].what, r))
        return false;
    for (size_t i = 0; i < n; i++) {
        const exec_step &s = steps[i];
        bool broken = false;
        if (s.kind == exec_step::SYNC) {
            // One result marks the sync point, and nothing follows it.
            pg_result_ptr sync{next_result(conn, s.what, r, &broken)};
            if (PQresultStatus(sync.get()) != PGRES_PIPELINE_SYNC)
                return false;
            continue;
        }
        results[i].reset(s.limit != nullptr ? collect_rows(conn, s.what, *s.limit, r)
                                            : collect(conn, s.what, r, &broken));
        if (r.expired || broken || r.cut || lost(conn))
            return false;
    }
    return PQexitPipelineMode(conn) == 1;
}

PGresult *exec_prepare(PGconn *conn, const char *name, const char *sql, int32_t nparams,
                       const char *what, exec_request &r) {
    return finish(conn, PQsendPrepare(conn, name, sql, nparams, nullptr), what, r);
}

PGresult *exec_describe(PGconn *conn, const char *name, const char *what, exec_request &r) {
    return finish(conn, PQsendDescribePrepared(conn, name), what, r);
}

PGresult *exec_prepared(PGconn *conn, const char *name, int32_t nparams, const char *const *values,
                        const char *what, exec_request &r, const exec_limit *limit) {
    r.cut = false;
    int sent = PQsendQueryPrepared(conn, name, nparams, values, nullptr, nullptr, 0);
    return limit != nullptr ? finish_rows(conn, sent, what, *limit, r)
                            : finish(conn, sent, what, r);
}

PGresult *exec_command(PGconn *conn, const char *sql, const char *what, exec_request &r) {
    return finish(conn, PQsendQuery(conn, sql), what, r);
}

PGresult *exec_params(PGconn *conn, const char *sql, int32_t nparams, const char *const *values,
                      const char *what, exec_request &r, const exec_limit *limit) {
    r.cut = false;
    int sent = PQsendQueryParams(conn, sql, nparams, nullptr, values, nullptr, nullptr, 0);
    return limit != nullptr ? finish_rows(conn, sent, what, *limit, r)
                            : finish(conn, sent, what, r);
}
