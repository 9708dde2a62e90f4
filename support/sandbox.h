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
// True when path is one of paths or beneath one.
bool sandbox_covers(const std::vector<std::string> &paths, const std::string &path);
// True unless the process is sandboxed and no write grant that took covers
// path (a directory that did not exist when it was entered is not granted).
bool sandbox_may_write(const std::string &path);
