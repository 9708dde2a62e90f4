// A TCP relay on loopback in front of a server, holding every chunk for a
// fixed delay in each direction: a distant database without leaving the
// machine (this kernel has no netem). A delay of 0 passes chunks at once,
// which measures the relay's own cost.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

// A TCP connection to 127.0.0.1:port: its descriptor, or -1 with errno.
int loopback_connect(int port);

class delay_relay {
  public:
    // Relays connections to 127.0.0.1:target_port, delaying each chunk by
    // one_way_us microseconds in each direction; with pace_us, what the
    // server sends trickles in, a KiB each pace_us at most (a slow link).
    delay_relay(int target_port, int one_way_us, int pace_us = 0);
    ~delay_relay();
    delay_relay(const delay_relay &) = delete;
    delay_relay &operator=(const delay_relay &) = delete;
    int port() const { return port_; }

  private:
    void accept_loop();
    int listen_fd_ = -1;
    int port_ = 0;
    int target_port_;
    int delay_us_;
    int pace_us_;
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
    std::vector<std::thread> pairs_;
};

// A TCP endpoint on loopback that completes every handshake (the kernel
// does, into the backlog) and never says a word: a hung host or a path that
// drops packets while the connection stays open.
class silent_endpoint {
  public:
    // On 127.0.0.1, or with any_address on every address, so that all of
    // 127.0.0.0/8 (a name with many addresses) reaches it.
    explicit silent_endpoint(bool any_address = false);
    ~silent_endpoint();
    silent_endpoint(const silent_endpoint &) = delete;
    silent_endpoint &operator=(const silent_endpoint &) = delete;
    std::string conninfo() const {
        return "host=127.0.0.1 port=" + std::to_string(port_) + " dbname=postgres user=postgres";
    }
    int port() const { return port_; }

  private:
    int fd_ = -1;
    int port_ = 0;
};
