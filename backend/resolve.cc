// Host names resolved within the deadline with c-ares, reading the system's
// hosts file and resolver configuration, or a snapshot of both once the
// sandbox has lost sight of them.
#include "backend/resolve.h"

#include "backend/exec.h"
#include "support/log.h"

#include <algorithm>
#include <ares.h>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string_view>
#include <unistd.h>

namespace {

struct lookup {
    bool done;
    int status;
    std::vector<std::string> *out;
};

void on_addrinfo(void *arg, int status, int, ares_addrinfo *info) {
    auto *l = static_cast<lookup *>(arg);
    l->done = true;
    l->status = status;
    for (ares_addrinfo_node *n = info != nullptr ? info->nodes : nullptr; n != nullptr;
         n = n->ai_next) {
        char text[INET6_ADDRSTRLEN];
        const void *addr = nullptr;
        if (n->ai_family == AF_INET)
            addr = &reinterpret_cast<const sockaddr_in *>(n->ai_addr)->sin_addr;
        else if (n->ai_family == AF_INET6)
            addr = &reinterpret_cast<const sockaddr_in6 *>(n->ai_addr)->sin6_addr;
        if (addr == nullptr || inet_ntop(n->ai_family, addr, text, sizeof text) == nullptr)
            continue;
        if (std::find(l->out->begin(), l->out->end(), text) == l->out->end())
            l->out->emplace_back(text);
    }
    if (info != nullptr)
        ares_freeaddrinfo(info);
}

// Lets the resolver work on what its sockets are ready for, waiting at
// most until `until` or the resolver's own next timeout.
void step(ares_channel channel, int64_t until) {
    ares_socket_t socks[ARES_GETSOCK_MAXNUM];
    int bits = ares_getsock(channel, socks, ARES_GETSOCK_MAXNUM);
    pollfd fds[ARES_GETSOCK_MAXNUM];
    int n = 0;
    for (int i = 0; i < ARES_GETSOCK_MAXNUM; i++) {
        short events = (ARES_GETSOCK_READABLE(bits, i) ? POLLIN : 0) |
                       (ARES_GETSOCK_WRITABLE(bits, i) ? POLLOUT : 0);
        if (events != 0)
            fds[n++] = {socks[i], events, 0};
    }
    int64_t left = std::max<int64_t>(until - exec_now_ms(), 0);
    timeval most{static_cast<time_t>(left / 1000), static_cast<suseconds_t>(left % 1000 * 1000)};
    timeval tv{};
    timeval *next = ares_timeout(channel, &most, &tv);
    int wait = static_cast<int>(next->tv_sec * 1000 + (next->tv_usec + 999) / 1000);
    int ready = poll(fds, static_cast<nfds_t>(n), wait);
    if (ready < 0 && errno == EINTR)
        return;
    if (ready <= 0) {
        // The resolver's own timeouts and retries.
        ares_process_fd(channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
        return;
    }
    for (int i = 0; i < n; i++) {
        short r = fds[i].revents;
        ares_process_fd(channel,
                        (r & (POLLIN | POLLERR | POLLHUP)) != 0 ? fds[i].fd : ARES_SOCKET_BAD,
                        (r & POLLOUT) != 0 ? fds[i].fd : ARES_SOCKET_BAD);
    }
}

// The resolver's configuration and hosts file as they were when korvane
// entered its sandbox. The system replaces them by rename (DHCP clients,
// resolver managers), and the new file is one the sandbox never granted:
// until a restart korvane then resolves with what the old one said, which
// keeps a reconnect working where the servers stayed the same.
struct snapshot {
    bool taken = false;
    ares_options options{};
    int mask = 0;
    ares_addr_port_node *servers = nullptr;
    std::vector<std::pair<std::string, std::string>> hosts; // name in lower case, address
    bool conf_logged = false, hosts_logged = false;
};
snapshot taken;

constexpr char HOSTS[] = "/etc/hosts";
constexpr char RESOLV_CONF[] = "/etc/resolv.conf";

int library() {
    static const int r = ares_library_init(ARES_LIB_INIT_ALL);
    return r;
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char &c : out)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return out;
}

// False when path exists and cannot be read: replaced since the sandbox.
bool readable(const char *path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0)
        close(fd);
    return fd >= 0 || (errno != EACCES && errno != EPERM);
}

void read_hosts(std::vector<std::pair<std::string, std::string>> *hosts) {
    FILE *f = fopen(HOSTS, "re");
    char line[4096];
    while (f != nullptr && fgets(line, sizeof line, f) != nullptr) {
        std::string_view rest(line, strcspn(line, "#\n"));
        std::vector<std::string_view> fields;
        while (!rest.empty()) {
            size_t start = rest.find_first_not_of(" \t");
            if (start == std::string_view::npos)
                break;
            rest.remove_prefix(start);
            fields.push_back(rest.substr(0, rest.find_first_of(" \t")));
            rest.remove_prefix(fields.back().size());
        }
        for (size_t i = 1; i < fields.size(); i++)
            hosts->emplace_back(lower(fields[i]), std::string(fields[0]));
    }
    if (f != nullptr)
        fclose(f);
}

// A channel as the system's files configure it; where the sandbox has lost
// sight of them, as the snapshot does (c-ares would silently ask
// 127.0.0.1 instead). ARES_SUCCESS or why not.
int open_channel(ares_channel *channel, bool hosts_ok) {
    ares_options only_dns{};
    only_dns.lookups = const_cast<char *>("b");
    if (readable(RESOLV_CONF) || !taken.taken)
        return hosts_ok ? ares_init(channel)
                        : ares_init_options(channel, &only_dns, ARES_OPT_LOOKUPS);
    ares_options o = taken.options;
    if (!hosts_ok)
        o.lookups = only_dns.lookups;
    int r = ares_init_options(channel, &o, taken.mask | ARES_OPT_LOOKUPS);
    if (r == ARES_SUCCESS)
        (void)ares_set_servers_ports(*channel, taken.servers);
    if (r == ARES_SUCCESS && !taken.conf_logged)
        warn_msg("warn: %s was replaced since korvane started and the sandbox cannot read the new "
                 "one; resolving with what it said then; restart korvane to read it",
                 RESOLV_CONF);
    taken.conf_logged = true;
    return r;
}

} // namespace

void resolve_snapshot() {
    ares_channel channel = nullptr;
    if (taken.taken || library() != ARES_SUCCESS || ares_init(&channel) != ARES_SUCCESS)
        return;
    taken.taken = ares_save_options(channel, &taken.options, &taken.mask) == ARES_SUCCESS &&
                  ares_get_servers_ports(channel, &taken.servers) == ARES_SUCCESS;
    ares_destroy(channel);
    read_hosts(&taken.hosts);
}

resolve_result resolve_host(const char *name, int64_t until, std::vector<std::string> *out,
                            std::string *why) {
    if (library() != ARES_SUCCESS) {
        *why = ares_strerror(library());
        return NO_ADDRESS;
    }
    // A hosts file the sandbox lost sight of answers from the snapshot.
    bool hosts_ok = readable(HOSTS);
    if (!hosts_ok && taken.taken) {
        if (!taken.hosts_logged)
            warn_msg("warn: %s was replaced since korvane started and the sandbox cannot read the "
                     "new one; looking names up in what it said then; restart korvane to read it",
                     HOSTS);
        taken.hosts_logged = true;
        for (const auto &[host, address] : taken.hosts)
            if (host == lower(name) && std::find(out->begin(), out->end(), address) == out->end())
                out->push_back(address);
        if (!out->empty())
            return RESOLVED;
    }
    ares_channel channel = nullptr;
    if (int r = open_channel(&channel, hosts_ok); r != ARES_SUCCESS) {
        *why = ares_strerror(r);
        return NO_ADDRESS;
    }
    lookup l{false, ARES_SUCCESS, out};
    ares_addrinfo_hints hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    ares_getaddrinfo(channel, name, nullptr, &hints, on_addrinfo, &l);
    while (!l.done && exec_now_ms() < until)
        step(channel, until);
    bool answered = l.done;
    // Ends what is still asked; its callback then runs once more.
    ares_destroy(channel);
    if (!answered)
        return OUT_OF_TIME;
    if (l.status != ARES_SUCCESS || out->empty()) {
        *why = l.status != ARES_SUCCESS ? ares_strerror(l.status) : "no address";
        return NO_ADDRESS;
    }
    return RESOLVED;
}
