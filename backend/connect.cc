#include "backend/backend.h"
#include "support/log.h"

#include <cstdio>
#include <cstdlib>

constexpr query_spec query_specs[BACKEND_SLOTS] = {
    {"query_alias", 1},       {"query_domain", 1}, {"query_credentials", 2}, {"query_netaddr", 1},
    {"query_userinfo", 3},    {"query_source", 1}, {"query_mailaddr", 1},    {"query_addrname", 1},
    {"query_mailaddrmap", 1}, {nullptr, 0},
};

uint32_t stmt_counter;

char *backend_prepare(PGconn *conn, const char *sql, int32_t nparams) {
    // Taken before anything can fail, so names never repeat in a process.
    uint32_t number = stmt_counter++;
    char *name = nullptr;
    if (asprintf(&name, "stmt%u", number) == -1) {
        warn_sys("warn: asprintf");
        return nullptr;
    }
    pg_result_ptr res{PQprepare(conn, name, sql, nparams, nullptr)};
    if (PQresultStatus(res.get()) != PGRES_COMMAND_OK) {
        warn_msg("warn: PQprepare: %s", PQerrorMessage(conn));
        free(name);
        return nullptr;
    }
    return name;
}

int32_t backend_connect(backend *b) {
    debug_msg("debug: (re)connecting");
    backend_close(b);

    auto *conninfo = static_cast<const char *>(dict_find(&b->config, "conninfo"));
    if (conninfo == nullptr) {
        warn_msg("warn: missing \"conninfo\" configuration directive");
        backend_close(b);
        return 0;
    }
    b->conn = PQconnectdb(conninfo);
    if (b->conn == nullptr) {
        warn_msg("warn: PQconnectdb return NULL");
        backend_close(b);
        return 0;
    }
    if (PQstatus(b->conn) != CONNECTION_OK) {
        warn_msg("warn: PQconnectdb: %s", PQerrorMessage(b->conn));
        backend_close(b);
        return 0;
    }

    for (int slot = 0; slot < BACKEND_SLOTS; slot++) {
        const char *key =
            slot == BACKEND_FETCH_SLOT ? "fetch_source" : query_specs[slot].config_key;
        auto *sql = static_cast<const char *>(dict_find(&b->config, key));
        if (sql == nullptr)
            continue;
        b->statements[slot] = backend_prepare(b->conn, sql, slot == BACKEND_FETCH_SLOT ? 0 : 1);
        if (b->statements[slot] == nullptr) {
            backend_close(b);
            return 0;
        }
    }
    debug_msg("debug: connected");
    return 1;
}
