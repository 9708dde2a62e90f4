// The configuration checker behind korvane-query --check: one run reports
// every problem of a configuration file, each on one line, prefixed
// "FILE:LINE: " where a line is involved, judged by the loader's own
// reader and validator, so that it fails a file exactly when korvane
// refuses it and warns of what korvane accepts but likely is a mistake.
// Then it may connect with the file's conninfo (under its
// request_timeout_ms) and prepare, describe and run each statement once
// inside a READ ONLY transaction that is rolled back, with a NULL key. It
// never prints a value of conninfo.
#pragma once

#include <cstdio>

// Judges the configuration at path and, when connect is set, every
// statement against the database, writing one line per finding to out. 0
// when korvane accepts the file (warnings and notes aside, unless strict),
// 1 otherwise.
int lint_file(const char *path, bool connect, FILE *out, bool strict = false);
