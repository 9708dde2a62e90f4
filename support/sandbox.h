// The opt-in sandbox: once korvane has started, it gives up what serving
// does not need. No new privileges, not dumpable (a core would hold the
// password), the file system confined with Landlock to reading beneath the
// granted paths (and writing beneath the granted directories), TCP connect
// confined to the granted ports where the kernel's Landlock has network
// rules, and a seccomp allow-list of the system calls that serving,
// reconnecting, resolving, TLS, syslog and reloading use; any other call
// fails with EPERM. It cannot be left again.
#pragma once

#include <string>
#include <vector>

struct sandbox_grants {
    std::vector<std::string> read_paths;     // files or directories read beneath
    std::vector<std::string> write_paths;    // directories written beneath
    std::vector<int> tcp_ports;              // TCP ports connect may reach
    std::vector<std::string> optional_reads; // read beneath where they exist
};

// Confines the process for good. Each path that cannot be granted is named
// in a warning with the reason, but an optional one that does not exist
// (libpq reads it only if it does) and a directory to write that does not
// exist yet (its writer says so when it needs it). What the kernel cannot
// confine (no Landlock, no network rules, a ruleset or filter refused) is
// applied as far as it goes and said in one "not confined" warning. False
// after a warning when the system-call filter could not be installed; the
// process is then confined as far as it got.
bool sandbox_enter(const sandbox_grants &grants);
// The two layers sandbox_enter applies, each on its own (both also set no
// new privileges): Landlock for files and TCP ports, naming each path it
// cannot grant and adding what the kernel cannot confine to *missing; and
// the system-call filter, false when it could not be installed.
void sandbox_confine_files(const sandbox_grants &grants, std::string *missing);
bool sandbox_filter_calls();
// path made absolute (from the working directory) with ".", ".." and
// repeated "/" resolved by the text alone, so that "dir/../x" is judged as
// the "x" it names.
std::string sandbox_normal(const std::string &path);
// True when path is one of paths or beneath one, both normalized.
bool sandbox_covers(const std::vector<std::string> &paths, const std::string &path);
// True unless the process is sandboxed and no write grant that took covers
// path (a directory that did not exist when it was entered is not granted).
bool sandbox_may_write(const std::string &path);
