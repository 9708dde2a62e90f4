#include "backend/backend.h"
#include "support/log.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <poll.h>

namespace {

int32_t timeout_ms; // of the request in progress; 0: no deadline
int64_t deadline;   // exec_now_ms() by which it must end
bool expired;       // its deadline has passed and that has been logged

// Marks the request as out of time, once, naming what it was waiting for.
void expire(const char *what) {
    if (!expired)
        warn_msg("warn: request timed out after %d ms: %s", timeout_ms, what);
    expired = true;
}

// Waits until conn's socket is ready for events. The events that arrived
// (an error or hang-up counts as readable, so that reading reports it), or
// 0 after the deadline has passed.
short wait_socket(PGconn *conn, short events, const char *what) {
    for (;;) {
        int wait = -1;
        if (timeout_ms > 0) {
            int64_t left = deadline - exec_now_ms();
            if (left <= 0 || expired) {
                expire(what);
                return 0;
            }
            wait = static_cast<int>(left);
        }
        pollfd p{PQsocket(conn), events, 0};
        // A connection without a socket is already broken: reading says so.
        if (p.fd < 0)
            return POLLIN;
        int n = poll(&p, 1, wait);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            warn_sys("warn: poll");
            return POLLIN;
        }
        if (n > 0)
            return (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 ? POLLIN : p.revents;
    }
}

// Completes a command that send started: flushes it, then collects its
// result. Keeps the last result as PQexec does, except that an error wins.
// Null when sending failed, the connection broke before a result came, or
// the deadline passed.
PGresult *finish(PGconn *conn, int sent, const char *what) {
    if (sent == 0)
        return nullptr;
    for (;;) {
        int pending = PQflush(conn);
        if (pending < 0)
            return nullptr;
        if (pending == 0)
            break;
        // The server may be waiting for us to read before it reads on.
        short ready = wait_socket(conn, POLLIN | POLLOUT, what);
        if (ready == 0 || ((ready & POLLIN) != 0 && PQconsumeInput(conn) == 0))
            return nullptr;
    }
    pg_result_ptr kept;
    for (;;) {
        while (PQisBusy(conn) != 0) {
            if (wait_socket(conn, POLLIN, what) == 0)
                return nullptr;
            if (PQconsumeInput(conn) == 0)
                return kept.release();
        }
        PGresult *r = PQgetResult(conn);
        if (r == nullptr)
            return kept.release();
        if (!kept || PQresultStatus(kept.get()) != PGRES_FATAL_ERROR)
            kept.reset(r);
        else
            PQclear(r);
    }
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
    // Without a deadline libpq's own blocking connect keeps connect_timeout
    // working host by host.
    if (timeout_ms <= 0)
        return PQconnectdb(conninfo);
    PGconn *conn = PQconnectStart(conninfo);
    if (conn == nullptr || PQstatus(conn) == CONNECTION_BAD)
        return conn;
    // The first wait is for the socket to become writable, as after
    // PGRES_POLLING_WRITING.
    PostgresPollingStatusType state = PGRES_POLLING_WRITING;
    while (state != PGRES_POLLING_OK && state != PGRES_POLLING_FAILED) {
        short events = state == PGRES_POLLING_READING ? POLLIN : POLLOUT;
        if (wait_socket(conn, events, "connecting to the database") == 0)
            break;
        state = PQconnectPoll(conn);
    }
    return conn;
}

PGresult *exec_prepare(PGconn *conn, const char *name, const char *sql, int32_t nparams,
                       const char *what) {
    return finish(conn, PQsendPrepare(conn, name, sql, nparams, nullptr), what);
}

PGresult *exec_describe(PGconn *conn, const char *name, const char *what) {
    return finish(conn, PQsendDescribePrepared(conn, name), what);
}

PGresult *exec_prepared(PGconn *conn, const char *name, int32_t nparams, const char *const *values,
                        const char *what) {
    return finish(conn, PQsendQueryPrepared(conn, name, nparams, values, nullptr, nullptr, 0),
                  what);
}

PGresult *exec_command(PGconn *conn, const char *sql, const char *what) {
    return finish(conn, PQsendQuery(conn, sql), what);
}

PGresult *exec_params(PGconn *conn, const char *sql, int32_t nparams, const char *const *values,
                      const char *what) {
    return finish(conn, PQsendQueryParams(conn, sql, nparams, nullptr, values, nullptr, nullptr, 0),
                  what);
}

PGresult *exec_describe_text(PGconn *conn, const char *sql, const char *what) {
    // Parse, Describe and Sync go out together, so that a transaction
    // pooler hands all three to the same server connection.
    if (PQenterPipelineMode(conn) == 0)
        return nullptr;
    if (PQsendPrepare(conn, "", sql, 0, nullptr) == 0 || PQsendDescribePrepared(conn, "") == 0 ||
        PQpipelineSync(conn) == 0) {
        PQexitPipelineMode(conn);
        return nullptr;
    }
    pg_result_ptr parsed{finish(conn, 1, what)};
    pg_result_ptr described;
    if (!exec_expired() && PQstatus(conn) != CONNECTION_BAD)
        described.reset(finish(conn, 1, what));
    // Then the sync point, which ends the pipeline.
    if (!exec_expired() && PQstatus(conn) != CONNECTION_BAD)
        PQclear(finish(conn, 1, what));
    PQexitPipelineMode(conn);
    if (PQresultStatus(parsed.get()) != PGRES_COMMAND_OK)
        return parsed.release();
    return described.release();
}
