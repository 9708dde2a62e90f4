// The configuration linter behind korvane-query --check: one run reports
// every problem of a configuration file, each on one line of stdout,
// prefixed "FILE:LINE: " where a line is involved.
//
// It reads the file with korvane's own line parser and judges every key,
// then connects with the file's conninfo (under its request_timeout_ms) and
// prepares, describes and runs each statement once inside a READ ONLY
// transaction that is rolled back, with a NULL key. It never prints a value
// of conninfo, so a password in it stays out of the output.
#pragma once

// 0 when the file is clean (notes aside), 1 when it has any problem.
int query_check_config(const char *path);
