// The table protocol engine: the handshake, the request lines cut in
// place, the handlers called and one flushed reply per request; see
// proto.h.
#include "proto/proto.h"

#include "support/compat.h"
#include "support/log.h"
#include "support/stats.h"
#include "support/util.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <poll.h>
#include <string_view>
#include <unistd.h>

namespace {

update_handler on_update;
check_handler on_check;
lookup_handler on_lookup;
fetch_handler on_fetch;
idle_watch on_watch;
idle_handler on_idle;

char current_table[128];
dict request_params;

// Request lines longer than this answer error unread: a mail key is never
// longer than a few hundred bytes, and a line must not hold its memory for
// ever.
constexpr size_t LINE_MAX_BYTES = 64 * 1024;

// The host's input, read from descriptor 0 into a buffer of a fixed size
// that holds at least one whole line of the most allowed. Lines are cut in
// place. Reset by every proto_run.
struct input_buffer {
    char data[2 * LINE_MAX_BYTES + 2];
    size_t start; // first byte not yet handed out
    size_t end;   // one past the last byte read
    bool eof;
};
input_buffer in;

// Replies gathered for one write each. SIGUSR1 interrupts system calls (so
// that a wait in a plain read wakes for it), and stdio would lose a reply
// to a write it interrupted: this retries.
struct output_buffer {
    char data[8192];
    size_t len;
};
output_buffer out;

void flush_reply() {
    for (size_t at = 0; at < out.len;) {
        ssize_t n = write(STDOUT_FILENO, out.data + at, out.len - at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            err(1, "fflush");
        at += static_cast<size_t>(n);
    }
    out.len = 0;
}

void put_bytes(const char *text, size_t len) {
    while (len > 0) {
        if (out.len == sizeof out.data)
            flush_reply();
        size_t n = std::min(len, sizeof out.data - out.len);
        memcpy(out.data + out.len, text, n);
        out.len += n;
        text += n;
        len -= n;
    }
}

void put_text(const char *text) {
    put_bytes(text, strlen(text));
}

// Reads more of the host's input behind what is buffered. False at the end
// of input; a read error ends the process as getline's did. A signal that
// interrupts the read gets the record it asked for at once.
bool fill() {
    if (in.start > 0) {
        memmove(in.data, in.data + in.start, in.end - in.start);
        in.end -= in.start;
        in.start = 0;
    }
    for (;;) {
        ssize_t n = read(STDIN_FILENO, in.data + in.end, sizeof in.data - 1 - in.end);
        if (n > 0) {
            in.end += static_cast<size_t>(n);
            return true;
        }
        if (n == 0) {
            in.eof = true;
            return false;
        }
        if (errno != EINTR)
            err(1, "getline");
        if (stats_wanted())
            stats_tick(stats_now_us());
    }
}

char *drop_long_line(size_t *len);

// The next line, without its line feed, NUL-terminated in place, and its
// length in *len (a NUL inside counts). A line longer than LINE_MAX_BYTES
// is read to its end and dropped in pieces: *len then says how long it was
// and the line holds its first LINE_MAX_BYTES bytes. Null at the end of
// input; a last line without a line feed counts.
char *next_line(size_t *len) {
    for (;;) {
        char *begin = in.data + in.start;
        size_t have = in.end - in.start;
        if (auto *nl = static_cast<char *>(memchr(begin, '\n', have)); nl != nullptr) {
            *nl = '\0';
            *len = static_cast<size_t>(nl - begin);
            in.start += *len + 1;
            return begin;
        }
        if (have > LINE_MAX_BYTES)
            return drop_long_line(len);
        if (in.eof || !fill()) {
            // fill may have moved what is buffered to the start.
            begin = in.data + in.start;
            *len = in.end - in.start;
            if (*len == 0)
                return nullptr;
            in.data[in.end] = '\0';
            in.start = in.end;
            return begin;
        }
    }
}

// A line too long: keeps its first LINE_MAX_BYTES for the reply and drops
// the rest as it comes, up to the line feed, in the buffer's spare room.
char *drop_long_line(size_t *len) {
    size_t total = in.end - in.start;
    memmove(in.data, in.data + in.start, LINE_MAX_BYTES);
    in.data[LINE_MAX_BYTES] = '\0';
    char *drop = in.data + LINE_MAX_BYTES + 1;
    size_t room = sizeof in.data - 1 - (LINE_MAX_BYTES + 1);
    *len = total;
    in.start = in.end = LINE_MAX_BYTES + 1;
    for (;;) {
        ssize_t n = read(STDIN_FILENO, drop, room);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            err(1, "getline");
        if (n == 0) {
            in.eof = true;
            return in.data;
        }
        auto *nl = static_cast<char *>(memchr(drop, '\n', static_cast<size_t>(n)));
        if (nl == nullptr) {
            *len += static_cast<size_t>(n);
            continue;
        }
        *len += static_cast<size_t>(nl - drop);
        in.start = static_cast<size_t>(nl + 1 - in.data);
        in.end = static_cast<size_t>(drop + n - in.data);
        return in.data;
    }
}

// Splits off the field that ends at the next "|" of *rest; null when there is
// no separator left.
char *cut_field(char **rest) {
    char *field = *rest;
    char *sep = strchr(field, '|');
    if (sep == nullptr)
        return nullptr;
    *sep = '\0';
    *rest = sep + 1;
    return field;
}

// The host's own bytes in a fatal line, escaped and cut, so that they can
// neither forge a log line nor drive a terminal.
const char *shown(const char *field) {
    static char buf[512];
    (void)escape_text(field, strlen(field), buf, sizeof buf);
    return buf;
}

// Writes "<head><id><tail>", or "<head><id><tail><value>\n" when a value is
// given (the tail then ends in a separator, not a line feed). Putting the
// parts one by one gives the bytes of a printf format without parsing one
// per request.
void write_reply(const char *head, const char *id, const char *tail, const char *value = nullptr) {
    put_text(head);
    put_text(id);
    put_text(tail);
    if (value != nullptr) {
        put_text(value);
        put_bytes("\n", 1);
    }
}

const char *status_tail(int32_t r) {
    return r == 1 ? "|found\n" : r == 0 ? "|not-found\n" : "|error\n";
}

// Check, lookup and fetch replies share their wording; found values follow
// the status after one more separator.
void write_result(const char *head, const char *id, int32_t r, const char *value) {
    if (r == 1 && value != nullptr)
        write_reply(head, id, "|found|", value);
    else
        write_reply(head, id, status_tail(r));
}

// Names of services already warned about as not served, so that a host
// asking one of them on every request logs it once. Bounded: a host that
// invents names without end stops being told about new ones.
constexpr int UNSERVED_MAX = 32;
char unserved[UNSERVED_MAX][64];
int unserved_count;

// The kind of a service name. A name korvane does not serve is a mistake
// in the host's configuration, not in this conversation: the request
// answers error and the table goes on serving everything else.
service_kind served_kind(const char *name) {
    service_kind svc = service_from_name(name);
    if (svc != 0)
        return svc;
    for (int i = 0; i < unserved_count; i++)
        if (strncmp(unserved[i], name, sizeof unserved[i]) == 0)
            return 0;
    if (unserved_count < UNSERVED_MAX) {
        (void)strlcpy(unserved[unserved_count++], name, sizeof unserved[0]);
        warn_msg("warn: %s: service %s is not served; this table answers error for it",
                 current_table, name);
    }
    return 0;
}

// The sooner of two timeouts in milliseconds, -1 meaning none.
int sooner(int a, int b) {
    return a < 0 ? b : b < 0 ? a : std::min(a, b);
}

// Waits for the host's next line, serving the handlers' descriptor, the
// statistics and the log's repeat counts meanwhile (never between reading a
// request and its reply); returns once stdin is readable (or at its end or
// an error, which the read then reports). With nothing else to wait for it
// returns at once: the read itself waits, and a signal interrupts it. A
// signal wakes the wait, so that the record it asked for is written while
// the host is idle.
void wait_for_host() {
    if (stats_wanted())
        stats_tick(stats_now_us());
    log_flush_due();
    while (in.end == in.start && !in.eof) {
        int timeout = -1;
        short events = POLLIN;
        int fd = on_watch != nullptr ? on_watch(&timeout, &events) : -1;
        timeout = sooner(timeout, stats_wanted() ? stats_due_ms(stats_now_us()) : -1);
        timeout = sooner(timeout, log_due_ms());
        if (fd < 0 && timeout < 0)
            return;
        pollfd p[2] = {{STDIN_FILENO, POLLIN, 0}, {fd, events, 0}};
        int n = poll(p, fd >= 0 ? 2 : 1, timeout);
        if (stats_wanted())
            stats_tick(stats_now_us());
        log_flush_due();
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return;
        bool ready = n == 0 || (fd >= 0 && p[1].revents != 0);
        if (on_idle != nullptr)
            on_idle(ready);
        if (p[0].revents != 0)
            return;
    }
}

bool starts_with(const char *line, std::string_view prefix) {
    return strncmp(line, prefix.data(), prefix.size()) == 0;
}

// Checks the head of a request line, "table|VERSION|TIMESTAMP|TABLE|TYPE|",
// keeps the table name and returns the type, with *rest after it.
char *request_type(char *line, size_t len, char **rest) {
    // A NUL inside the line would cut the key short and answer the request
    // for a different key than the host asked about.
    if (memchr(line, '\0', len) != nullptr || !starts_with(line, "table|"))
        errx(1, "malformed line");
    *rest = line + 6;
    char *version = cut_field(rest);
    if (version == nullptr)
        errx(1, "malformed line: missing version");
    if (strcmp(version, "0.1") != 0)
        errx(1, "unsupported protocol version: %s", shown(version));
    if (cut_field(rest) == nullptr)
        errx(1, "malformed line: missing timestamp");
    char *table = cut_field(rest);
    if (table == nullptr)
        errx(1, "malformed line: missing table name");
    // The table name is informational only; a longer one is cut on purpose.
    (void)strlcpy(current_table, table, sizeof current_table);
    char *type = cut_field(rest);
    if (type == nullptr)
        errx(1, "malformed line: missing type");
    return type;
}

// What a request was, for the statistics: its type, the slot of its
// service and the handler's result (1, 0 or -1).
struct served {
    stats_type type;
    int service;
    int32_t result;
};

int service_index(service_kind svc) {
    int slot = service_slot(svc);
    return slot >= 0 ? slot : STATS_NO_SERVICE;
}

served serve_update(const char *id) {
    if (on_update == nullptr)
        errx(1, "no update handler registered");
    int32_t r = on_update();
    write_reply("update-result|", id, r == -1 ? "|error\n" : "|ok\n");
    flush_reply();
    return {STATS_UPDATE, STATS_NO_SERVICE, r == -1 ? -1 : 1};
}

served serve_fetch(const char *service, const char *id, char *value) {
    if (on_fetch == nullptr)
        errx(1, "no fetch handler registered");
    service_kind svc = served_kind(service);
    int32_t r = svc == 0 ? -1 : on_fetch(svc, &request_params, value, PROTO_VALUE_SIZE);
    write_result("fetch-result|", id, r, value);
    flush_reply();
    memset(value, 0, PROTO_VALUE_SIZE);
    return {STATS_FETCH, service_index(svc), r};
}

// check and lookup: the rest of the line is "ID|KEY", the key whole.
served serve_keyed(const char *type, const char *service, char *rest, char *value) {
    char *id = cut_field(&rest);
    if (id == nullptr)
        errx(1, "malformed line: missing key");
    const char *key = rest;
    if (strcmp(type, "check") == 0) {
        if (on_check == nullptr)
            errx(1, "no check handler registered");
        service_kind svc = served_kind(service);
        int32_t r = svc == 0 ? -1 : on_check(svc, &request_params, key);
        write_result("check-result|", id, r, nullptr);
        flush_reply();
        return {STATS_CHECK, service_index(svc), r};
    }
    if (strcmp(type, "lookup") != 0)
        errx(1, "unknown action %s", shown(type));
    if (on_lookup == nullptr)
        errx(1, "no lookup handler registered");
    service_kind svc = served_kind(service);
    int32_t r = svc == 0 ? -1 : on_lookup(svc, &request_params, key, value, PROTO_VALUE_SIZE);
    write_result("lookup-result|", id, r, value);
    memset(value, 0, PROTO_VALUE_SIZE);
    flush_reply();
    return {STATS_LOOKUP, service_index(svc), r};
}

served serve_request(char *line, size_t len, char *value) {
    char *rest = nullptr;
    char *type = request_type(line, len, &rest);
    if (strcmp(type, "update") == 0)
        return serve_update(rest);
    char *service = cut_field(&rest);
    if (service == nullptr)
        errx(1, "malformed line: missing service");
    if (strcmp(type, "fetch") == 0)
        return serve_fetch(service, rest, value);
    return serve_keyed(type, service, rest, value);
}

// Serves one request and counts it, timed from the line read to the reply
// flushed.
void serve_counted(char *line, size_t len, char *value) {
    int64_t start = stats_now_us();
    served s = serve_request(line, len, value);
    int64_t end = stats_now_us();
    stats_outcome outcome = s.result == 1   ? STATS_FOUND
                            : s.result == 0 ? STATS_NOT_FOUND
                                            : STATS_ERROR;
    stats_request(s.type, s.service, outcome, end - start);
}

} // namespace

void proto_set_update_handler(update_handler h) {
    on_update = h;
}
void proto_set_check_handler(check_handler h) {
    on_check = h;
}
void proto_set_lookup_handler(lookup_handler h) {
    on_lookup = h;
}
void proto_set_fetch_handler(fetch_handler h) {
    on_fetch = h;
}
void proto_set_idle_handler(idle_watch watch, idle_handler idle) {
    on_watch = watch;
    on_idle = idle;
}

const char *proto_table_name() {
    return current_table;
}

service_kind service_from_name(const char *name) {
    for (int slot = 0; slot < SERVICE_COUNT; slot++)
        if (query_specs[slot].name == name)
            return query_specs[slot].kind;
    return 0;
}

int service_slot(service_kind svc) {
    // (svc & (svc - 1)) rather than has_single_bit, which without the
    // popcount instruction is a call into libgcc on every request.
    if (svc == 0 || (svc & (svc - 1)) != 0 || svc > SVC_ALL)
        return -1;
    return std::countr_zero(svc);
}

const char *service_to_name(service_kind svc) {
    int slot = service_slot(svc);
    return slot >= 0 ? query_specs[slot].name.data() : nullptr;
}

const std::string &proto_register_block() {
    static const std::string block = [] {
        std::string b;
        for (int slot = 0; slot < SERVICE_COUNT; slot++)
            b += "register|" + std::string(query_specs[slot].name) + "\n";
        return b + "register|ready\n";
    }();
    return block;
}

namespace {

// A request line too long to serve: check, lookup and fetch answer error
// for their id, which comes early in the line; anything else breaks the
// protocol.
void serve_too_long(char *head, size_t len) {
    char *rest = head;
    char *fields[7] = {};
    for (char *&f : fields)
        f = cut_field(&rest);
    const char *type = fields[4];
    bool known = type != nullptr && (strcmp(type, "check") == 0 || strcmp(type, "lookup") == 0 ||
                                     strcmp(type, "fetch") == 0);
    // fetch has no key: its id is the rest of the line.
    const char *id = type != nullptr && strcmp(type, "fetch") == 0 ? rest : fields[6];
    if (!starts_with(fields[0] != nullptr ? fields[0] : "", "table") || !known || id == nullptr)
        errx(1, "malformed line: longer than %zu bytes", LINE_MAX_BYTES);
    warn_msg("warn: a request line of %zu bytes, longer than %zu, answers error", len,
             LINE_MAX_BYTES);
    put_text(type);
    write_reply("-result|", id, "|error\n");
    flush_reply();
}

} // namespace

int proto_run() {
    request_params = dict{};
    bool handshake = true;
    // Zeroed once here so the handlers never see stale bytes, then again
    // after every value reply.
    static char value[PROTO_VALUE_SIZE];

    in.start = in.end = 0;
    in.eof = false;

    for (;;) {
        if (!handshake)
            wait_for_host();
        size_t len = 0;
        char *line = next_line(&len);
        if (line == nullptr)
            return 0;
        if (len > LINE_MAX_BYTES) {
            if (handshake)
                errx(1, "malformed line: longer than %zu bytes", LINE_MAX_BYTES);
            serve_too_long(line, len);
            continue;
        }
        if (!handshake) {
            serve_counted(line, len, value);
            continue;
        }
        if (!starts_with(line, "config|"))
            errx(1, "unexpected config line: %s", shown(line));
        if (strcmp(line + 7, "ready") == 0) {
            put_bytes(proto_register_block().data(), proto_register_block().size());
            flush_reply();
            handshake = false;
        }
    }
}
