// The sandbox entered in a forked child, whole and each layer alone: every
// row of the denial table is tried, and the errno says which layer refused
// it (EPERM: the system-call filter; EACCES: Landlock), so that a grant
// widened or a call let through in one layer is not hidden by the other.
#include "support/log.h"
#include "support/sandbox.h"
#include "tests/helpers/process.h"
#include "tests/helpers/relay.h"

#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <linux/landlock.h>
#include <netinet/in.h>
#include <sys/personality.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A loopback TCP listener on a free port.
int listening(int *port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), len) != 0 || listen(fd, 8) != 0)
        return -1;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

// 0 when the call worked, else its errno.
int tried(int result) {
    int error = errno;
    return result >= 0 ? 0 : error;
}

int connect_with(int protocol, int port) {
    int fd = socket(AF_INET, SOCK_STREAM, protocol);
    if (fd < 0)
        return errno;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int r = tried(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a));
    close(fd);
    return r;
}

TEST(sandbox, DeniesWhatItDoesNotGrant) {
    std::string dir = temp_path("sandbox");
    unlink(dir.c_str());
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    write_file(dir + "/granted", "x");
    ASSERT_EQ(mkdir((dir + "-w").c_str(), 0700), 0);
    int granted = 0, other = 0;
    int l1 = listening(&granted), l2 = listening(&other);
    ASSERT_GE(l1, 0);
    ASSERT_GE(l2, 0);
    int abi = static_cast<int>(
        syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION));
    // A kernel without MPTCP or SCTP refuses those sockets itself.
    auto kernel_has = [](int protocol) {
        int fd = socket(AF_INET, SOCK_STREAM, protocol);
        close(fd);
        return fd >= 0;
    };
    struct row {
        const char *what;
        std::function<int()> act;
        int both, filter, landlock; // the errno each mode gives; 0: allowed
    };
    const int net = abi >= 4 ? EACCES : 0;
    const row rows[] = {
        {"read a granted file", [&] { return tried(open((dir + "/granted").c_str(), O_RDONLY)); },
         0, 0, 0},
        {"read another file", [] { return tried(open("/etc/os-release", O_RDONLY)); }, EACCES, 0,
         EACCES},
        {"write a file granted for reading",
         [&] { return tried(open((dir + "/granted").c_str(), O_WRONLY)); }, EACCES, 0, EACCES},
        {"create a file there",
         [&] { return tried(open((dir + "/new").c_str(), O_WRONLY | O_CREAT, 0600)); }, EACCES, 0,
         EACCES},
        {"list a granted directory",
         [&] { return tried(open(dir.c_str(), O_RDONLY | O_DIRECTORY)); }, EACCES, 0, EACCES},
        // The metrics directory takes new files renamed over others only.
        {"make a directory where it writes",
         [&] { return tried(mkdir((dir + "-w/d").c_str(), 0700)); }, EPERM, EPERM, EACCES},
        {"make a link there", [&] { return tried(symlink("/etc/passwd", (dir + "-w/l").c_str())); },
         EPERM, EPERM, EACCES},
        {"make a FIFO there", [&] { return tried(mkfifo((dir + "-w/f").c_str(), 0600)); }, EPERM,
         EPERM, EACCES},
        {"create a file there, and remove it",
         [&] {
             int r = tried(open((dir + "-w/x").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600));
             return r != 0 ? r : tried(unlink((dir + "-w/x").c_str()));
         },
         0, 0, 0},
        {"exec a program",
         [] {
             char *const argv[] = {const_cast<char *>("/bin/true"), nullptr};
             return tried(execv("/bin/true", argv));
         },
         EPERM, EPERM, EACCES},
        {"fork",
         [] {
             pid_t p = fork();
             if (p == 0)
                 _exit(0);
             if (p > 0)
                 waitpid(p, nullptr, 0);
             return tried(p);
         },
         EPERM, EPERM, 0},
        {"a call outside the allow-list", [] { return tried(personality(0xffffffff)); }, EPERM,
         EPERM, 0},
        {"a netlink socket", [] { return tried(socket(AF_NETLINK, SOCK_RAW, 0)); }, EPERM, EPERM,
         0},
        {"a packet socket", [] { return tried(socket(AF_PACKET, SOCK_DGRAM, 0)); }, EPERM, EPERM,
         0},
        {"an MPTCP socket", [] { return tried(socket(AF_INET, SOCK_STREAM, IPPROTO_MPTCP)); },
         EPERM, EPERM, kernel_has(IPPROTO_MPTCP) ? 0 : EPROTONOSUPPORT},
        {"an SCTP socket", [] { return tried(socket(AF_INET, SOCK_STREAM, IPPROTO_SCTP)); }, EPERM,
         EPERM, kernel_has(IPPROTO_SCTP) ? 0 : EPROTONOSUPPORT},
        {"TCP to the granted port", [&] { return connect_with(0, granted); }, 0, 0, 0},
        {"TCP to another port", [&] { return connect_with(IPPROTO_TCP, other); }, net, 0, net},
        // Landlock's port rules do not see MPTCP: only the filter stops it.
        {"MPTCP to another port", [&] { return connect_with(IPPROTO_MPTCP, other); }, EPERM, EPERM,
         kernel_has(IPPROTO_MPTCP) ? 0 : EPROTONOSUPPORT},
    };
    enum mode { BOTH, FILTER, LANDLOCK };
    for (mode m : {BOTH, FILTER, LANDLOCK}) {
        SCOPED_TRACE(m == BOTH     ? "both layers"
                     : m == FILTER ? "the filter alone"
                                   : "Landlock alone");
        std::string err = temp_path("sandbox-err");
        int results[2];
        ASSERT_EQ(pipe(results), 0);
        pid_t pid = fork();
        if (pid == 0) {
            int log = open(err.c_str(), O_WRONLY | O_TRUNC);
            dup2(log, 2);
            log_setup(1);
            // Each path that cannot be granted is named, but an optional
            // one or a directory to write that does not exist.
            sandbox_grants g{
                {dir, "/etc/os-release/x"}, {"/nowhere", dir + "-w"}, {granted}, {"/nonexistent"}};
            std::string missing;
            if (m == BOTH)
                (void)sandbox_enter(g);
            if (m == LANDLOCK)
                sandbox_confine_files(g, &missing);
            if (m == FILTER)
                (void)sandbox_filter_calls();
            for (const row &r : rows) {
                int e = r.act();
                (void)!write(results[1], &e, sizeof e);
            }
            _exit(0);
        }
        close(results[1]);
        for (const row &r : rows) {
            int e = -1;
            ASSERT_EQ(read(results[0], &e, sizeof e), static_cast<ssize_t>(sizeof e)) << r.what;
            EXPECT_EQ(e, m == BOTH     ? r.both
                         : m == FILTER ? r.filter
                                       : r.landlock)
                << r.what << ": " << strerror(e);
        }
        close(results[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_EQ(status, 0);
        if (m == BOTH) {
            EXPECT_EQ(read_file(err), log_line("support_test", pid,
                                               "warn: sandbox: cannot grant reading "
                                               "/etc/os-release/x: Not a directory"));
        }
    }
    close(l1);
    close(l2);
    unlink((dir + "/granted").c_str());
    rmdir(dir.c_str());
    system(("rm -rf " + dir + "-w").c_str());
}

// What decides whether an update stays within the grants: paths are
// judged as they resolve, so ".." cannot climb out of a grant.
TEST(sandbox, CoversPathsBeneathItsGrantsOnly) {
    struct row {
        const char *grant, *path;
        bool covered;
    };
    const row rows[] = {
        {"/etc/mail", "/etc/mail/korvane.conf", true},
        {"/etc/mail/", "/etc/mail", true},
        {"/etc/mail", "/etc/mailx/korvane.conf", false},
        {"/etc/mail", "/etc/mail/../passwd", false},
        {"/etc/mail", "/etc//mail/./x/../k.conf", true},
        {"/", "/anything", true},
    };
    for (const row &r : rows)
        EXPECT_EQ(sandbox_covers({r.grant}, r.path), r.covered) << r.grant << " " << r.path;
}

} // namespace
