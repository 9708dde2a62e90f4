// The statements' connection and its statements; see connect.h.
#include "backend/connect.h"

#include "backend/backend.h"
#include "support/log.h"
#include "support/stats.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

uint32_t stmt_counter;

namespace {

int32_t slot_params(int slot) {
    return query_specs[slot].parameters;
}

const char *slot_key(int slot) {
    return query_specs[slot].config_key;
}

// "preparing KEY" for a slot, the step a timeout names ("checking KEY"
// with prepared statements off, where nothing is prepared to keep).
const char *prepare_label(const backend *b, int slot) {
    static char labels[2][STATEMENT_SLOTS][48];
    char *label = labels[b->settings.unprepared ? 1 : 0][slot];
    if (label[0] == '\0')
        snprintf(label, sizeof labels[0][0], "%s %s",
                 b->settings.unprepared ? "checking" : "preparing", slot_key(slot));
    return label;
}

// The name a slot's statement is prepared under: the next "stmt%u", or the
// unnamed statement with prepared statements off.
struct statement_name {
    char text[16];
    uint32_t number;
};

statement_name next_name(const backend *b) {
    statement_name n{};
    if (!b->settings.unprepared) {
        // Taken before anything can fail, so names never repeat in a process.
        n.number = stmt_counter++;
        snprintf(n.text, sizeof n.text, "stmt%u", n.number);
    }
    return n;
}

// Parse and Describe of one statement, as two steps of a pipeline.
void prepare_steps(const backend *b, int slot, const char *name, const char *sql, exec_step *out) {
    const char *what = prepare_label(b, slot);
    out[0] = {exec_step::PREPARE, name, sql, slot_params(slot), nullptr, what, nullptr};
    out[1] = {exec_step::DESCRIBE, name, nullptr, 0, nullptr, what, nullptr};
}

// What preparing and describing a slot's statement gave, with the warnings
// of a failure: the slot's new name (a heap copy of name), or null.
char *take_prepared(const backend *b, int slot, const char *name, const PGresult *prepared,
                    const PGresult *described) {
    const char *key = slot_key(slot);
    // In a pipeline the server's error stays with its result.
    auto why = [&](const PGresult *r) {
        const char *text = r != nullptr ? PQresultErrorMessage(r) : "";
        return *text != '\0' ? text : PQerrorMessage(b->conn);
    };
    bool prepare_failed = PQresultStatus(prepared) != PGRES_COMMAND_OK;
    if (prepare_failed || PQresultStatus(described) != PGRES_COMMAND_OK) {
        if (b->request.expired)
            return nullptr;
        if (prepare_failed)
            warn_msg("warn: PQprepare: %s", why(prepared));
        else
            warn_msg("warn: %s: %s", b->settings.unprepared ? "PQprepare" : "PQdescribePrepared",
                     why(described));
        // Which of the file's statements it was, for the admin who mends it.
        warn_msg("warn: %s: the server refused this statement", key);
        return nullptr;
    }
    // The server accepts a text with any number of parameters; one that
    // does not take what korvane passes would fail every request as a
    // protocol violation, which reads like a lost connection.
    if (PQnparams(described) != slot_params(slot)) {
        warn_msg("warn: %s: the query takes %d parameters, korvane passes %d", key,
                 PQnparams(described), slot_params(slot));
        return nullptr;
    }
    char *value = strdup(name);
    if (value == nullptr)
        warn_sys("warn: strdup");
    return value;
}

// Start-up, update and reconnects without a deadline prepare everything,
// so that a bad query is found before it serves: every statement's Parse
// and Describe, all in one round trip. A failure is reported for the
// first statement that failed, as if they had gone one by one; the
// numbers of those after it are given back.
bool prepare_all(backend *b) {
    exec_step steps[2 * STATEMENT_SLOTS + 1];
    statement_name names[STATEMENT_SLOTS];
    const char *sqls[STATEMENT_SLOTS] = {};
    size_t n = 0;
    for (int slot = 0; slot < STATEMENT_SLOTS; slot++) {
        sqls[slot] = static_cast<const char *>(dict_find(&b->config, slot_key(slot)));
        if (sqls[slot] == nullptr)
            continue;
        names[slot] = next_name(b);
        prepare_steps(b, slot, names[slot].text, sqls[slot], steps + n);
        n += 2;
    }
    if (n == 0)
        return true;
    steps[n++] = {exec_step::SYNC, nullptr, nullptr, 0, nullptr, "preparing", nullptr};
    pg_result_ptr results[sizeof steps / sizeof steps[0]];
    (void)exec_pipeline(b->conn, steps, n, results, b->request);
    size_t at = 0;
    for (int slot = 0; slot < STATEMENT_SLOTS; slot++) {
        if (sqls[slot] == nullptr)
            continue;
        b->statements[slot] =
            take_prepared(b, slot, names[slot].text, results[at].get(), results[at + 1].get());
        at += 2;
        if (b->statements[slot] == nullptr) {
            if (!b->settings.unprepared)
                stmt_counter = names[slot].number + 1;
            return false;
        }
    }
    return true;
}

} // namespace

bool connect_configured(backend *b, int slot) {
    if (slot < 0)
        return false;
    // A prepared slot is configured; only an empty one is looked up.
    if (b->statements[slot] != nullptr || dict_has(&b->config, slot_key(slot)) != 0)
        return true;
    // The host asks for what the file does not serve: say which key to set,
    // once, rather than answer error without a word.
    if ((b->retry.unconfigured_warned & (1u << slot)) == 0)
        warn_msg("warn: %s: no %s in the configuration; its requests answer error",
                 query_specs[slot].name.data(), slot_key(slot));
    b->retry.unconfigured_warned |= 1u << slot;
    return false;
}

bool connect_prepare_run(backend *b, int slot, const char *const *values, const exec_limit *rows,
                         const char *what, pg_result_ptr *res) {
    const char *sql = static_cast<const char *>(dict_find(&b->config, slot_key(slot)));
    exec_step steps[4];
    size_t n = 0;
    statement_name name = next_name(b);
    prepare_steps(b, slot, name.text, sql, steps + n);
    n += 2;
    int32_t nparams = slot_params(slot);
    steps[n++] =
        b->settings.unprepared
            ? exec_step{exec_step::PARAMS, nullptr, sql, nparams, values, what, rows}
            : exec_step{exec_step::PREPARED, name.text, nullptr, nparams, values, what, rows};
    steps[n++] = {exec_step::SYNC, nullptr, nullptr, 0, nullptr, what, nullptr};
    pg_result_ptr results[4];
    (void)exec_pipeline(b->conn, steps, n, results, b->request);
    b->statements[slot] = take_prepared(b, slot, name.text, results[0].get(), results[1].get());
    if (b->statements[slot] == nullptr) {
        if (b->request.expired)
            connect_give_up(b);
        return false;
    }
    res->reset(results[2].release());
    return true;
}

void connect_give_up(backend *b) {
    b->retry.unavailable = true;
    backend_close(b);
    if (b->settings.reconnect_delay_ms <= 0)
        return;
    b->retry.reconnect_at = exec_now_ms() + b->settings.reconnect_delay_ms;
    b->retry.delay_logged = false;
}

int32_t connect_failed(backend *b) {
    stats_count(STATS_CONNECT_FAILURES);
    connect_give_up(b);
    return 0;
}

void connect_begin_request(backend *b) {
    b->retry.unavailable = false;
}

bool connect_may_lag(const backend *b) {
    if (b->conn == nullptr)
        return false;
    if (const char *hot = PQparameterStatus(b->conn, "in_hot_standby"); hot != nullptr)
        return strcmp(hot, "on") == 0;
    return b->retry.role != SERVER_PRIMARY;
}

bool connect_unavailable(const backend *b) {
    return b->retry.unavailable;
}

void connect_release(backend *b) {
    for (char *&name : b->statements) {
        free(name);
        name = nullptr;
    }
    if (b->conn != nullptr) {
        exec_finish(b->conn);
        b->conn = nullptr;
    }
}

bool connect_in_quiet_time(backend *b) {
    if (b->retry.reconnect_at == 0 || exec_now_ms() >= b->retry.reconnect_at)
        return false;
    stats_count(STATS_QUIET_REFUSALS);
    b->retry.unavailable = true;
    backend_close(b);
    if (!b->retry.delay_logged)
        warn_msg("warn: not reconnecting for %d ms after a failure; requests answer error",
                 b->settings.reconnect_delay_ms);
    b->retry.delay_logged = true;
    return true;
}

bool connect_open(backend *b) {
    auto *conninfo = static_cast<const char *>(dict_find(&b->config, "conninfo"));
    if (conninfo == nullptr) {
        warn_msg("warn: missing \"conninfo\" configuration directive");
        return false;
    }
    if (std::string problem = config_conninfo_problem(conninfo); !problem.empty()) {
        warn_msg("warn: conninfo on line %d cannot be parsed: %s; its text is not shown, as it "
                 "may hold the password",
                 b->settings.conninfo_line, problem.c_str());
        return false;
    }
    b->retry.role = SERVER_UNKNOWN;
    b->conn = exec_connect(conninfo, b->request);
    if (b->conn == nullptr && !b->request.expired && *exec_connect_error(nullptr) == '\0') {
        warn_msg("warn: PQconnectdb return NULL");
        return false;
    }
    if (b->conn == nullptr || PQstatus(b->conn) != CONNECTION_OK) {
        if (!b->request.expired)
            warn_msg("warn: PQconnectdb: %s", exec_connect_error(b->conn));
        return false;
    }
    // Sending and closing must not wait on a server that stopped reading.
    PQsetnonblocking(b->conn, 1);
    return true;
}

bool connect_prepare(backend *b) {
    // Under a deadline a reconnect leaves each statement to its first use:
    // a table held by a long lock then costs only the services that read
    // it, not every service whose statement would wait behind it while the
    // reconnect prepares. Otherwise everything is ready before serving.
    if (!b->retry.prepare_on_use && !prepare_all(b))
        return false;
    b->retry.reconnect_at = 0;
    b->retry.prepare_on_use = b->settings.request_timeout_ms > 0;
    return true;
}
