// The cache's listening connection: a session of its own beside the one
// statements run on, that LISTENs on cache_listen so that notifications keep
// the cache true, and says whether they do. It owns the record's listener
// and never waits: every step polls with a zero timeout, and the waits of a
// request move it on through the execution layer's side connection, which
// only connect and read LISTEN's answer. What it hears is applied through
// cache_apply, by listen_step, listen_fresh and listen_close alone, in the
// order the server sent it.
//
// Entries answer as fresh only while it is known to be good: listening,
// read to its end, alive (it said something within SIGN_LOST_MS; korvane
// asks for a sign of life only while entries are held or a burst of
// notifications must be proven read, and judges it silent only when such a
// sign does not come), and caught up after a burst.
#pragma once

#include <cstdint>
#include <libpq-fe.h>

struct backend;

// None, or down until its next attempt; connecting; LISTEN sent;
// listening; LISTEN refused by a hot standby, when the cache keeps to its
// TTLs until the next connection.
enum listen_state { LISTEN_DOWN, LISTEN_CONNECTING, LISTEN_ASKING, LISTEN_ON, LISTEN_REFUSED };

// What the listener has logged since it last listened, so that each kind
// of trouble is said once and a refusal after a loss is still said.
enum listen_logged : uint8_t { LISTEN_LOGGED_NONE, LISTEN_LOGGED_TROUBLE, LISTEN_LOGGED_REFUSED };

// Zero-filled: none wanted.
struct listener {
    PGconn *conn;                         // null while there is none
    listen_state state;                   // where it is
    PostgresPollingStatusType connecting; // its connect's last step
    bool wanted;                          // cache_listen applies to this connection
    listen_logged logged;                 // what has been said since it last listened
    bool behind;                          // the last read left data unread
    bool seen_quiet;                      // the host's wake-up found its socket quiet
    bool quiet_now;                       // ... for the request in progress
    bool position_asked;                  // the sign of life out asks for the WAL position
    uint32_t attempts;                    // since it last listened; picks its own conninfo's host
    int64_t since;        // exec_now_ms() when state began; for DOWN, when the next attempt is due
    int64_t last_sign;    // exec_now_ms() when it last said anything
    int64_t ping_sent_at; // exec_now_ms() when the sign of life out on it was asked; 0: none
    uint64_t unproven;    // notification bytes read since it last answered a sign of life
    // Changes heard of: a notification applied, or a LISTEN begun (which
    // may have missed some). A standby's answer is kept only once the
    // primary's WAL position after the last of them is known and the
    // standby has replayed it.
    uint64_t marks;
    uint64_t asked_marks;   // marks when the position out was asked
    uint64_t covered_marks; // marks the known position covers
    uint64_t position;      // the primary's WAL position after covered_marks
};

// At every connect, before the statements' connection is made: closes the
// old listener and, when cache_listen applies (a cache is on, and with
// prepared_statements off only with cache_listen_conninfo, else with a
// warning that it does not), starts a new one at once, so that both
// connections' round trips overlap: from cache_listen_conninfo, a host at
// a time, or from the conninfo. One it cannot start now (several hosts or
// a name in the conninfo; a name in cache_listen_conninfo, resolved while
// the host is idle) waits for listen_connected or the idle time.
void listen_connect(backend *b);
// Once the statements' connection is made: starts a listener beside it
// when listen_connect could not.
void listen_connected(backend *b);
// Moves the listener on as far as it can without waiting, applying what it
// read: reconnects when due, connects, reads, asks for signs of life and,
// while statements may read a standby, for the primary's WAL position
// after the changes it heard of. While the host is idle (idle: a host
// name of cache_listen_conninfo may be resolved then, within
// LISTEN_RESOLVE_MS) and before fetches.
void listen_step(backend *b, bool idle = false);
// Before an entry answers: reads what the listener holds in bounded slices
// and applies it; true when entries may answer as fresh (or the cache keeps
// to its TTLs, with nothing to listen with).
bool listen_fresh(backend *b);
// The host's wake-up found the listener's socket quiet: the request it
// wakes for need not look again.
void listen_seen_quiet(backend *b);
// Starts a request: what the wake-up saw applies to it alone.
void listen_begin_request(backend *b);
// The descriptor to watch while the host is idle (or -1), the events and
// the most milliseconds to wait: until its next attempt, the end of its
// connect or LISTEN, the answer to a sign of life, or while entries are
// held the next sign of life. listen_step runs when it is ready or the
// time has passed.
int listen_idle_fd(backend *b, int *timeout_ms, short *events);
// Ends the listener, applying what it already read; entries do not answer
// as fresh until a new one listens.
void listen_close(backend *b);
// True while it listens.
bool listen_on(const backend *b);
// True when cache_listen applies to b's connection.
bool listen_wanted(const backend *b);
// True when an answer read at a standby's replay position (REPLAY_CURRENT
// from a primary) may be kept: it holds every change the listener heard
// of. Always true when the cache keeps to its TTLs.
bool listen_covers(const backend *b, uint64_t replayed);
