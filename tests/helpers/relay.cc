// TCP relays and endpoints that misbehave on purpose; see relay.h.
#include "tests/helpers/relay.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

int loopback_connect(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

namespace {

using clock_type = std::chrono::steady_clock;

struct chunk {
    clock_type::time_point due;
    std::string data;
};

// Moves bytes both ways between a and b until either side closes, each
// chunk held until its time has come; with a pace, what b sends comes in
// pieces of a KiB at most, each at least pace_us after the one before.
void relay_pair(int a, int b, int delay_us, int pace_us, const std::atomic<bool> &stop) {
    int one = 1;
    setsockopt(a, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(b, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const int fds[2] = {a, b};
    std::deque<chunk> queued[2]; // queued[i]: read from fds[i], for the other
    bool open[2] = {true, true};
    char buf[65536];
    clock_type::time_point paced = clock_type::now();
    while (!stop && (open[0] || !queued[0].empty()) && (open[1] || !queued[1].empty())) {
        auto now = clock_type::now();
        for (int i = 0; i < 2; i++) {
            while (!queued[i].empty() && queued[i].front().due <= now) {
                const std::string &d = queued[i].front().data;
                if (write(fds[1 - i], d.data(), d.size()) != static_cast<ssize_t>(d.size()))
                    open[1 - i] = false;
                queued[i].pop_front();
            }
        }
        // Wait for input or the next chunk's time, to the microsecond: a
        // sub-millisecond delay must neither round to nothing nor spin.
        auto wait = std::chrono::microseconds(50000);
        for (auto &q : queued)
            if (!q.empty())
                wait = std::min(wait, std::chrono::duration_cast<std::chrono::microseconds>(
                                          q.front().due - now));
        wait = std::max(wait, std::chrono::microseconds(0));
        timespec ts{static_cast<time_t>(wait.count() / 1000000),
                    static_cast<long>(wait.count() % 1000000) * 1000};
        pollfd p[2] = {{a, static_cast<short>(open[0] ? POLLIN : 0), 0},
                       {b, static_cast<short>(open[1] ? POLLIN : 0), 0}};
        if (ppoll(p, 2, &ts, nullptr) < 0)
            break;
        for (int i = 0; i < 2; i++) {
            if ((p[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
                continue;
            bool slow = i == 1 && pace_us > 0;
            ssize_t n = read(fds[i], buf, slow ? 1024 : sizeof buf);
            if (n <= 0) {
                open[i] = false;
                continue;
            }
            auto due = clock_type::now() + std::chrono::microseconds(delay_us);
            if (slow)
                due = paced = std::max(due, paced + std::chrono::microseconds(pace_us));
            queued[i].push_back({due, std::string(buf, static_cast<size_t>(n))});
        }
    }
    close(a);
    close(b);
}

} // namespace

delay_relay::delay_relay(int target_port, int one_way_us, int pace_us)
    : target_port_(target_port), delay_us_(one_way_us), pace_us_(pace_us) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&addr), len) == 0 &&
        listen(listen_fd_, 256) == 0 &&
        getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
        port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { accept_loop(); });
}

delay_relay::~delay_relay() {
    stop_ = true;
    shutdown(listen_fd_, SHUT_RDWR);
    acceptor_.join();
    close(listen_fd_);
    for (auto &t : pairs_)
        t.join();
}

void delay_relay::accept_loop() {
    while (!stop_) {
        pollfd p{listen_fd_, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0 || (p.revents & POLLIN) == 0)
            continue;
        int client = accept(listen_fd_, nullptr, nullptr);
        if (client < 0)
            continue;
        int server = loopback_connect(target_port_);
        if (server < 0) {
            close(client);
            continue;
        }
        pairs_.emplace_back(relay_pair, client, server, delay_us_, pace_us_, std::cref(stop_));
    }
}

silent_endpoint::silent_endpoint(bool any_address) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(any_address ? INADDR_ANY : INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd_, reinterpret_cast<sockaddr *>(&addr), len) != 0 || listen(fd_, 64) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        fprintf(stderr, "silent endpoint: %s\n", strerror(errno));
    port_ = ntohs(addr.sin_port);
}

silent_endpoint::~silent_endpoint() {
    close(fd_);
}
