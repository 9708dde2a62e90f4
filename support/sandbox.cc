// The sandbox: Landlock for files and ports, the system-call filter,
// no new privileges; see sandbox.h.
#include "support/sandbox.h"

#include "support/log.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/landlock.h>
#include <netinet/in.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

namespace {

// What newer kernels add to the ABI that Debian 12's headers predate.
constexpr uint64_t FS_TRUNCATE = 1ULL << 14;  // ABI 3
constexpr uint64_t FS_IOCTL_DEV = 1ULL << 15; // ABI 5
constexpr uint64_t NET_BIND_TCP = 1ULL << 0;  // ABI 4
constexpr uint64_t NET_CONNECT_TCP = 1ULL << 1;
constexpr int RULE_NET_PORT = 2;

struct ruleset_attr {
    uint64_t handled_access_fs;
    uint64_t handled_access_net;
};
struct net_port_attr {
    uint64_t allowed_access;
    uint64_t port;
};

int landlock_abi() {
    long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    return abi < 0 ? 0 : static_cast<int>(abi);
}

// Reading files by name; no directory is listed.
constexpr uint64_t FS_READ = LANDLOCK_ACCESS_FS_READ_FILE;

uint64_t fs_handled(int abi) {
    uint64_t all = (LANDLOCK_ACCESS_FS_MAKE_SYM << 1) - 1;
    if (abi >= 2)
        all |= LANDLOCK_ACCESS_FS_REFER;
    if (abi >= 3)
        all |= FS_TRUNCATE;
    if (abi >= 5)
        all |= FS_IOCTL_DEV;
    return all;
}

// Write grants that took; empty until the sandbox is entered.
std::vector<std::string> granted_writes;
bool entered;

// Grants access beneath path; 0, or the errno of why it could not.
int add_path(int ruleset, const std::string &path, uint64_t access) {
    int fd = open(path.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0)
        return errno;
    // A file takes only the rights that apply to files.
    struct stat st {};
    if (fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode))
        access &= LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_WRITE_FILE | FS_TRUNCATE;
    landlock_path_beneath_attr rule{access, fd};
    int error = syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) == 0
                    ? 0
                    : errno;
    close(fd);
    return error;
}

// Grants every path of one kind, naming each that cannot be granted; a
// missing one is left in silence where `missing_ok`.
void add_paths(int ruleset, const std::vector<std::string> &paths, uint64_t access,
               const char *what, bool missing_ok, std::vector<std::string> *took) {
    for (const std::string &p : paths) {
        int error = add_path(ruleset, p, access);
        if (error == 0 && took != nullptr)
            took->push_back(p);
        if (error != 0 && !(missing_ok && error == ENOENT))
            warn_msg("warn: sandbox: cannot grant %s %s: %s", what, p.c_str(), strerror(error));
    }
}

} // namespace

void sandbox_confine_files(const sandbox_grants &g, std::string *missing) {
    // Landlock takes no rules from a process that may gain privileges.
    (void)prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    int abi = landlock_abi();
    if (abi == 0) {
        *missing += " files and TCP (the kernel has no Landlock: Linux 5.13 or later with "
                    "landlock among its LSMs confines them)";
        return;
    }
    ruleset_attr attr{fs_handled(abi), abi >= 4 ? NET_BIND_TCP | NET_CONNECT_TCP : 0};
    size_t size = abi >= 4 ? sizeof attr : sizeof attr.handled_access_fs;
    int ruleset = static_cast<int>(syscall(SYS_landlock_create_ruleset, &attr, size, 0));
    if (ruleset < 0) {
        *missing += " files and TCP (Landlock refused the ruleset)";
        return;
    }
    add_paths(ruleset, g.read_paths, FS_READ, "reading", false, nullptr);
    add_paths(ruleset, g.optional_reads, FS_READ, "reading", true, nullptr);
    // Writing is creating a file, writing it and renaming it over another
    // (or removing it): no directories, links, devices or FIFOs.
    uint64_t write = LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_MAKE_REG |
                     LANDLOCK_ACCESS_FS_REMOVE_FILE;
    add_paths(ruleset, g.write_paths, write, "writing", true, &granted_writes);
    if (abi >= 4) {
        for (int port : g.tcp_ports) {
            net_port_attr rule{NET_CONNECT_TCP, static_cast<uint64_t>(port)};
            if (syscall(SYS_landlock_add_rule, ruleset, RULE_NET_PORT, &rule, 0) != 0)
                warn_msg("warn: sandbox: cannot grant TCP port %d: %s", port, strerror(errno));
        }
    } else {
        *missing += " TCP ports (Landlock ABI " + std::to_string(abi) +
                    " has no network rules: Linux 6.7 or later confines them)";
    }
    if (syscall(SYS_landlock_restrict_self, ruleset, 0) != 0)
        *missing += " files (Landlock did not take)";
    close(ruleset);
}

namespace {

// The system calls serving, reconnecting, resolving, TLS, syslog and
// reloading make; everything else fails with EPERM.
constexpr int allowed_calls[] = {
    SCMP_SYS(read),
    SCMP_SYS(write),
    SCMP_SYS(readv),
    SCMP_SYS(writev),
    SCMP_SYS(pread64),
    SCMP_SYS(close),
    SCMP_SYS(lseek),
    SCMP_SYS(open),
    SCMP_SYS(openat),
    SCMP_SYS(stat),
    SCMP_SYS(fstat),
    SCMP_SYS(lstat),
    SCMP_SYS(newfstatat),
    SCMP_SYS(statx),
    SCMP_SYS(access),
    SCMP_SYS(faccessat),
    SCMP_SYS(faccessat2),
    SCMP_SYS(readlink),
    SCMP_SYS(readlinkat),
    SCMP_SYS(getcwd),
    SCMP_SYS(getdents64),
    SCMP_SYS(fcntl),
    SCMP_SYS(dup),
    SCMP_SYS(dup2),
    SCMP_SYS(dup3),
    SCMP_SYS(poll),
    SCMP_SYS(ppoll),
    SCMP_SYS(select),
    SCMP_SYS(pselect6),
    SCMP_SYS(epoll_create1),
    SCMP_SYS(epoll_ctl),
    SCMP_SYS(epoll_wait),
    SCMP_SYS(epoll_pwait),
    SCMP_SYS(connect),
    SCMP_SYS(sendto),
    SCMP_SYS(recvfrom),
    SCMP_SYS(sendmsg),
    SCMP_SYS(recvmsg),
    SCMP_SYS(sendmmsg),
    SCMP_SYS(recvmmsg),
    SCMP_SYS(shutdown),
    SCMP_SYS(getsockopt),
    SCMP_SYS(setsockopt),
    SCMP_SYS(getsockname),
    SCMP_SYS(getpeername),
    SCMP_SYS(bind),
    SCMP_SYS(mmap),
    SCMP_SYS(munmap),
    SCMP_SYS(mremap),
    SCMP_SYS(mprotect),
    SCMP_SYS(madvise),
    SCMP_SYS(brk),
    SCMP_SYS(futex),
    SCMP_SYS(clock_gettime),
    SCMP_SYS(clock_getres),
    SCMP_SYS(gettimeofday),
    SCMP_SYS(nanosleep),
    SCMP_SYS(clock_nanosleep),
    SCMP_SYS(getrandom),
    SCMP_SYS(rt_sigaction),
    SCMP_SYS(rt_sigprocmask),
    SCMP_SYS(rt_sigreturn),
    SCMP_SYS(sigaltstack),
    SCMP_SYS(getpid),
    SCMP_SYS(gettid),
    SCMP_SYS(getuid),
    SCMP_SYS(geteuid),
    SCMP_SYS(getgid),
    SCMP_SYS(getegid),
    SCMP_SYS(uname),
    SCMP_SYS(sched_yield),
    SCMP_SYS(restart_syscall),
    SCMP_SYS(exit),
    SCMP_SYS(exit_group),
    SCMP_SYS(umask),
    SCMP_SYS(fchmod),
    SCMP_SYS(rename),
    SCMP_SYS(renameat),
    SCMP_SYS(renameat2),
    SCMP_SYS(unlink),
    SCMP_SYS(unlinkat),
};

} // namespace

bool sandbox_filter_calls() {
    (void)prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ERRNO(EPERM));
    if (ctx == nullptr)
        return false;
    bool ok = true;
    for (int call : allowed_calls)
        ok = seccomp_rule_add(ctx, SCMP_ACT_ALLOW, call, 0) == 0 && ok;
    // Sockets of the kinds korvane speaks, by family, type (its low bits;
    // the high ones are flags such as SOCK_NONBLOCK) and protocol: a unix
    // stream to a local server, TCP to a remote one, UDP to the resolver.
    // The protocol matters: Landlock's TCP rules do not cover an MPTCP
    // socket, which would reach any port.
    struct kind {
        int family, type, protocol;
    };
    constexpr kind kinds[] = {
        {AF_UNIX, SOCK_STREAM, 0},
        {AF_INET, SOCK_STREAM, 0},
        {AF_INET, SOCK_STREAM, IPPROTO_TCP},
        {AF_INET6, SOCK_STREAM, 0},
        {AF_INET6, SOCK_STREAM, IPPROTO_TCP},
        {AF_INET, SOCK_DGRAM, 0},
        {AF_INET, SOCK_DGRAM, IPPROTO_UDP},
        {AF_INET6, SOCK_DGRAM, 0},
        {AF_INET6, SOCK_DGRAM, IPPROTO_UDP},
    };
    for (const kind &k : kinds) {
        const scmp_arg_cmp args[] = {
            {0, SCMP_CMP_EQ, static_cast<scmp_datum_t>(k.family), 0},
            {1, SCMP_CMP_MASKED_EQ, 0xf, static_cast<scmp_datum_t>(k.type)},
            {2, SCMP_CMP_EQ, static_cast<scmp_datum_t>(k.protocol), 0}};
        ok = seccomp_rule_add_array(ctx, SCMP_ACT_ALLOW, SCMP_SYS(socket), 3, args) == 0 && ok;
    }
    // ioctl only to ask how much there is to read, to make a descriptor
    // non-blocking (FIONBIO, as c-ares does) and whether a terminal.
    for (unsigned long request : {static_cast<unsigned long>(FIONREAD),
                                  static_cast<unsigned long>(FIONBIO), 0x5401UL /* TCGETS */}) {
        const scmp_arg_cmp args[] = {{1, SCMP_CMP_EQ, request, 0}};
        ok = seccomp_rule_add_array(ctx, SCMP_ACT_ALLOW, SCMP_SYS(ioctl), 1, args) == 0 && ok;
    }
    ok = ok && seccomp_load(ctx) == 0;
    seccomp_release(ctx);
    return ok;
}

std::string sandbox_normal(const std::string &path) {
    std::vector<std::string> parts;
    std::string whole = path;
    if (whole.empty() || whole[0] != '/') {
        char *cwd = getcwd(nullptr, 0);
        whole = std::string(cwd != nullptr ? cwd : "") + "/" + whole;
        free(cwd);
    }
    for (size_t at = 0; at <= whole.size();) {
        size_t end = std::min(whole.find('/', at), whole.size());
        std::string part = whole.substr(at, end - at);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        at = end + 1;
    }
    std::string out;
    for (const std::string &part : parts)
        out += "/" + part;
    return out.empty() ? "/" : out;
}

bool sandbox_covers(const std::vector<std::string> &paths, const std::string &path) {
    std::string p = sandbox_normal(path);
    for (const std::string &grant : paths) {
        std::string g = sandbox_normal(grant);
        if (p == g || g == "/" || (p.rfind(g, 0) == 0 && p[g.size()] == '/'))
            return true;
    }
    return false;
}

bool sandbox_may_write(const std::string &path) {
    return !entered || sandbox_covers(granted_writes, path);
}

bool sandbox_enter(const sandbox_grants &grants) {
    entered = true;
    std::string missing;
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        missing += " privileges";
    if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0)
        missing += " core dumps";
    sandbox_confine_files(grants, &missing);
    bool filtered = sandbox_filter_calls();
    if (!filtered)
        warn_msg("warn: sandbox: the system-call filter could not be installed");
    if (!missing.empty())
        warn_msg("warn: sandbox: not confined:%s; the rest is", missing.c_str());
    return filtered;
}
