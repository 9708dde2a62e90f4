// The sandbox entered in a forked child: each thing it must deny fails,
// and what it grants works.
#include "support/log.h"
#include "support/sandbox.h"
#include "tests/helpers/process.h"
#include "tests/helpers/relay.h"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/landlock.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// 0 when a TCP connection to the port is made, -1 with errno otherwise.
int tcp_connect(int port) {
    int fd = loopback_connect(port);
    if (fd >= 0)
        close(fd);
    return fd >= 0 ? 0 : -1;
}

TEST(sandbox, DeniesWhatItDoesNotGrant) {
    std::string dir = temp_path("sandbox");
    unlink(dir.c_str());
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    write_file(dir + "/granted", "x");
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&a), len), 0);
    ASSERT_EQ(listen(listener, 8), 0);
    getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len);
    int port = ntohs(a.sin_port);
    bool net_rules =
        syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION) >= 4;

    std::string err = temp_path("sandbox-err");
    pid_t pid = fork();
    if (pid == 0) {
        // Each path that cannot be granted is named, but for an optional one
        // or a directory to write that does not exist.
        int log = open(err.c_str(), O_WRONLY | O_TRUNC);
        dup2(log, 2);
        log_setup(1);
        (void)sandbox_enter({{dir, "/etc/os-release/x"}, {"/nonexistent"}, {port}, {"/nowhere"}});
        int failed = 0;
        int fd = open((dir + "/granted").c_str(), O_RDONLY);
        failed |= fd < 0 ? 1 : 0;
        failed |= open("/etc/os-release", O_RDONLY) >= 0 ? 2 : 0;
        failed |= open((dir + "/granted").c_str(), O_WRONLY) >= 0 ? 4 : 0;
        failed |= open((dir + "/new").c_str(), O_WRONLY | O_CREAT, 0600) >= 0 ? 8 : 0;
        // Were it allowed, /bin/false would end the child with status 1.
        char *const argv[] = {const_cast<char *>("/bin/false"), nullptr};
        execv("/bin/false", argv);
        failed |= socket(AF_NETLINK, SOCK_RAW, 0) >= 0 ? 32 : 0;
        failed |= socket(AF_INET, SOCK_RAW, IPPROTO_ICMP) >= 0 ? 64 : 0;
        failed |= socket(AF_PACKET, SOCK_DGRAM, 0) >= 0 ? 128 : 0;
        failed |= tcp_connect(port) != 0 ? 256 : 0;
        if (net_rules)
            failed |= tcp_connect(port == 1 ? 2 : 1) == 0 || errno != EACCES ? 512 : 0;
        _exit(failed);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    close(listener);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "bits of what the sandbox let through or denied wrongly";
    EXPECT_EQ(read_file(err), log_line("support_test", pid,
                                       "warn: sandbox: cannot grant reading /etc/os-release/x: "
                                       "Not a directory"));
    unlink((dir + "/granted").c_str());
    rmdir(dir.c_str());
}

} // namespace
