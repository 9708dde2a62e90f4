#include "backend/backend.h"
#include "support/compat.h"
#include "support/log.h"
#include "support/stats.h"
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

// Every key korvane reads, in the order the loader judges them: the
// expire setting first among the numbers, the numbers before the rest.
constexpr config_key backend_config_keys[] = {
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
    {"fetch_source_expire", CONF_NUMBER, [](backend &b) { return &b.sources.expire; }, nullptr},
    {"fetch_source_refresh", CONF_NUMBER, nullptr, [](backend &b) { return &b.sources.refresh; }},
    {"request_timeout_ms", CONF_NUMBER, [](backend &b) { return &b.request_timeout_ms; }, nullptr},
    {"reconnect_delay_ms", CONF_NUMBER, [](backend &b) { return &b.retry.delay_ms; }, nullptr},
    {"cache_size", CONF_NUMBER, [](backend &b) { return &b.lookups.size; }, nullptr},
    {"cache_ttl", CONF_NUMBER, [](backend &b) { return &b.lookups.ttl; }, nullptr},
    {"cache_negative_ttl", CONF_NUMBER, [](backend &b) { return &b.lookups.negative_ttl; },
     nullptr},
    {"cache_stale", CONF_NUMBER, [](backend &b) { return &b.lookups.stale; }, nullptr},
    {"log_repeat_window", CONF_NUMBER, [](backend &b) { return &b.log_repeat_window; }, nullptr},
    {"stats_interval", CONF_NUMBER, [](backend &b) { return &b.stats_interval; }, nullptr, 1},
    {"cache_services", CONF_SERVICES, nullptr, nullptr},
    {"prepared_statements", CONF_ON_OFF, nullptr, nullptr},
    {"sandbox", CONF_ON_OFF, nullptr, nullptr},
    {"cache_listen", CONF_CHANNEL, nullptr, nullptr},
    {"stats_file", CONF_PATH, nullptr, nullptr},
    {nullptr, CONF_TEXT, nullptr, nullptr},
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
    std::string why;
    FILE *f = backend_open_config(path, &why);
    if (f == nullptr)
        warn_msg("warn: \"%s\": %s", path, why.c_str());
    return f;
}

bool is_space(char c) {
    return isspace(static_cast<unsigned char>(c)) != 0;
}

// Parses one setting line into b->config. False after a warning.
bool load_line(backend *b, char *line, int32_t number) {
    const char *key = nullptr;
    char *value = nullptr;
    int r = backend_split_line(line, &key, &value);
    if (r == 0)
        return true;
    if (r < 0) {
        warn_msg("warn: missing value for key %s", backend_shown_key(key).c_str());
        return false;
    }
    if (dict_has(&b->config, key)) {
        warn_msg("warn: duplicate key %s", backend_shown_key(key).c_str());
        return false;
    }
    char *copy = strdup(value);
    if (copy == nullptr) {
        warn_sys("warn: strdup");
        return false;
    }
    dict_set(&b->config, key, copy);
    if (strcmp(key, "conninfo") == 0)
        b->conninfo_line = number;
    return true;
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

// Puts a value that passed judgement into b.
void apply(backend *b, const config_key &k, const char *text) {
    switch (k.kind) {
    case CONF_NUMBER: {
        auto n = strtonum(text, 0, INT32_MAX, nullptr);
        if (k.i32 != nullptr)
            *k.i32(*b) = static_cast<int32_t>(n);
        else
            *k.u64(*b) = static_cast<uint64_t>(n);
        break;
    }
    case CONF_ON_OFF:
        if (strcmp(k.name, "sandbox") == 0)
            b->sandbox = strcmp(text, "on") == 0;
        else
            b->unprepared = strcmp(text, "off") == 0;
        break;
    case CONF_SERVICES: {
        std::string unknown;
        (void)parse_services(text, &b->lookups.services, &unknown);
        break;
    }
    default:
        break;
    }
}

} // namespace

FILE *backend_open_config(const char *path, std::string *why) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *why = strerror(errno);
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *why = "not a regular file; give korvane a plain file and replace it by rename";
        close(fd);
        return nullptr;
    }
    FILE *f = fdopen(fd, "r");
    if (f == nullptr) {
        *why = strerror(errno);
        close(fd);
    }
    return f;
}

std::string backend_passfile_problem(const char *conninfo) {
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
        return "password file " + file + " cannot be read by the user korvane runs as: " +
               strerror(errno) + "; give it to that user, mode 0600";
    return "";
}

std::string backend_shown_key(const char *key) {
    // "conninfo=password=..." is a key glued to its value; what follows
    // the "=" may be the password.
    const char *eq = strchr(key, '=');
    return eq == nullptr ? key : std::string(key, eq) + "=...";
}

std::string backend_conninfo_problem(const char *conninfo) {
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

std::string backend_unverified_host(const char *conninfo) {
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

namespace {

// The directory a path is in, with symbolic links resolved; "" when it
// cannot be resolved.
std::string directory_of(const char *path) {
    char *real = realpath(path, nullptr);
    if (real == nullptr)
        return "";
    std::string dir = real;
    free(real);
    return dir.substr(0, std::max<size_t>(dir.rfind('/'), 1));
}

} // namespace

namespace {

// What the conninfo names: the files libpq reads for it, and the TCP ports
// of its hosts (one list for all, or each host's).
void conninfo_grants(const char *conninfo, sandbox_grants *g) {
    PQconninfoOption *options = conninfo != nullptr ? PQconninfoParse(conninfo, nullptr) : nullptr;
    std::string ports;
    for (PQconninfoOption *o = options; o != nullptr && o->keyword != nullptr; o++) {
        if (o->val == nullptr || *o->val == '\0')
            continue;
        std::string_view key = o->keyword;
        if (key == "sslrootcert" || key == "sslcert" || key == "sslkey" || key == "sslcrl" ||
            key == "sslcrldir")
            g->read_paths.emplace_back(o->val);
        if (key == "port")
            ports = o->val;
    }
    PQconninfoFree(options);
    if (ports.empty())
        ports = getenv("PGPORT") != nullptr ? getenv("PGPORT") : "5432";
    for (std::string_view rest = ports; !rest.empty();) {
        std::string one(rest.substr(0, rest.find(',')));
        rest.remove_prefix(std::min(rest.size(), one.size() + 1));
        g->tcp_ports.push_back(one.empty() ? 5432 : atoi(one.c_str()));
    }
}

// With a service named (service= or PGSERVICE), the service files libpq
// reads at every connect, and the ports the service's section names.
void service_grants(const char *conninfo, sandbox_grants *g) {
    PQconninfoOption *options = conninfo != nullptr ? PQconninfoParse(conninfo, nullptr) : nullptr;
    std::string service = getenv("PGSERVICE") != nullptr ? getenv("PGSERVICE") : "";
    for (PQconninfoOption *o = options; o != nullptr && o->keyword != nullptr; o++)
        if (strcmp(o->keyword, "service") == 0 && o->val != nullptr)
            service = o->val;
    PQconninfoFree(options);
    if (service.empty())
        return;
    const char *user_file = getenv("PGSERVICEFILE");
    const char *sysconf = getenv("PGSYSCONFDIR");
    std::string files[] = {user_file != nullptr  ? user_file
                           : exec_home().empty() ? ""
                                                 : exec_home() + "/.pg_service.conf",
                           std::string(sysconf != nullptr ? sysconf : "/etc/postgresql-common") +
                               "/pg_service.conf"};
    for (const std::string &file : files) {
        if (file.empty())
            continue;
        g->optional_reads.push_back(file);
        std::unique_ptr<FILE, file_closer> f{fopen(file.c_str(), "r")};
        char line[1024];
        bool in_section = false;
        while (f && fgets(line, sizeof line, f.get()) != nullptr) {
            char *text = trim_spaces(line);
            if (*text == '[')
                in_section = std::string(text) == "[" + service + "]";
            else if (in_section && strncmp(text, "port=", 5) == 0)
                for (std::string_view rest = text + 5; !rest.empty();) {
                    std::string one(rest.substr(0, rest.find(',')));
                    rest.remove_prefix(std::min(rest.size(), one.size() + 1));
                    g->tcp_ports.push_back(atoi(one.c_str()));
                }
        }
    }
}

// The files libpq reads on every connect, found as it finds them: the
// password file and the certificate directory beneath the home directory
// libpq uses, what the environment names, and a service's files. libpq
// reads the defaults only where they exist.
void libpq_grants(const char *conninfo, sandbox_grants *g) {
    std::string passfile = exec_passfile(conninfo);
    bool named = getenv("PGPASSFILE") != nullptr || passfile != exec_home() + "/.pgpass";
    if (!passfile.empty())
        (named ? g->read_paths : g->optional_reads).push_back(passfile);
    if (!exec_home().empty())
        g->optional_reads.push_back(exec_home() + "/.postgresql");
    for (const char *env : {"PGSSLROOTCERT", "PGSSLCERT", "PGSSLKEY", "PGSSLCRL", "PGSERVICEFILE"})
        if (const char *v = getenv(env); v != nullptr && *v != '\0')
            g->read_paths.emplace_back(v);
    conninfo_grants(conninfo, g);
    service_grants(conninfo, g);
}

} // namespace

void backend_sandbox_grants(backend *b, const char *path, sandbox_grants *g) {
    // A reload replaces the file by rename, so its whole directory is read.
    if (std::string dir = directory_of(path); !dir.empty())
        g->read_paths.push_back(dir);
    // The libraries and tables the C library loads on demand.
    for (const char *p : {"/etc/ld.so.cache", "/usr/lib", "/lib", "/dev/urandom", "/dev/null"})
        g->read_paths.emplace_back(p);
    // What libpq, TLS and name resolution read where it exists: the
    // system's certificates (not /etc/ssl/private beside them), and the
    // resolver's files, with the directory of their real file where that
    // is one of its own, in which a resolver manager replaces it by rename.
    for (const char *p :
         {"/etc/hosts", "/etc/resolv.conf", "/etc/nsswitch.conf", "/etc/services", "/etc/host.conf",
          "/etc/gai.conf", "/etc/passwd", "/etc/group", "/etc/ssl/certs", "/etc/ssl/openssl.cnf",
          "/usr/share/ca-certificates", "/etc/localtime", "/usr/share/zoneinfo"})
        g->optional_reads.emplace_back(p);
    for (const char *p : {"/etc/hosts", "/etc/resolv.conf"})
        if (std::string dir = directory_of(p); !dir.empty() && dir != "/etc" && dir != "/")
            g->optional_reads.push_back(dir);
    g->write_paths.emplace_back("/dev/null");
    libpq_grants(static_cast<const char *>(dict_find(&b->config, "conninfo")), g);
    // The metrics file is written beside itself and renamed over.
    if (auto *stats = static_cast<const char *>(dict_find(&b->config, "stats_file"));
        stats != nullptr) {
        std::string file = stats_file_path(stats, getprogname());
        std::string dir = file.substr(0, std::max<size_t>(file.rfind('/'), 1));
        char *real = realpath(dir.c_str(), nullptr);
        g->write_paths.emplace_back(real != nullptr ? real : dir.c_str());
        free(real);
    }
    // DNS over TCP, for answers too long for a datagram.
    g->tcp_ports.push_back(53);
}

const config_key *backend_config_key(const char *name) {
    for (const config_key *k = backend_config_keys; k->name != nullptr; k++)
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

std::string backend_judge(const config_key &k, const char *text) {
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
    case CONF_TEXT:
    case CONF_QUERY:
        return "";
    }
    return "";
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

const char *backend_suggest_key(const char *key) {
    // "conninfo=host=..." is a known key glued to its value.
    const char *eq = strchr(key, '=');
    std::string_view head = eq != nullptr ? std::string_view(key, eq - key) : key;
    const char *best = nullptr;
    size_t best_distance = 3;
    for (const config_key *k = backend_config_keys; k->name != nullptr; k++) {
        size_t d = edit_distance(head, k->name, 2);
        if (d < best_distance) {
            best = k->name;
            best_distance = d;
        }
    }
    return best;
}

int backend_exposed_password(const char *path, const char *conninfo) {
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

void backend_deleter::operator()(backend *b) const noexcept {
    backend_free(b);
}

namespace {

// Reads every line of file into b; false after a warning.
bool read_lines(backend *b, FILE *file) {
    char *line = nullptr;
    size_t cap = 0;
    ssize_t n;
    bool ok = true;
    // A read error ends the file as its end does; what was read is judged.
    for (int32_t number = 1; ok && (n = getline(&line, &cap, file)) != -1; number++) {
        if (n > 0 && line[n - 1] == '\n')
            line[n - 1] = '\0';
        ok = load_line(b, line, number);
    }
    free(line);
    return ok;
}

// Unknown keys stay stored and unused, but a typo must not silently turn
// a service off: each draws a warning, with the key it may have meant.
void warn_unknown_keys(backend *b) {
    dict_entry *cursor = nullptr;
    const char *key = nullptr;
    while (dict_next(&b->config, &cursor, &key, nullptr) != 0) {
        if (backend_config_key(key) != nullptr)
            continue;
        std::string shown = backend_shown_key(key);
        if (strncmp(key, UTF8_BOM, 3) == 0)
            warn_msg("warn: unknown key %s ignored; the file starts with a UTF-8 byte-order "
                     "mark, which becomes part of the first key: save it without one",
                     shown.c_str());
        else if (const char *near = backend_suggest_key(key); near != nullptr)
            warn_msg("warn: unknown key %s ignored; did you mean %s?", shown.c_str(), near);
        else
            warn_msg("warn: unknown key %s ignored", shown.c_str());
    }
}

// What a conninfo risks: a server it does not verify, a password that
// every user can read in the file at path.
void warn_exposed(const char *path, const char *conninfo) {
    if (conninfo == nullptr)
        return;
    if (std::string host = backend_unverified_host(conninfo); !host.empty())
        warn_msg("warn: conninfo reaches %s, which does not verify the server; set "
                 "sslmode=verify-full and sslrootcert=",
                 host.c_str());
    if (int mode = backend_exposed_password(path, conninfo); mode >= 0)
        warn_msg("warn: \"%s\" holds a password in conninfo and is readable by every user "
                 "(mode %04o); chmod 0640 it, owned by root and the mail server's group",
                 path, mode);
    if (std::string problem = backend_passfile_problem(conninfo); !problem.empty())
        warn_msg("warn: %s", problem.c_str());
}

// Judges every known key's value and applies it; false after a warning.
bool apply_values(backend *b) {
    for (const config_key *k = backend_config_keys; k->name != nullptr; k++) {
        auto *text = static_cast<const char *>(dict_find(&b->config, k->name));
        if (text == nullptr)
            continue;
        if (std::string why = backend_judge(*k, text); !why.empty()) {
            warn_msg("warn: bad value for %s: %s", k->name, why.c_str());
            return false;
        }
        apply(b, *k, text);
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
    b->sources.refresh = 1000;
    b->sources.expire = 60;
    b->lookups.ttl = 60;
    b->lookups.negative_ttl = 10;
    b->lookups.services = SVC_ALL;
    b->stats_interval = 10;
    std::unique_ptr<FILE, file_closer> file{open_regular(path)};
    if (!file || !read_lines(b.get(), file.get()))
        return nullptr;
    warn_unknown_keys(b.get());
    warn_exposed(path, static_cast<const char *>(dict_find(&b->config, "conninfo")));
    if (!apply_values(b.get()))
        return nullptr;
    return b.release();
}

void backend_close(backend *b) {
    for (char *&name : b->statements) {
        free(name);
        name = nullptr;
    }
    listen_close(b);
    if (b->conn != nullptr) {
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
    while (dict_take_root(&b->sources.list, nullptr))
        ;
    free(b);
}
