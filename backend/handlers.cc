#include "backend/backend.h"
#include "support/compat.h"
#include "support/log.h"
#include "support/stats.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

const char *config_path;

void backend_begin_request(backend *b) {
    exec_begin(b->request_timeout_ms);
    b->retry.unavailable = false;
    listen_begin_request(b);
}

namespace {
// What the sandbox granted when it was entered; null while not sandboxed.
sandbox_grants *granted;
} // namespace

void backend_enter_sandbox() {
    if (!current_backend->sandbox || granted != nullptr)
        return;
    granted = new sandbox_grants;
    backend_sandbox_grants(current_backend, config_path, granted);
    resolve_snapshot();
    (void)sandbox_enter(*granted);
}

namespace {

bool ensure_connected() {
    return current_backend->conn != nullptr || backend_connect(current_backend) != 0;
}

// What ask returns when the database answered, with the rows in res; it
// differs from every handler result and from CACHE_ASK.
constexpr int32_t ASKED = -3;

// What check and lookup share: the request starts, a fresh cache entry
// answers it (1 or 0), or else the service's query runs, connecting first
// if need be (ASKED, with the rows in res). When the database cannot answer,
// an entry within its TTL plus cache_stale answers instead; a statement
// error on a good connection is no outage and stays -1.
int32_t ask(backend *b, service_kind svc, const char *key, bool lookup, char *buf, uint64_t size,
            pg_result_ptr &res, cache_ticket *ticket) {
    backend_begin_request(b);
    if (!backend_configured(b, service_slot(svc)))
        return -1;
    bool cached = cache_enabled(b, svc);
    if (cached) {
        if (int32_t r = cache_answer(b, svc, key, lookup, buf, size, ticket); r >= 0)
            return r;
    }
    if (ensure_connected())
        res.reset(backend_query(key, static_cast<int32_t>(svc)));
    if (res)
        return ASKED;
    if (!b->retry.unavailable || !cached)
        return -1;
    return cache_fallback(b, svc, key, lookup, buf, size);
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

int32_t format_value(service_kind svc, const PGresult *res, char *buf, uint64_t size) {
    int n;
    switch (svc) {
    case SVC_ALIAS:
    case SVC_MAILADDRMAP:
        return join_rows(res, buf, size);
    case SVC_DOMAIN:
    case SVC_NETADDR:
    case SVC_SOURCE:
    case SVC_MAILADDR:
    case SVC_ADDRNAME:
        if (strlcpy(buf, PQgetvalue(res, 0, 0), size) >= size)
            return too_large("warn: result too large");
        return 1;
    case SVC_CREDENTIALS:
        n = snprintf(buf, size, "%s:%s", PQgetvalue(res, 0, 0), PQgetvalue(res, 0, 1));
        break;
    case SVC_USERINFO:
        n = snprintf(buf, size, "%s:%s:%s", PQgetvalue(res, 0, 0), PQgetvalue(res, 0, 1),
                     PQgetvalue(res, 0, 2));
        break;
    default:
        warn_msg("warn: unknown service %d", static_cast<int>(svc));
        return -1;
    }
    if (n < 0 || static_cast<uint64_t>(n) >= size)
        return too_large("warn: result too large");
    return 1;
}

// A sandboxed korvane cannot reach what its sandbox did not grant: a new
// configuration that needs more is refused rather than failing later.
bool within_sandbox(backend *fresh) {
    if (granted == nullptr)
        return true;
    sandbox_grants wanted;
    backend_sandbox_grants(fresh, config_path, &wanted);
    std::string missing;
    for (const auto *paths : {&wanted.read_paths, &wanted.optional_reads})
        for (const std::string &p : *paths)
            if (!sandbox_covers(granted->read_paths, p) &&
                !sandbox_covers(granted->optional_reads, p))
                missing = p;
    for (const std::string &p : wanted.write_paths)
        if (!sandbox_covers(granted->write_paths, p))
            missing = "writing " + p;
    for (int port : wanted.tcp_ports)
        if (std::find(granted->tcp_ports.begin(), granted->tcp_ports.end(), port) ==
            granted->tcp_ports.end())
            missing = "TCP port " + std::to_string(port);
    if (missing.empty())
        return true;
    warn_msg("warn: the new configuration needs %s, which the sandbox did not grant; restart "
             "korvane to use it",
             missing.c_str());
    return false;
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
    (void)backend_lint(config_path, false, out);
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
    // The file is read under the deadline of the configuration in service;
    // only a regular file is read, so that cannot wait on a writer.
    backend_begin_request(current_backend);
    backend_ptr fresh{backend_load(config_path)};
    if (!fresh)
        say_problems();
    if (!fresh || !within_sandbox(fresh.get()))
        return update_rejected();
    // The new configuration's deadline bounds the connection it makes.
    backend_begin_request(fresh.get());
    if (backend_connect(fresh.get()) == 0)
        return update_rejected();
    backend_free(current_backend);
    current_backend = fresh.release();
    backend_start_logging(current_backend);
    // Its cache starts cold: the old one's entries went with it.
    info_msg("info: update: the configuration in %s serves now", config_path);
    return 1;
}

void backend_start_logging(backend *b) {
    log_set_repeat_window(b->log_repeat_window);
    stats_configure(static_cast<const char *>(dict_find(&b->config, "stats_file")),
                    b->stats_interval, getprogname());
}

int32_t backend_check(service_kind svc, dict *, const char *key) {
    backend *b = current_backend;
    pg_result_ptr res;
    cache_ticket ticket{};
    if (int32_t r = ask(b, svc, key, false, nullptr, 0, res, &ticket); r != ASKED)
        return r;
    int32_t r = PQntuples(res.get()) != 0 ? 1 : 0;
    if (cache_enabled(b, svc))
        cache_store(b, svc, key, r, nullptr, &ticket);
    return r;
}

int32_t backend_lookup(service_kind svc, dict *, const char *key, char *buf, uint64_t size) {
    backend *b = current_backend;
    pg_result_ptr res;
    cache_ticket ticket{};
    if (int32_t r = ask(b, svc, key, true, buf, size, res, &ticket); r != ASKED)
        return r;
    bool cached = cache_enabled(b, svc);

    // Reading a column the result does not have would hand a null pointer
    // to the string routines; a query that returns too few columns is a
    // configuration fault whatever rows it matches.
    int slot = service_slot(svc);
    if (slot >= 0 && PQnfields(res.get()) < query_specs[slot].columns) {
        warn_msg("warn: lookup %s: query returns %d columns, the answer needs %d",
                 service_to_name(svc), PQnfields(res.get()), query_specs[slot].columns);
        return -1;
    }
    if (PQntuples(res.get()) == 0) {
        if (cached)
            cache_store(b, svc, key, 0, "", &ticket);
        return 0;
    }
    int32_t r = format_value(svc, res.get(), buf, size);
    // A line feed would end the reply early and let the rest of the value
    // reach the host as a reply line of its own.
    if (r == 1 && strchr(buf, '\n') != nullptr) {
        warn_msg("warn: lookup %s: value holds a line feed", service_to_name(svc));
        return -1;
    }
    if (r == 1 && cached)
        cache_store(b, svc, key, 1, buf, &ticket);
    return r;
}

int backend_idle_fd(int *timeout_ms, short *events) {
    return listen_idle_fd(current_backend, timeout_ms, events);
}

void backend_idle(bool ready) {
    if (!ready) {
        listen_seen_quiet(current_backend);
        return;
    }
    // The poll and the sign of life run under the deadline of a request.
    backend_begin_request(current_backend);
    listen_step(current_backend);
}
