// Runs programs under test as child processes: a whole conversation at once
// (stdin from a string, stdout and stderr captured), or line by line.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

struct run_result {
    int status = -1; // exit status, or 128 + signal number
    pid_t pid = -1;
    std::string out;
    std::string err;
};

// Feeds `input` on stdin (or opens `stdin_path`), waits for the exit.
run_result run_program(const std::vector<std::string> &argv, const std::string &input,
                       const char *stdin_path = nullptr, const char *stdout_path = nullptr);

// "prog[pid]: text\n", the form of the program's own log lines.
std::string log_line(const std::string &prog, pid_t pid, const std::string &text);

// How a host starts its table processes: as its own user, with the
// environment it passes (not the test's), its umask, and argv[0] set to
// the table's name; and what else the child does before it runs the
// program (a mount namespace of its own, say; false ends it with 77).
struct child_setup {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<std::string> env; // empty: the test's own
    mode_t umask = 022;
    std::string argv0; // empty: the program's path
    std::function<bool()> in_child;
};

// A child spoken to one line at a time; stderr is kept in a file.
class child_process {
  public:
    child_process() = default;
    child_process(const child_process &) = delete;
    child_process &operator=(const child_process &) = delete;
    ~child_process();

    // Starts argv (argv[0] the program's path), as setup says when given.
    bool start(const std::vector<std::string> &argv, const child_setup *setup = nullptr);
    void send(const std::string &line); // appends the line feed
    // Next stdout line without its line feed; "<eof>" or "<timeout>".
    std::string read_line(int timeout_ms = 20000);
    // Sends the line and reads one reply line.
    std::string ask(const std::string &line) {
        send(line);
        return read_line();
    }
    int finish(); // closes stdin, waits, returns the status as run_result does
    std::string err() const;
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string err_path_;
    std::string pending_;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &text);
// A new temporary file path that is removed at process exit.
std::string temp_path(const char *tag);
// Open file descriptors of a process (0: this one).
int count_open_fds(pid_t pid = 0);
// Resident set size of a process in KiB (0: this one).
long rss_kib(pid_t pid = 0);
// User plus system time a process has used so far, in seconds.
double cpu_seconds(pid_t pid);

int stderr_redirect_begin(const std::string &path);
void stderr_redirect_end(int saved);

// Runs fn with this process's stderr sent to a file; returns what it wrote.
template <typename F> std::string capture_stderr(F fn) {
    std::string path = temp_path("stderr");
    int saved = stderr_redirect_begin(path);
    fn();
    stderr_redirect_end(saved);
    return read_file(path);
}
