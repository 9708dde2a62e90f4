// The sandbox's grants for a configuration; see grants.h.
#include "backend/grants.h"

#include "backend/backend.h"
#include "backend/exec.h"
#include "backend/resolve.h"
#include "support/compat.h"
#include "support/log.h"
#include "support/stats.h"
#include "support/util.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace {

// What the sandbox granted when it was entered; null while not sandboxed.
sandbox_grants *granted;

struct file_closer {
    void operator()(FILE *f) const noexcept { fclose(f); }
};

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

void grants_collect(backend *b, const char *path, sandbox_grants *g) {
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
    if (const char *listen =
            static_cast<const char *>(dict_find(&b->config, "cache_listen_conninfo"));
        listen != nullptr)
        libpq_grants(listen, g);
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

void grants_enter(backend *b, const char *path) {
    if (!b->settings.sandbox || granted != nullptr)
        return;
    granted = new sandbox_grants;
    grants_collect(b, path, granted);
    resolve_snapshot();
    (void)sandbox_enter(*granted);
}

// A new configuration that needs more is refused rather than failing later.
bool grants_suffice(backend *fresh, const char *path) {
    if (granted == nullptr)
        return true;
    sandbox_grants wanted;
    grants_collect(fresh, path, &wanted);
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
