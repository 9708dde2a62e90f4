// The backend record's life: loaded from a file, connected, closed and
// freed; see backend.h.
#include "backend/backend.h"

#include "support/log.h"
#include "support/stats.h"

#include <cstdlib>
#include <cstring>
#include <string>

backend *current_backend;
const char *config_path;

namespace {

// Keeps one line's setting in b->config; false after the warning that
// ends the load.
bool keep_line(backend *b, const config_line &line) {
    switch (line.finding) {
    case CONFIG_BLANK:
        return true;
    case CONFIG_MISSING_VALUE:
        warn_msg("warn: missing value for key %s", config_shown_key(line.key).c_str());
        return false;
    case CONFIG_DUPLICATE:
        warn_msg("warn: duplicate key %s", config_shown_key(line.key).c_str());
        return false;
    case CONFIG_SETTING:
        break;
    }
    char *copy = strdup(line.value);
    if (copy == nullptr) {
        warn_sys("warn: strdup");
        return false;
    }
    dict_set(&b->config, line.key, copy);
    if (strcmp(line.key, "conninfo") == 0)
        b->settings.conninfo_line = line.number;
    return true;
}

// Reads every line of the file at path into b; false after a warning.
bool read_file(backend *b, const char *path) {
    config_reader r;
    std::string why;
    if (!config_open(&r, path, &why)) {
        warn_msg("warn: \"%s\": %s", path, why.c_str());
        return false;
    }
    config_line line;
    bool ok = true;
    while (ok && config_next(&r, &line))
        ok = keep_line(b, line);
    config_close(&r);
    return ok;
}

// Unknown keys stay stored and unused, but a typo must not silently turn
// a service off: each draws a warning, with the key it may have meant.
void warn_unknown_keys(backend *b) {
    dict_entry *cursor = nullptr;
    const char *key = nullptr;
    while (dict_next(&b->config, &cursor, &key, nullptr) != 0)
        if (config_rule_of(key) == nullptr)
            warn_msg("warn: unknown key %s ignored%s", config_shown_key(key).c_str(),
                     config_unknown_advice(key).c_str());
}

// What a conninfo of the file (key: conninfo or cache_listen_conninfo)
// risks: a server it does not verify, a password that every user can read
// in the file at path, a password file libpq ignores (said once per file).
void warn_exposed(const char *path, const char *key, const char *conninfo,
                  std::string *passfile_said) {
    if (conninfo == nullptr)
        return;
    if (std::string host = config_unverified_host(conninfo); !host.empty())
        warn_msg("warn: %s reaches %s, %s", key, host.c_str(), CONFIG_VERIFY_ADVICE);
    if (int mode = config_exposed_password(path, conninfo); mode >= 0)
        warn_msg("warn: \"%s\" holds a password in %s and is readable by every user "
                 "(mode %04o); %s",
                 path, key, mode, CONFIG_MODE_ADVICE);
    if (std::string problem = config_passfile_problem(conninfo);
        !problem.empty() && problem != *passfile_said) {
        warn_msg("warn: %s", problem.c_str());
        *passfile_said = problem;
    }
}

// Judges every known key's value and applies it; false after a warning.
bool apply_values(backend *b) {
    for (const config_rule *k = config_rules; k->name != nullptr; k++) {
        auto *text = static_cast<const char *>(dict_find(&b->config, k->name));
        if (text == nullptr)
            continue;
        if (std::string why = config_judge(*k, text); !why.empty()) {
            warn_msg("warn: bad value for %s: %s", k->name, why.c_str());
            return false;
        }
        config_apply(&b->settings, *k, text);
    }
    return true;
}

} // namespace

backend *backend_load(const char *path) {
    backend_ptr b{static_cast<backend *>(calloc(1, sizeof(backend)))};
    if (!b) {
        warn_sys("warn: calloc");
        return nullptr;
    }
    b->settings = config_defaults();
    if (!read_file(b.get(), path))
        return nullptr;
    warn_unknown_keys(b.get());
    std::string passfile_said;
    for (const char *key : {"conninfo", "cache_listen_conninfo"})
        warn_exposed(path, key, static_cast<const char *>(dict_find(&b->config, key)),
                     &passfile_said);
    if (!apply_values(b.get()))
        return nullptr;
    return b.release();
}

int32_t backend_connect(backend *b) {
    if (connect_in_quiet_time(b))
        return 0;
    debug_msg("debug: (re)connecting");
    stats_count(STATS_CONNECT_ATTEMPTS);
    backend_close(b);
    // The listener starts with the statements' connection, so that their
    // round trips overlap; nothing waits for its LISTEN: until it listens,
    // entries simply do not answer as fresh.
    listen_connect(b);
    if (!connect_open(b))
        return connect_failed(b);
    listen_connected(b);
    if (!connect_prepare(b))
        return connect_failed(b);
    debug_msg("debug: connected");
    return 1;
}

void backend_close(backend *b) {
    listen_close(b);
    connect_release(b);
}

void backend_free(backend *b) {
    backend_close(b);
    cache_free(b);
    fetch_free(b);
    void *value = nullptr;
    while (dict_take_root(&b->config, &value))
        free(value);
    free(b);
}
