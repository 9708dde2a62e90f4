// The request handlers, the one place a request begins, and the idle
// handlers; see handlers.h.
#include "backend/handlers.h"

#include "backend/backend.h"
#include "backend/grants.h"
#include "backend/lint.h"
#include "proto/proto.h"
#include "support/compat.h"
#include "support/log.h"
#include "support/stats.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

void backend_begin_request(backend *b) {
    b->request = exec_begin(b->settings.request_timeout_ms);
    connect_begin_request(b);
    listen_begin_request(b);
}

namespace {

// What ask found: an answer from the cache, the database's rows, or an
// error.
enum ask_outcome { ASK_FOUND, ASK_NOT_FOUND, ASK_ROWS, ASK_ERROR };

ask_outcome from_cache(cache_result r) {
    return r == CACHE_FOUND ? ASK_FOUND : r == CACHE_NOT_FOUND ? ASK_NOT_FOUND : ASK_ERROR;
}

int32_t handler_result(ask_outcome r) {
    return r == ASK_FOUND ? 1 : r == ASK_NOT_FOUND ? 0 : -1;
}

// What check and lookup share: the request starts, a fresh cache entry
// answers it, or else the service's query runs, connecting first if need
// be (ASK_ROWS, with the rows in res and *keep saying whether the cache
// may keep them: not what a standby said before it had replayed a change
// the listener heard of). When the database cannot answer, an entry within
// its TTL plus cache_stale answers instead; a statement error on a good
// connection is no outage and stays an error.
ask_outcome ask(backend *b, service_kind svc, const char *key, bool lookup, char *buf,
                uint64_t size, pg_result_ptr &res, cache_ticket *ticket, bool *keep) {
    backend_begin_request(b);
    int slot = service_slot(svc);
    if (!connect_configured(b, slot))
        return ASK_ERROR;
    bool cached = cache_enabled(b, svc);
    if (cached) {
        // Only an entry that could answer is worth reading the listener
        // for: a miss asks the database anyway.
        bool fresh = cache_could_answer(b, svc, key, lookup) && listen_fresh(b);
        if (cache_result r = cache_answer(b, svc, key, lookup, fresh, buf, size, ticket);
            r != CACHE_MISS)
            return from_cache(r);
    }
    // Only where notifications keep entries true can a standby's lag make
    // one wrong; there its replay position comes with the answer.
    uint64_t replayed = REPLAY_CURRENT;
    bool coherent = cached && listen_wanted(b);
    if (b->conn != nullptr || backend_connect(b) != 0)
        res.reset(backend_run(b, slot, key, "korvane: ", coherent ? &replayed : nullptr));
    if (res) {
        *keep = cached && listen_covers(b, replayed);
        return ASK_ROWS;
    }
    if (!connect_unavailable(b) || !cached)
        return ASK_ERROR;
    return from_cache(cache_fallback(b, svc, key, lookup, buf, size));
}

int32_t too_large(const char *what) {
    warn_msg("%s", what);
    return -1;
}

int32_t join_rows(const PGresult *res, char *buf, uint64_t size) {
    memset(buf, 0, size);
    for (int row = 0; row < PQntuples(res); row++) {
        if (buf[0] != '\0' && strlcat(buf, ", ", size) >= size)
            return too_large("warn: result too large");
        if (strlcat(buf, PQgetvalue(res, row, 0), size) >= size)
            return too_large("warn: esult too large");
    }
    return 1;
}

// The reply value of the service in slot, as its row in the service table
// builds it: column 0 of every row joined, or the first row's columns
// joined with ":".
int32_t format_value(int slot, const PGresult *res, char *buf, uint64_t size) {
    const query_spec &row = query_specs[slot];
    if (row.joined)
        return join_rows(res, buf, size);
    if (strlcpy(buf, PQgetvalue(res, 0, 0), size) >= size)
        return too_large("warn: result too large");
    for (int column = 1; column < row.columns; column++)
        if (strlcat(buf, ":", size) >= size ||
            strlcat(buf, PQgetvalue(res, 0, column), size) >= size)
            return too_large("warn: result too large");
    return 1;
}

int32_t update_rejected() {
    warn_msg("warn: update rejected; the old configuration keeps serving");
    return -1;
}

// A file the update could not load: every problem the checker finds in it,
// each with its line and what would be valid, after the loader's own words.
void say_problems() {
    char *text = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    if (out == nullptr)
        return;
    (void)lint_file(config_path, false, out);
    fclose(out);
    std::string_view rest(text, size);
    std::string summary = std::string(config_path) + ": ";
    while (!rest.empty()) {
        std::string line(rest.substr(0, rest.find('\n')));
        rest.remove_prefix(std::min(rest.size(), line.size() + 1));
        if (line.find(": warning: ") == std::string::npos &&
            line.find(" note: ") == std::string::npos && line.rfind(summary, 0) != 0)
            warn_msg("warn: %s", line.c_str());
    }
    free(text);
}

} // namespace

int32_t backend_update() {
    backend *old = current_backend;
    // The file is read under the deadline of the configuration in service;
    // only a regular file is read, so that cannot wait on a writer.
    backend_begin_request(old);
    backend_ptr fresh{backend_load(config_path)};
    if (!fresh)
        say_problems();
    // A sandboxed korvane cannot reach what its sandbox did not grant.
    if (!fresh || !grants_suffice(fresh.get(), config_path))
        return update_rejected();
    // The new configuration's deadline bounds the connection it makes.
    backend_begin_request(fresh.get());
    if (backend_connect(fresh.get()) == 0)
        return update_rejected();
    backend_free(old);
    current_backend = fresh.release();
    backend_set_outputs(current_backend);
    // Its cache starts cold: the old one's entries went with it.
    info_msg("info: update: the configuration in %s serves now", config_path);
    return 1;
}

void backend_set_outputs(backend *b) {
    log_set_repeat_window(b->settings.log_repeat_window);
    stats_configure(static_cast<const char *>(dict_find(&b->config, "stats_file")),
                    b->settings.stats_interval, getprogname());
}

int32_t backend_check(service_kind svc, dict *, const char *key) {
    backend *b = current_backend;
    pg_result_ptr res;
    cache_ticket ticket{};
    bool keep = false;
    if (ask_outcome r = ask(b, svc, key, false, nullptr, 0, res, &ticket, &keep); r != ASK_ROWS)
        return handler_result(r);
    bool found = PQntuples(res.get()) != 0;
    if (keep)
        cache_store(b, svc, key, found, nullptr, &ticket);
    return found ? 1 : 0;
}

int32_t backend_lookup(service_kind svc, dict *, const char *key, char *buf, uint64_t size) {
    backend *b = current_backend;
    pg_result_ptr res;
    cache_ticket ticket{};
    bool keep = false;
    if (ask_outcome r = ask(b, svc, key, true, buf, size, res, &ticket, &keep); r != ASK_ROWS)
        return handler_result(r);

    // Reading a column the result does not have would hand a null pointer
    // to the string routines; a query that returns too few columns is a
    // configuration fault whatever rows it matches.
    int slot = service_slot(svc);
    if (PQnfields(res.get()) < query_specs[slot].columns) {
        warn_msg("warn: lookup %s: query returns %d columns, the answer needs %d",
                 service_to_name(svc), PQnfields(res.get()), query_specs[slot].columns);
        return -1;
    }
    if (PQntuples(res.get()) == 0) {
        if (keep)
            cache_store(b, svc, key, false, "", &ticket);
        return 0;
    }
    int32_t r = format_value(slot, res.get(), buf, size);
    // A line feed would end the reply early and let the rest of the value
    // reach the host as a reply line of its own.
    if (r == 1 && strchr(buf, '\n') != nullptr) {
        warn_msg("warn: lookup %s: value holds a line feed", service_to_name(svc));
        return -1;
    }
    if (r == 1 && keep)
        cache_store(b, svc, key, true, buf, &ticket);
    return r;
}

int backend_idle_fd(int *timeout_ms, short *events) {
    return listen_idle_fd(current_backend, timeout_ms, events);
}

void backend_idle(bool ready) {
    backend *b = current_backend;
    if (!ready) {
        listen_seen_quiet(b);
        return;
    }
    // The poll and the sign of life run under the deadline of a request.
    backend_begin_request(b);
    listen_step(b, true);
}
