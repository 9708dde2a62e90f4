#include "backend/backend.h"
#include "support/compat.h"
#include "support/log.h"
#include "support/util.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

backend *current_backend;

constexpr const char *const backend_config_keys[] = {
    "conninfo",
    "query_alias",
    "query_domain",
    "query_credentials",
    "query_netaddr",
    "query_userinfo",
    "query_source",
    "query_mailaddr",
    "query_addrname",
    "query_mailaddrmap",
    "fetch_source",
    "fetch_source_expire",
    "fetch_source_refresh",
    "request_timeout_ms",
    "reconnect_delay_ms",
    "cache_size",
    "cache_ttl",
    "cache_negative_ttl",
    "cache_stale",
    "cache_services",
    "cache_listen",
    "prepared_statements",
    "log_repeat_window",
    nullptr,
};

namespace {

// Keys are lower case; a key typed in another case is as near as can be.
bool same_letter(char x, char y) {
    return tolower(static_cast<unsigned char>(x)) == tolower(static_cast<unsigned char>(y));
}

// Edit distance of a and b, letters compared regardless of case, or more
// than `limit` once that is certain.
size_t edit_distance(std::string_view a, std::string_view b, size_t limit) {
    if (a.size() > b.size() + limit || b.size() > a.size() + limit)
        return limit + 1;
    // Keys are short; longer texts are never near a key anyway.
    constexpr size_t max_len = 64;
    if (b.size() >= max_len)
        return limit + 1;
    size_t row[max_len + 1];
    for (size_t j = 0; j <= b.size(); j++)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); i++) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); j++) {
            size_t above = row[j];
            row[j] =
                std::min({row[j] + 1, row[j - 1] + 1, diagonal + !same_letter(a[i - 1], b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

struct file_closer {
    void operator()(FILE *f) const noexcept { fclose(f); }
};

// Opens path for reading only when it is a regular file: a FIFO would hold
// the request until some writer came, a device or directory never reads as
// a configuration. Opening does not wait either way. Null after a warning.
FILE *open_regular(const char *path) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        warn_sys("warn: \"%s\"", path);
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        warn_msg("warn: \"%s\": not a regular file; give korvane a plain file and replace it "
                 "by rename",
                 path);
        close(fd);
        return nullptr;
    }
    FILE *f = fdopen(fd, "r");
    if (f == nullptr) {
        warn_sys("warn: \"%s\"", path);
        close(fd);
    }
    return f;
}

bool is_space(char c) {
    return isspace(static_cast<unsigned char>(c)) != 0;
}

// Parses one setting line into b->config. False after a warning.
bool load_line(backend *b, char *line) {
    const char *key = nullptr;
    char *value = nullptr;
    int r = backend_split_line(line, &key, &value);
    if (r == 0)
        return true;
    if (r < 0) {
        warn_msg("warn: missing value for key %s", key);
        return false;
    }
    if (dict_has(&b->config, key)) {
        warn_msg("warn: duplicate key %s", key);
        return false;
    }
    char *copy = strdup(value);
    if (copy == nullptr) {
        warn_sys("warn: strdup");
        return false;
    }
    dict_set(&b->config, key, copy);
    return true;
}

// Reads an optional 0..INT32_MAX setting into *out. False after a warning.
// The numbers a file may set, each 0 to INT32_MAX, in the order they are
// judged: the expire setting always first.
struct number_setting {
    const char *key;
    int32_t backend::*i32;
    uint64_t backend::*u64;
};
constexpr number_setting number_settings[] = {
    {"fetch_source_expire", &backend::source_expire, nullptr},
    {"fetch_source_refresh", nullptr, &backend::source_refresh},
    {"request_timeout_ms", &backend::request_timeout_ms, nullptr},
    {"reconnect_delay_ms", &backend::reconnect_delay_ms, nullptr},
    {"cache_size", &backend::cache_size, nullptr},
    {"cache_ttl", &backend::cache_ttl, nullptr},
    {"cache_negative_ttl", &backend::cache_negative_ttl, nullptr},
    {"cache_stale", &backend::cache_stale, nullptr},
    {"log_repeat_window", &backend::log_repeat_window, nullptr},
};

template <typename T> bool load_number(backend *b, const char *key, T *out) {
    auto *text = static_cast<const char *>(dict_find(&b->config, key));
    if (text == nullptr)
        return true;
    const char *error = nullptr;
    long long n = strtonum(text, 0, INT32_MAX, &error);
    if (error != nullptr) {
        warn_msg("warn: bad value for %s: %s", key, error);
        return false;
    }
    *out = static_cast<T>(n);
    return true;
}

// Reads prepared_statements: "on" (the default) or "off".
bool load_prepared(backend *b) {
    auto *text = static_cast<const char *>(dict_find(&b->config, "prepared_statements"));
    if (text == nullptr || strcmp(text, "on") == 0)
        return true;
    if (strcmp(text, "off") != 0) {
        warn_msg("warn: bad value for prepared_statements: %s (on or off)", text);
        return false;
    }
    b->unprepared = true;
    return true;
}

// Reads cache_services: service names separated by commas or white space.
bool load_services(backend *b) {
    auto *text = static_cast<const char *>(dict_find(&b->config, "cache_services"));
    if (text == nullptr)
        return true;
    b->cache_services = 0;
    std::string_view rest = text;
    while (!rest.empty()) {
        size_t start = rest.find_first_not_of(", \t");
        if (start == std::string_view::npos)
            break;
        rest.remove_prefix(start);
        std::string_view name = rest.substr(0, rest.find_first_of(", \t"));
        rest.remove_prefix(name.size());
        service_kind svc = service_from_name(std::string(name).c_str());
        if (svc == 0) {
            warn_msg("warn: bad value for cache_services: unknown service %.*s",
                     static_cast<int>(name.size()), name.data());
            return false;
        }
        b->cache_services |= svc;
    }
    return true;
}

} // namespace

const char *backend_judge_value(const char *key, const char *value) {
    if (strcmp(key, "cache_listen") == 0) {
        // korvane quotes the channel, SQL's NOTIFY folds an unquoted one to
        // lower case: a name with capitals would never hear a trigger.
        for (const char *c = value; *c != '\0'; c++)
            if (isupper(static_cast<unsigned char>(*c)))
                return "upper case; NOTIFY folds names to lower case, so use lower case";
        if (strlen(value) > 63)
            return "longer than 63 bytes, which PostgreSQL cuts channel names to";
    }
    return nullptr;
}

int backend_split_line(char *line, const char **key, char **value) {
    char *text = trim_spaces(line);
    if (*text == '\0' || *text == '#')
        return 0;
    char *rest = text;
    *key = strsep(&rest, " \t:");
    if (rest != nullptr) {
        // A ":" counts as separator only when white space follows it, so a
        // value may itself begin with a colon.
        while (*rest != '\0' && (is_space(*rest) || (*rest == ':' && is_space(rest[1]))))
            rest++;
    }
    if (rest == nullptr || *rest == '\0')
        return -1;
    *value = rest;
    return 1;
}

bool backend_number_key(const char *key) {
    for (const number_setting &n : number_settings)
        if (strcmp(n.key, key) == 0)
            return true;
    return false;
}

bool backend_known_key(const char *key) {
    for (const char *const *k = backend_config_keys; *k != nullptr; k++)
        if (strcmp(*k, key) == 0)
            return true;
    return false;
}

const char *backend_suggest_key(const char *key) {
    // "conninfo=host=..." is a known key glued to its value.
    const char *eq = strchr(key, '=');
    std::string_view head = eq != nullptr ? std::string_view(key, eq - key) : key;
    const char *best = nullptr;
    size_t best_distance = 3;
    for (const char *const *k = backend_config_keys; *k != nullptr; k++) {
        size_t d = edit_distance(head, *k, 2);
        if (d < best_distance) {
            best = *k;
            best_distance = d;
        }
    }
    return best;
}

void backend_deleter::operator()(backend *b) const noexcept {
    backend_free(b);
}

backend *backend_load(const char *path) {
    backend_ptr b{static_cast<backend *>(calloc(1, sizeof(backend)))};
    if (!b) {
        warn_sys("warn: calloc");
        return nullptr;
    }
    b->source_refresh = 1000;
    b->source_expire = 60;
    b->cache_ttl = 60;
    b->cache_negative_ttl = 10;
    b->cache_services = SVC_ALL;

    std::unique_ptr<FILE, file_closer> file{open_regular(path)};
    if (!file)
        return nullptr;

    char *line = nullptr;
    size_t cap = 0;
    ssize_t n;
    bool ok = true;
    // A read error ends the file as its end does; what was read is judged.
    while (ok && (n = getline(&line, &cap, file.get())) != -1) {
        if (n > 0 && line[n - 1] == '\n')
            line[n - 1] = '\0';
        ok = load_line(b.get(), line);
    }
    free(line);
    if (!ok)
        return nullptr;

    // Unknown keys stay stored and unused, but a typo must not silently
    // turn a service off.
    dict_entry *cursor = nullptr;
    const char *key = nullptr;
    while (dict_next(&b->config, &cursor, &key, nullptr) != 0) {
        if (backend_known_key(key))
            continue;
        if (const char *near = backend_suggest_key(key); near != nullptr)
            warn_msg("warn: unknown key %s ignored; did you mean %s?", key, near);
        else
            warn_msg("warn: unknown key %s ignored", key);
    }

    for (const number_setting &setting : number_settings) {
        backend *r = b.get();
        if (setting.i32 != nullptr ? !load_number(r, setting.key, &(r->*setting.i32))
                                   : !load_number(r, setting.key, &(r->*setting.u64)))
            return nullptr;
    }
    if (!load_services(b.get()) || !load_prepared(b.get()))
        return nullptr;
    for (const char *const *k = backend_config_keys; *k != nullptr; k++) {
        auto *text = static_cast<const char *>(dict_find(&b->config, *k));
        if (const char *why = text != nullptr ? backend_judge_value(*k, text) : nullptr) {
            warn_msg("warn: bad value for %s: %s (%s)", *k, text, why);
            return nullptr;
        }
    }
    return b.release();
}

void backend_close(backend *b) {
    for (char *&name : b->statements) {
        free(name);
        name = nullptr;
    }
    free(b->pending_listen);
    b->pending_listen = nullptr;
    b->lookups.ping_pending = false;
    if (b->conn != nullptr) {
        cache_drain(b);
        exec_finish(b->conn);
        b->conn = nullptr;
    }
}

void backend_free(backend *b) {
    backend_close(b);
    cache_free(b);
    void *value = nullptr;
    while (dict_take_root(&b->config, &value))
        free(value);
    while (dict_take_root(&b->sources, nullptr))
        ;
    free(b);
}
