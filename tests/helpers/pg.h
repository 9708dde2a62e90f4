// The throwaway PostgreSQL server that the test run started (scripts/pgtest).
// A missing server fails the test that asks for it; it is never skipped.
#pragma once

#include <string>

// Superuser connection string of the test server; fails the test when the
// server was not started.
std::string pg_conninfo();
// A field of the test server's pgtest env file (PGPORT_NUM, PGSOCK,
// PGDATA_DIR).
std::string pg_env(const char *name);
// Runs SQL on a fresh admin connection; fails the test on error.
void pg_exec(const std::string &sql);
// Single value of a one-row query on a fresh admin connection.
std::string pg_value(const std::string &sql);
// Ends every session whose application_name is `app` and waits until each
// has exited (5 s at most); returns how many.
int pg_terminate(const std::string &app);
// Waits until the session named app has answered a LISTEN and is idle
// after it, then a moment for korvane to read the answer; false after 5 s.
bool pg_wait_listening(const std::string &app);
// Runs scripts/pgtest with the given command (restart fast, down, up, ...).
void pg_control(const std::string &command);
// A configuration file with the given settings after a conninfo line for the
// test server tagged with application_name=app, and the environment's
// KORVANE_TEST_CONFIG, if set, as its last line.
std::string pg_config_file(const std::string &app, const std::string &settings);
