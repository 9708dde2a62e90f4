// What the sandbox grants a configuration: reading beneath the file's
// directory, the files libpq, TLS and name resolution read, TCP connect to
// the conninfo's ports (and DNS), and writing the metrics file's
// directory; entering the sandbox with them once, and judging whether a
// new configuration needs more than was granted. It owns the grants in
// force.
#pragma once

#include "support/sandbox.h"

struct backend;

// What the sandbox grants b, loaded from path.
void grants_collect(backend *b, const char *path, sandbox_grants *g);
// With sandbox on, confines the process for good with what b loaded from
// path needs (once, at start-up after the first connect, the resolver's
// files kept first).
void grants_enter(backend *b, const char *path);
// True unless the process is sandboxed and fresh, loaded from path, needs
// what the sandbox did not grant; then false after a warning naming it.
bool grants_suffice(backend *fresh, const char *path);
