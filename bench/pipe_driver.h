// A child process behind two pipes, driven as a host drives a table backend.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

struct pipe_child {
    pid_t pid = -1;
    int to_child = -1;   // the child's stdin
    int from_child = -1; // the child's stdout
    std::string pending; // read but not yet returned, from offset on
    size_t offset = 0;
};

// Keeps the driver on the second core; children run on the first.
void pipe_pin_driver();
// Forks a child whose stdin and stdout are pipes and runs fn in it; fn's
// result becomes the child's exit status. stderr goes to /dev/null when quiet.
pipe_child pipe_spawn(int (*fn)(void *), void *arg, bool quiet);
// Writes all of data; false on error.
bool pipe_write(pipe_child &c, const std::string &data);
// Reads one line (without its line feed) into line; false at end of input.
bool pipe_read_line(pipe_child &c, std::string &line);
// Closes the child's stdin and waits for it; returns its exit status and,
// when the pointers are given, the user and system time the child used.
int pipe_finish(pipe_child &c, double *user_seconds = nullptr, double *sys_seconds = nullptr);
double now_seconds();

// Starts korvane (the binary at bin) with the configuration at path and
// completes the handshake. False when it did not come up; the child is then
// finished. Unpinned, it may run on any core, as a fleet's members do.
bool pipe_start_korvane(pipe_child &c, const char *bin, const std::string &path,
                        bool pinned = true);
// A child body: answers every line with arg, a const char * holding one
// reply line, flushed, until its input ends.
int pipe_fixed_reply(void *arg);

// Drives every child through the same requests, one at a time, in blocks
// that alternate between the children (which goes first rotates), so that
// a drift of the machine's speed touches all of them alike. check, if
// given, judges reply i of a child; false ends the run. Seconds per request
// for each child.
std::vector<double>
pipe_interleave(const std::vector<pipe_child *> &children, const std::vector<std::string> &requests,
                size_t blocks,
                const std::function<bool(const std::string &reply, size_t i)> &check = {});
