// A TCP relay on loopback in front of a server, holding every chunk for a
// fixed delay in each direction: a distant database without leaving the
// machine (this kernel has no netem). A delay of 0 passes chunks at once,
// which measures the relay's own cost.
#pragma once

#include <atomic>
#include <thread>
#include <vector>

// A TCP connection to 127.0.0.1:port: its descriptor, or -1 with errno.
int loopback_connect(int port);

class delay_relay {
  public:
    // Relays connections to 127.0.0.1:target_port, delaying each chunk by
    // one_way_us microseconds in each direction.
    delay_relay(int target_port, int one_way_us);
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
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
    std::vector<std::thread> pairs_;
};
