#include "backend/backend.h"
#include "support/log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

constexpr query_spec query_specs[BACKEND_SLOTS] = {
    {"query_alias", 1},       {"query_domain", 1}, {"query_credentials", 2}, {"query_netaddr", 1},
    {"query_userinfo", 3},    {"query_source", 1}, {"query_mailaddr", 1},    {"query_addrname", 1},
    {"query_mailaddrmap", 1}, {nullptr, 0},
};

uint32_t stmt_counter;

namespace {

// Closes b after a failed attempt; the quiet time, if any, starts now.
int32_t connect_failed(backend *b) {
    b->unavailable = true;
    backend_close(b);
    backend_hold_off(b);
    return 0;
}

// Prepares (or, with prepared statements off, checks) one statement of b.
char *prepare_slot(backend *b, int slot, const char *sql) {
    int32_t nparams = slot == BACKEND_FETCH_SLOT ? 0 : 1;
    const char *key = backend_slot_key(slot);
    return b->unprepared ? backend_check_text(b->conn, sql, nparams, key)
                         : backend_prepare(b->conn, sql, nparams, key);
}

} // namespace

char *backend_prepare(PGconn *conn, const char *sql, int32_t nparams, const char *key) {
    // Taken before anything can fail, so names never repeat in a process.
    uint32_t number = stmt_counter++;
    char *name = nullptr;
    if (asprintf(&name, "stmt%u", number) == -1) {
        warn_sys("warn: asprintf");
        return nullptr;
    }
    char what[64];
    snprintf(what, sizeof what, "preparing %s", key);
    pg_result_ptr res{exec_prepare(conn, name, sql, nparams, what)};
    if (PQresultStatus(res.get()) != PGRES_COMMAND_OK) {
        if (!exec_expired())
            warn_msg("warn: PQprepare: %s", PQerrorMessage(conn));
        free(name);
        return nullptr;
    }
    // The server accepts a text with any number of parameters; one that does
    // not take what korvane passes would fail every request as a protocol
    // violation, which reads like a lost connection.
    res.reset(exec_describe(conn, name, what));
    if (PQresultStatus(res.get()) != PGRES_COMMAND_OK) {
        if (!exec_expired())
            warn_msg("warn: PQdescribePrepared: %s", PQerrorMessage(conn));
        free(name);
        return nullptr;
    }
    if (PQnparams(res.get()) != nparams) {
        warn_msg("warn: %s: the query takes %d parameters, korvane passes %d", key,
                 PQnparams(res.get()), nparams);
        free(name);
        return nullptr;
    }
    return name;
}

const char *backend_slot_key(int slot) {
    return slot == BACKEND_FETCH_SLOT ? "fetch_source" : query_specs[slot].config_key;
}

const char *backend_statement(backend *b, int slot, bool *lost) {
    *lost = false;
    if (b->statements[slot] != nullptr || !b->prepare_on_use || b->conn == nullptr)
        return b->statements[slot];
    const char *key = backend_slot_key(slot);
    auto *sql = static_cast<const char *>(dict_find(&b->config, key));
    if (sql == nullptr)
        return nullptr;
    b->statements[slot] = prepare_slot(b, slot, sql);
    if (b->statements[slot] == nullptr && exec_expired()) {
        b->unavailable = true;
        backend_close(b);
        backend_hold_off(b);
    } else if (b->statements[slot] == nullptr) {
        *lost = PQstatus(b->conn) == CONNECTION_BAD;
    }
    return b->statements[slot];
}

char *backend_check_text(PGconn *conn, const char *sql, int32_t nparams, const char *key) {
    char what[64];
    snprintf(what, sizeof what, "checking %s", key);
    pg_result_ptr res{exec_describe_text(conn, sql, what)};
    if (PQresultStatus(res.get()) != PGRES_COMMAND_OK) {
        // In a pipeline the server's error stays with its result.
        const char *why = res ? PQresultErrorMessage(res.get()) : "";
        if (!exec_expired())
            warn_msg("warn: PQprepare: %s", *why != '\0' ? why : PQerrorMessage(conn));
        return nullptr;
    }
    if (PQnparams(res.get()) != nparams) {
        warn_msg("warn: %s: the query takes %d parameters, korvane passes %d", key,
                 PQnparams(res.get()), nparams);
        return nullptr;
    }
    char *copy = strdup(sql);
    if (copy == nullptr)
        warn_sys("warn: strdup");
    return copy;
}

void backend_hold_off(backend *b) {
    if (b->reconnect_delay_ms <= 0)
        return;
    b->reconnect_at = exec_now_ms() + b->reconnect_delay_ms;
    b->delay_logged = false;
}

int32_t backend_connect(backend *b) {
    // Within the quiet time after a failure, no attempt: the database was
    // just found unable to answer, and every attempt could cost a deadline.
    if (b->reconnect_at != 0 && exec_now_ms() < b->reconnect_at) {
        b->unavailable = true;
        backend_close(b);
        if (!b->delay_logged)
            warn_msg("warn: not reconnecting for %d ms after a failure; requests answer error",
                     b->reconnect_delay_ms);
        b->delay_logged = true;
        return 0;
    }
    debug_msg("debug: (re)connecting");
    backend_close(b);

    auto *conninfo = static_cast<const char *>(dict_find(&b->config, "conninfo"));
    if (conninfo == nullptr) {
        warn_msg("warn: missing \"conninfo\" configuration directive");
        return connect_failed(b);
    }
    b->conn = exec_connect(conninfo);
    if (b->conn == nullptr && !exec_expired() && *exec_connect_error(nullptr) == '\0') {
        warn_msg("warn: PQconnectdb return NULL");
        return connect_failed(b);
    }
    if (b->conn == nullptr || PQstatus(b->conn) != CONNECTION_OK) {
        if (!exec_expired())
            warn_msg("warn: PQconnectdb: %s", exec_connect_error(b->conn));
        return connect_failed(b);
    }
    // Sending and closing must not wait on a server that stopped reading.
    PQsetnonblocking(b->conn, 1);
    if (!cache_connected(b))
        return connect_failed(b);

    // Start-up and update prepare everything, so that a bad query is found
    // before it serves. Under a deadline a reconnect leaves each statement
    // to its first use: a table held by a long lock then costs only the
    // services that read it, not every service whose statement would wait
    // behind it while the reconnect prepares.
    for (int slot = 0; slot < BACKEND_SLOTS && !b->prepare_on_use; slot++) {
        const char *key = backend_slot_key(slot);
        auto *sql = static_cast<const char *>(dict_find(&b->config, key));
        if (sql == nullptr)
            continue;
        b->statements[slot] = prepare_slot(b, slot, sql);
        if (b->statements[slot] == nullptr)
            return connect_failed(b);
    }
    b->reconnect_at = 0;
    b->prepare_on_use = b->request_timeout_ms > 0;
    debug_msg("debug: connected");
    return 1;
}
