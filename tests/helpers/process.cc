// Child processes spoken to through pipes, temporary files and captured
// stderr for the tests; see process.h.
#include "tests/helpers/process.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::vector<std::string> temp_files;

void remove_temp_files() {
    for (const auto &p : temp_files)
        unlink(p.c_str());
}

int decode_status(int st) {
    if (WIFEXITED(st))
        return WEXITSTATUS(st);
    if (WIFSIGNALED(st))
        return 128 + WTERMSIG(st);
    return -1;
}

[[noreturn]] void exec_child(const std::vector<std::string> &argv,
                             const child_setup *setup = nullptr) {
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    if (setup == nullptr) {
        execv(args[0], args.data());
    } else {
        if (setup->in_child && !setup->in_child())
            _exit(77);
        std::vector<char *> env;
        for (const auto &e : setup->env)
            env.push_back(const_cast<char *>(e.c_str()));
        env.push_back(nullptr);
        if (!setup->argv0.empty())
            args[0] = const_cast<char *>(setup->argv0.c_str());
        umask(setup->umask);
        if (setgroups(0, nullptr) == 0 && setgid(setup->gid) == 0 && setuid(setup->uid) == 0)
            execve(argv[0].c_str(), args.data(), setup->env.empty() ? environ : env.data());
    }
    fprintf(stderr, "exec %s: %s\n", argv[0].c_str(), strerror(errno));
    _exit(127);
}

int open_or_die(const char *path, int flags) {
    int fd = open(path, flags, 0600);
    if (fd < 0) {
        fprintf(stderr, "open %s: %s\n", path, strerror(errno));
        _exit(127);
    }
    return fd;
}

} // namespace

std::string temp_path(const char *tag) {
    static bool registered = false;
    if (!registered) {
        atexit(remove_temp_files);
        registered = true;
    }
    std::string tmpl = std::string("/tmp/korvane-test-") + tag + ".XXXXXX";
    int fd = mkstemp(tmpl.data());
    if (fd >= 0)
        close(fd);
    temp_files.push_back(tmpl);
    return tmpl;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string log_line(const std::string &prog, pid_t pid, const std::string &text) {
    return prog + "[" + std::to_string(pid) + "]: " + text + "\n";
}

run_result run_program(const std::vector<std::string> &argv, const std::string &input,
                       const char *stdin_path, const char *stdout_path) {
    std::string in_path = temp_path("in");
    std::string out_path = temp_path("out");
    std::string err_path = temp_path("err");
    write_file(in_path, input);

    run_result r;
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(open_or_die(stdin_path ? stdin_path : in_path.c_str(), O_RDONLY), 0);
        dup2(open_or_die(stdout_path ? stdout_path : out_path.c_str(), O_WRONLY | O_TRUNC), 1);
        dup2(open_or_die(err_path.c_str(), O_WRONLY | O_TRUNC), 2);
        exec_child(argv);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    r.pid = pid;
    r.status = decode_status(st);
    r.out = read_file(out_path);
    r.err = read_file(err_path);
    return r;
}

child_process::~child_process() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        finish();
    }
}

bool child_process::start(const std::vector<std::string> &argv, const child_setup *setup) {
    signal(SIGPIPE, SIG_IGN);
    err_path_ = temp_path("child-err");
    int in[2], out[2];
    // Close-on-exec, so that no other child (a database server started
    // meanwhile, say) holds the pipes open and hides the end of input.
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        return false;
    fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(open_or_die(err_path_.c_str(), O_WRONLY | O_TRUNC), 2);
        close(in[0]);
        close(in[1]);
        close(out[0]);
        close(out[1]);
        exec_child(argv, setup);
    }
    close(in[0]);
    close(out[1]);
    in_ = in[1];
    out_ = out[0];
    return pid_ > 0;
}

void child_process::send(const std::string &line) {
    std::string data = line + "\n";
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(in_, data.data() + done, data.size() - done);
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

std::string child_process::read_line(int timeout_ms) {
    for (;;) {
        size_t nl = pending_.find('\n');
        if (nl != std::string::npos) {
            std::string line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            return line;
        }
        pollfd p{out_, POLLIN, 0};
        int ready = poll(&p, 1, timeout_ms);
        if (ready <= 0)
            return "<timeout>";
        char buf[4096];
        ssize_t n = read(out_, buf, sizeof buf);
        if (n <= 0)
            return "<eof>";
        pending_.append(buf, static_cast<size_t>(n));
    }
}

int child_process::finish() {
    if (in_ >= 0) {
        close(in_);
        in_ = -1;
    }
    int st = 0;
    if (pid_ > 0) {
        waitpid(pid_, &st, 0);
        pid_ = -1;
    }
    if (out_ >= 0) {
        close(out_);
        out_ = -1;
    }
    return decode_status(st);
}

std::string child_process::err() const {
    return read_file(err_path_);
}

namespace {

std::string proc_path(pid_t pid, const char *leaf) {
    return (pid == 0 ? std::string("/proc/self/") : "/proc/" + std::to_string(pid) + "/") + leaf;
}

} // namespace

int count_open_fds(pid_t pid) {
    int n = 0;
    DIR *d = opendir(proc_path(pid, "fd").c_str());
    if (d == nullptr)
        return -1;
    while (readdir(d) != nullptr)
        n++;
    closedir(d);
    // ".", "..", and for this process the directory's own descriptor.
    return n - (pid == 0 ? 3 : 2);
}

long rss_kib(pid_t pid) {
    std::ifstream in(proc_path(pid, "status"));
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

int stderr_redirect_begin(const std::string &path) {
    fflush(stderr);
    int saved = dup(2);
    int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
    dup2(fd, 2);
    close(fd);
    return saved;
}

void stderr_redirect_end(int saved) {
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
}

double cpu_seconds(pid_t pid) {
    std::string stat = read_file(proc_path(pid, "stat"));
    // Fields after the command name, which is in parentheses and may hold
    // spaces: state is field 3, utime 14 and stime 15.
    size_t close_paren = stat.rfind(')');
    if (close_paren == std::string::npos)
        return -1;
    std::istringstream fields(stat.substr(close_paren + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; i++)
        if (i >= 14)
            ticks += std::stod(field);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}
