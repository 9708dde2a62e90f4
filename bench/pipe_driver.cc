// The benchmarks' pipe driver: spawning korvane or a plain relay behind
// real pipes and timing requests through them; see pipe_driver.h.
#include "bench/pipe_driver.h"

#include "tests/helpers/host.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// With two cores, a child that shares its core with the driver measures the
// scheduler more than itself; each gets a core of its own where there are two.
void pin_to_cpu(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    (void)sched_setaffinity(0, sizeof set, &set);
}

} // namespace

void pipe_pin_driver() {
    if (sysconf(_SC_NPROCESSORS_ONLN) > 1)
        pin_to_cpu(1);
}

pipe_child pipe_spawn(int (*fn)(void *), void *arg, bool quiet) {
    signal(SIGPIPE, SIG_IGN);
    int in[2], out[2];
    pipe_child c;
    // Close-on-exec, so that no other child (a database server started
    // meanwhile, say) holds the pipes open and hides the end of input.
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        return c;
    fflush(nullptr);
    c.pid = fork();
    if (c.pid == 0) {
        pin_to_cpu(0);
        dup2(in[0], 0);
        dup2(out[1], 1);
        if (quiet) {
            int devnull = open("/dev/null", O_WRONLY);
            dup2(devnull, 2);
        }
        close(in[0]);
        close(in[1]);
        close(out[0]);
        close(out[1]);
        int status = fn(arg);
        fflush(nullptr);
        _exit(status);
    }
    close(in[0]);
    close(out[1]);
    c.to_child = in[1];
    c.from_child = out[0];
    return c;
}

bool pipe_write(pipe_child &c, const std::string &data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(c.to_child, data.data() + done, data.size() - done);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool pipe_read_line(pipe_child &c, std::string &line) {
    for (;;) {
        size_t nl = c.pending.find('\n', c.offset);
        if (nl != std::string::npos) {
            line.assign(c.pending, c.offset, nl - c.offset);
            c.offset = nl + 1;
            return true;
        }
        // Drop what was consumed only when refilling, so reading stays
        // linear in the bytes read.
        c.pending.erase(0, c.offset);
        c.offset = 0;
        char buf[65536];
        ssize_t n = read(c.from_child, buf, sizeof buf);
        if (n <= 0)
            return false;
        c.pending.append(buf, static_cast<size_t>(n));
    }
}

int pipe_finish(pipe_child &c, double *user_seconds, double *sys_seconds) {
    if (c.to_child >= 0)
        close(c.to_child);
    c.to_child = -1;
    int st = 0;
    rusage ru{};
    wait4(c.pid, &st, 0, &ru);
    auto seconds = [](const timeval &tv) {
        return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
    };
    if (user_seconds != nullptr)
        *user_seconds = seconds(ru.ru_utime);
    if (sys_seconds != nullptr)
        *sys_seconds = seconds(ru.ru_stime);
    close(c.from_child);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128;
}

double now_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

namespace {

struct korvane_args {
    const char *bin;
    const char *path;
    bool pinned;
};

int exec_korvane(void *arg) {
    auto *a = static_cast<korvane_args *>(arg);
    if (!a->pinned) {
        cpu_set_t all;
        CPU_ZERO(&all);
        for (int cpu = 0; cpu < CPU_SETSIZE && cpu < sysconf(_SC_NPROCESSORS_ONLN); cpu++)
            CPU_SET(cpu, &all);
        (void)sched_setaffinity(0, sizeof all, &all);
    }
    execl(a->bin, "korvane", a->path, static_cast<char *>(nullptr));
    return 127;
}

} // namespace

bool pipe_start_korvane(pipe_child &c, const char *bin, const std::string &path, bool pinned) {
    korvane_args args{bin, path.c_str(), pinned};
    c = pipe_spawn(exec_korvane, &args, true);
    std::string line;
    if (!pipe_write(c, hello)) {
        pipe_finish(c);
        return false;
    }
    do {
        if (!pipe_read_line(c, line)) {
            pipe_finish(c);
            return false;
        }
    } while (line != "register|ready");
    return true;
}

int pipe_fixed_reply(void *arg) {
    auto *reply = static_cast<const char *>(arg);
    char *line = nullptr;
    size_t cap = 0;
    while (getline(&line, &cap, stdin) != -1) {
        fputs(reply, stdout);
        fflush(stdout);
    }
    free(line);
    return 0;
}

std::vector<double> pipe_interleave(const std::vector<pipe_child *> &children,
                                    const std::vector<std::string> &requests, size_t blocks,
                                    const std::function<bool(const std::string &, size_t)> &check) {
    std::vector<double> spent(children.size(), 0);
    size_t per_block = (requests.size() + blocks - 1) / blocks;
    std::string reply;
    for (size_t b = 0; b * per_block < requests.size(); b++) {
        size_t from = b * per_block, to = std::min(requests.size(), from + per_block);
        for (size_t turn = 0; turn < children.size(); turn++) {
            size_t c = (turn + b) % children.size();
            double start = now_seconds();
            for (size_t i = from; i < to; i++) {
                if (!pipe_write(*children[c], requests[i]) ||
                    !pipe_read_line(*children[c], reply) || (check && !check(reply, i))) {
                    fprintf(stderr, "pipe_interleave: child %zu failed at request %zu: %s\n", c, i,
                            reply.c_str());
                    exit(1);
                }
            }
            spent[c] += now_seconds() - start;
        }
    }
    for (double &s : spent)
        s /= static_cast<double>(requests.size());
    return spent;
}
