// The configuration: its reader, the key table and validator, and the
// settings the values give; see config.h.
#include "backend/config.h"

#include "backend/exec.h"
#include "proto/proto.h"
#include "support/compat.h"
#include "support/sandbox.h"
#include "support/util.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <libpq-fe.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

// Every key korvane reads, in the order the loader judges them: the
// expire setting first among the numbers, the numbers before the rest.
constexpr config_rule config_rules[] = {
    {"conninfo", CONF_TEXT, nullptr, nullptr},
    {"query_alias", CONF_QUERY, nullptr, nullptr},
    {"query_domain", CONF_QUERY, nullptr, nullptr},
    {"query_credentials", CONF_QUERY, nullptr, nullptr},
    {"query_netaddr", CONF_QUERY, nullptr, nullptr},
    {"query_userinfo", CONF_QUERY, nullptr, nullptr},
    {"query_source", CONF_QUERY, nullptr, nullptr},
    {"query_mailaddr", CONF_QUERY, nullptr, nullptr},
    {"query_addrname", CONF_QUERY, nullptr, nullptr},
    {"query_mailaddrmap", CONF_QUERY, nullptr, nullptr},
    {"fetch_source", CONF_QUERY, nullptr, nullptr},
    {"fetch_source_expire", CONF_NUMBER, [](config_settings &s) { return &s.source_expire; },
     nullptr},
    {"fetch_source_refresh", CONF_NUMBER, nullptr,
     [](config_settings &s) { return &s.source_refresh; }},
    {"request_timeout_ms", CONF_NUMBER, [](config_settings &s) { return &s.request_timeout_ms; },
     nullptr},
    {"reconnect_delay_ms", CONF_NUMBER, [](config_settings &s) { return &s.reconnect_delay_ms; },
     nullptr},
    {"cache_size", CONF_NUMBER, [](config_settings &s) { return &s.cache_size; }, nullptr},
    {"cache_ttl", CONF_NUMBER, [](config_settings &s) { return &s.cache_ttl; }, nullptr},
    {"cache_negative_ttl", CONF_NUMBER, [](config_settings &s) { return &s.cache_negative_ttl; },
     nullptr},
    {"cache_stale", CONF_NUMBER, [](config_settings &s) { return &s.cache_stale; }, nullptr},
    {"log_repeat_window", CONF_NUMBER, [](config_settings &s) { return &s.log_repeat_window; },
     nullptr},
    {"stats_interval", CONF_NUMBER, [](config_settings &s) { return &s.stats_interval; }, nullptr,
     1},
    {"cache_services", CONF_SERVICES, nullptr, nullptr},
    {"prepared_statements", CONF_ON_OFF, nullptr, nullptr},
    {"sandbox", CONF_ON_OFF, nullptr, nullptr},
    {"cache_listen", CONF_CHANNEL, nullptr, nullptr},
    {"cache_listen_conninfo", CONF_CONNINFO, nullptr, nullptr},
    {"stats_file", CONF_PATH, nullptr, nullptr},
    {nullptr, CONF_TEXT, nullptr, nullptr},
};

// The statements' keys are the service table's, in its order.
static_assert([] {
    for (int slot = 0; slot < STATEMENT_SLOTS; slot++)
        if (std::string_view(config_rules[1 + slot].name) != query_specs[slot].config_key ||
            config_rules[1 + slot].kind != CONF_QUERY)
            return false;
    return true;
}());

config_settings config_defaults() {
    config_settings s{};
    s.source_refresh = 1000;
    s.source_expire = 60;
    s.cache_ttl = 60;
    s.cache_negative_ttl = 10;
    s.cache_services = SVC_ALL;
    s.stats_interval = 10;
    return s;
}

namespace {

bool is_space(char c) {
    return isspace(static_cast<unsigned char>(c)) != 0;
}

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

// The services of a cache_services value (names separated by commas or
// white space) into *out; the first unknown name otherwise.
bool parse_services(std::string_view rest, service_kind *out, std::string *unknown) {
    *out = 0;
    while (!rest.empty()) {
        size_t start = rest.find_first_not_of(", \t");
        if (start == std::string_view::npos)
            break;
        rest.remove_prefix(start);
        std::string_view name = rest.substr(0, rest.find_first_of(", \t"));
        rest.remove_prefix(name.size());
        service_kind svc = service_from_name(std::string(name).c_str());
        if (svc == 0) {
            *unknown = name;
            return false;
        }
        *out |= svc;
    }
    return true;
}

} // namespace

bool config_open(config_reader *r, const char *path, std::string *why) {
    *r = config_reader{};
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *why = strerror(errno);
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *why = "not a regular file; give korvane a plain file and replace it by rename";
        close(fd);
        return false;
    }
    r->file = fdopen(fd, "r");
    if (r->file == nullptr) {
        *why = strerror(errno);
        close(fd);
        return false;
    }
    return true;
}

bool config_next(config_reader *r, config_line *line) {
    ssize_t n = getline(&r->buf, &r->cap, r->file);
    if (n == -1)
        return false;
    if (n > 0 && r->buf[n - 1] == '\n')
        r->buf[n - 1] = '\0';
    *line = config_line{};
    line->number = ++r->number;
    line->finding = config_split_line(r->buf, &line->key, &line->value);
    if (line->finding != CONFIG_SETTING)
        return true;
    auto [at, fresh] = r->seen.emplace(line->key, line->number);
    if (!fresh) {
        line->finding = CONFIG_DUPLICATE;
        line->first_line = at->second;
    }
    return true;
}

void config_close(config_reader *r) {
    if (r->file != nullptr)
        fclose(r->file);
    free(r->buf);
    *r = config_reader{};
}

config_finding config_split_line(char *line, const char **key, char **value) {
    char *text = trim_spaces(line);
    if (*text == '\0' || *text == '#')
        return CONFIG_BLANK;
    char *rest = text;
    *key = strsep(&rest, " \t:");
    if (rest != nullptr) {
        // A ":" counts as separator only when white space follows it, so a
        // value may itself begin with a colon.
        while (*rest != '\0' && (is_space(*rest) || (*rest == ':' && is_space(rest[1]))))
            rest++;
    }
    if (rest == nullptr || *rest == '\0')
        return CONFIG_MISSING_VALUE;
    *value = rest;
    return CONFIG_SETTING;
}

const config_rule *config_rule_of(const char *name) {
    for (const config_rule *k = config_rules; k->name != nullptr; k++)
        if (strcmp(k->name, name) == 0)
            return k;
    return nullptr;
}

namespace {

// Why a metrics file may not go where path puts it: directly under / or
// in a directory of the system's own, which korvane would then be let
// write (the sandbox grants the file's directory); "" when it may.
std::string system_directory(const char *path) {
    std::string dir = sandbox_normal(path);
    dir = dir.substr(0, dir.rfind('/'));
    if (dir.empty())
        return std::string(path) + " (directly under /; give the metrics a directory of their own)";
    for (const char *own : {"/bin", "/boot", "/dev", "/etc", "/lib", "/lib32", "/lib64", "/libx32",
                            "/proc", "/root", "/run", "/sbin", "/sys", "/usr", "/var", "/var/lib"})
        if (dir == own)
            return std::string(path) + " (" + dir +
                   " is the system's own; give the metrics a directory of their own)";
    return "";
}

} // namespace

std::string config_judge(const config_rule &k, const char *text) {
    switch (k.kind) {
    case CONF_NUMBER: {
        const char *error = nullptr;
        (void)strtonum(text, k.min, INT32_MAX, &error);
        return error != nullptr ? error : "";
    }
    case CONF_ON_OFF:
        if (strcmp(text, "on") == 0 || strcmp(text, "off") == 0)
            return "";
        return std::string(text) + " (on or off)";
    case CONF_SERVICES: {
        service_kind svc = 0;
        std::string unknown;
        return parse_services(text, &svc, &unknown) ? "" : "unknown service " + unknown;
    }
    case CONF_CHANNEL:
        // korvane quotes the channel, SQL's NOTIFY folds an unquoted one to
        // lower case: a name with capitals would never hear a trigger.
        for (const char *c = text; *c != '\0'; c++)
            if (isupper(static_cast<unsigned char>(*c)))
                return std::string(text) +
                       " (upper case; NOTIFY folds names to lower case, so use lower case)";
        if (strlen(text) > 63)
            return std::string(text) +
                   " (longer than 63 bytes, which PostgreSQL cuts channel names to)";
        return "";
    case CONF_PATH:
        // Written from wherever korvane runs, and renamed over: a file by
        // its absolute path.
        if (text[0] != '/' || text[strlen(text) - 1] == '/')
            return std::string(text) + " (an absolute path to a file)";
        for (const char *c = strchr(text, '%'); c != nullptr; c = strchr(c + 2, '%'))
            if (c[1] != 't' && c[1] != '%')
                return std::string(text) + " (a % is followed by t, the table's name, or %)";
        return system_directory(text);
    case CONF_CONNINFO:
        if (std::string problem = config_conninfo_problem(text); !problem.empty())
            return problem + " (its text is not shown, as it may hold the password)";
        return "";
    case CONF_TEXT:
    case CONF_QUERY:
        return "";
    }
    return "";
}

void config_apply(config_settings *s, const config_rule &k, const char *text) {
    switch (k.kind) {
    case CONF_NUMBER: {
        auto n = strtonum(text, 0, INT32_MAX, nullptr);
        if (k.i32 != nullptr)
            *k.i32(*s) = static_cast<int32_t>(n);
        else
            *k.u64(*s) = static_cast<uint64_t>(n);
        break;
    }
    case CONF_ON_OFF:
        if (strcmp(k.name, "sandbox") == 0)
            s->sandbox = strcmp(text, "on") == 0;
        else
            s->unprepared = strcmp(text, "off") == 0;
        break;
    case CONF_SERVICES: {
        std::string unknown;
        (void)parse_services(text, &s->cache_services, &unknown);
        break;
    }
    default:
        break;
    }
}

std::string config_shown_key(const char *key) {
    // "conninfo=password=..." is a key glued to its value; what follows
    // the "=" may be the password.
    const char *eq = strchr(key, '=');
    return eq == nullptr ? key : std::string(key, eq) + "=...";
}

const char *config_suggest_key(const char *key) {
    // "conninfo=host=..." is a known key glued to its value.
    const char *eq = strchr(key, '=');
    std::string_view head = eq != nullptr ? std::string_view(key, eq - key) : key;
    const char *best = nullptr;
    size_t best_distance = 3;
    for (const config_rule *k = config_rules; k->name != nullptr; k++) {
        size_t d = edit_distance(head, k->name, 2);
        if (d < best_distance) {
            best = k->name;
            best_distance = d;
        }
    }
    return best;
}

std::string config_unknown_advice(const char *key) {
    if (strncmp(key, UTF8_BOM, 3) == 0)
        return "; the file starts with a UTF-8 byte-order mark, which becomes part of the first "
               "key: save it without one";
    if (const char *near = config_suggest_key(key); near != nullptr)
        return std::string("; did you mean ") + near + "?";
    return "";
}

std::string config_conninfo_problem(const char *conninfo) {
    char *error = nullptr;
    PQconninfoOption *options = PQconninfoParse(conninfo, &error);
    if (options != nullptr) {
        PQconninfoFree(options);
        return "";
    }
    // libpq quotes the text it could not parse, which may be the password:
    // say what is wrong in words of our own instead.
    std::string_view e = error != nullptr ? error : "";
    struct known {
        const char *libpq, *words;
    };
    constexpr known problems[] = {
        {"missing \"=\"", "a word without \"=\" (quote a value that holds spaces: key='a b')"},
        {"unterminated quoted string", "a quoted value that is not closed"},
        {"invalid connection option", "an option name libpq does not know"},
        {"invalid percent-encoded token", "a bad %-escape in the URI"},
        {"forbidden value %00", "a %00 in the URI"},
        {"invalid URI query parameter", "a URI parameter libpq does not know"},
        {"matching \"]\"", "an IPv6 address in the URI without its \"]\""},
    };
    std::string words = "libpq cannot parse it";
    for (const known &k : problems)
        if (e.find(k.libpq) != std::string_view::npos) {
            words = k.words;
            break;
        }
    if (error == nullptr)
        words = "out of memory";
    PQfreemem(error);
    return words;
}

std::string config_unverified_host(const char *conninfo) {
    PQconninfoOption *options = PQconninfoParse(conninfo, nullptr);
    if (options == nullptr)
        return "";
    std::string hosts, addrs, mode = "prefer";
    for (PQconninfoOption *o = options; o->keyword != nullptr; o++) {
        if (o->val == nullptr)
            continue;
        if (strcmp(o->keyword, "host") == 0)
            hosts = o->val;
        else if (strcmp(o->keyword, "hostaddr") == 0)
            addrs = o->val;
        else if (strcmp(o->keyword, "sslmode") == 0)
            mode = o->val;
    }
    PQconninfoFree(options);
    if (mode == "verify-full")
        return "";
    // The first host that leaves the machine: not a socket directory, not
    // loopback (by its hostaddr where one is given).
    std::string_view h = hosts, a = addrs;
    while (!h.empty() || !a.empty()) {
        std::string_view name = h.substr(0, h.find(','));
        std::string_view addr = a.substr(0, a.find(','));
        h.remove_prefix(std::min(h.size(), name.size() + 1));
        a.remove_prefix(std::min(a.size(), addr.size() + 1));
        std::string_view where = !addr.empty() ? addr : name;
        bool local = where.empty() || where[0] == '/' || where[0] == '@' || where == "localhost" ||
                     where == "::1" || where.rfind("127.", 0) == 0;
        if (!local)
            return std::string(name.empty() ? addr : name) + " with sslmode=" + mode;
    }
    return "";
}

int config_exposed_password(const char *path, const char *conninfo) {
    struct stat st {};
    if (stat(path, &st) != 0 || (st.st_mode & S_IROTH) == 0)
        return -1;
    std::string_view c = conninfo;
    bool uri = c.rfind("postgresql://", 0) == 0 || c.rfind("postgres://", 0) == 0;
    std::string_view authority = uri ? c.substr(c.find("//") + 2) : std::string_view{};
    authority = authority.substr(0, authority.find_first_of("/?"));
    bool uri_password =
        uri && authority.find('@') != std::string_view::npos &&
        authority.substr(0, authority.find('@')).find(':') != std::string_view::npos;
    if (c.find("password=") == std::string_view::npos && !uri_password)
        return -1;
    return static_cast<int>(st.st_mode & 07777);
}

std::string config_passfile_problem(const char *conninfo) {
    std::string file = exec_passfile(conninfo);
    struct stat st {};
    if (file.empty() || stat(file.c_str(), &st) != 0)
        return "";
    char mode[8];
    snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    // libpq's own rule, which it applies with a line on stderr only.
    if ((st.st_mode & 077) != 0)
        return "password file " + file + " has mode " + mode +
               ", which libpq ignores (it reads only one its owner alone can read): chmod 0600 "
               "it, owned by the user korvane runs as";
    if (access(file.c_str(), R_OK) != 0)
        return "password file " + file +
               " cannot be read by the user korvane runs as: " + strerror(errno) +
               "; give it to that user, mode 0600";
    return "";
}
