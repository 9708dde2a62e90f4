#include "backend/backend.h"

#include <algorithm>
#include <ares.h>
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>

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

} // namespace

int32_t resolve_host(const char *name, int64_t until, std::vector<std::string> *out,
                     std::string *why) {
    static const int library = ares_library_init(ARES_LIB_INIT_ALL);
    if (library != ARES_SUCCESS) {
        *why = ares_strerror(library);
        return 0;
    }
    ares_channel channel = nullptr;
    if (int r = ares_init(&channel); r != ARES_SUCCESS) {
        *why = ares_strerror(r);
        return 0;
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
        return -1;
    if (l.status != ARES_SUCCESS || out->empty()) {
        *why = l.status != ARES_SUCCESS ? ares_strerror(l.status) : "no address";
        return 0;
    }
    return 1;
}
