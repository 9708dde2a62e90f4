#include "proto/query_check.h"

#include "backend/backend.h"
#include "support/compat.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>

namespace {

struct setting {
    std::string value;
    int line = 0;
};

struct checker {
    const char *path;
    int32_t timeout_ms;                      // each step's deadline, as korvane's requests have
    std::map<std::string, setting> settings; // first occurrence of each key
    int problems = 0;

    [[gnu::format(printf, 4, 5)]] void report(bool problem, int line, const char *fmt, ...) {
        if (line > 0)
            printf("%s:%d: ", path, line);
        else
            printf("%s: ", path);
        va_list ap;
        va_start(ap, fmt);
        vprintf(fmt, ap);
        va_end(ap);
        putchar('\n');
        problems += problem ? 1 : 0;
    }
};

// The first line of libpq's text: the reason; what follows (the statement
// with a caret, hints) does not survive being put on one line.
std::string one_line(const char *text) {
    std::string s = text != nullptr ? text : "";
    s = s.substr(0, s.find('\n'));
    for (char &c : s)
        if (c == '\t')
            c = ' ';
    return s;
}

void check_value(checker &c, const char *key, const char *value, int line) {
    if (!backend_known_key(key)) {
        if (const char *near = backend_suggest_key(key); near != nullptr)
            c.report(true, line, "%s: unknown key, ignored; did you mean %s?", key, near);
        else
            c.report(true, line, "%s: unknown key, ignored", key);
        return;
    }
    if (value[0] == '=')
        c.report(true, line,
                 "%s: the value starts with \"=\"; the key is followed by white space or \": \"",
                 key);
    if (strcmp(key, "prepared_statements") == 0 && strcmp(value, "on") != 0 &&
        strcmp(value, "off") != 0)
        c.report(true, line, "%s: bad value: must be on or off", key);
    if (const char *why = backend_judge_value(key, value); why != nullptr)
        c.report(true, line, "%s: bad value: %s", key, why);
    bool number = backend_number_key(key);
    if ((number || strcmp(key, "conninfo") == 0) && strstr(value, " #") != nullptr)
        c.report(true, line, "%s: \" #\" inside the value; comments only start a line", key);
    if (number) {
        const char *error = nullptr;
        (void)strtonum(value, 0, INT32_MAX, &error);
        if (error != nullptr)
            c.report(true, line, "%s: bad value: %s (a whole number from 0 to 2147483647)", key,
                     error);
    }
}

// Reads the file line by line as korvane does, judging every line.
bool read_file(checker &c) {
    FILE *f = fopen(c.path, "r");
    if (f == nullptr) {
        c.report(true, 0, "cannot open: %s", strerror(errno));
        return false;
    }
    char *buf = nullptr;
    size_t cap = 0;
    ssize_t n;
    for (int line = 1; (n = getline(&buf, &cap, f)) != -1; line++) {
        if (n > 0 && buf[n - 1] == '\n')
            buf[n - 1] = '\0';
        const char *key = nullptr;
        char *value = nullptr;
        int r = backend_split_line(buf, &key, &value);
        if (r == 0)
            continue;
        if (r < 0) {
            c.report(true, line, "%s: missing value", key);
            continue;
        }
        if (auto it = c.settings.find(key); it != c.settings.end()) {
            c.report(true, line, "%s: duplicate key, first on line %d", key, it->second.line);
            continue;
        }
        c.settings[key] = {value, line};
        check_value(c, key, value, line);
    }
    free(buf);
    fclose(f);
    return true;
}

// Prepares, describes and runs one statement; reports what it finds.
void check_statement(checker &c, PGconn *conn, const char *key, int params, int columns) {
    auto it = c.settings.find(key);
    if (it == c.settings.end()) {
        printf("%s: %s: not configured\n", c.path, key);
        return;
    }
    int line = it->second.line;
    const char *sql = it->second.value.c_str();
    exec_begin(c.timeout_ms);
    // Everything happens in one READ ONLY transaction that is rolled back,
    // begun first: a simple query would drop the unnamed statement.
    pg_result_ptr res{exec_command(conn, "BEGIN READ ONLY", "probing")};
    struct rollback {
        PGconn *conn;
        ~rollback() { PQclear(exec_command(conn, "ROLLBACK", "probing")); }
    } guard{conn};
    res.reset(exec_prepare(conn, "", sql, params, "preparing"));
    if (exec_expired()) {
        c.report(true, line, "%s: timed out after %d ms", key, c.timeout_ms);
        return;
    }
    if (PQresultStatus(res.get()) != PGRES_COMMAND_OK) {
        c.report(true, line, "%s: rejected: %s", key, one_line(PQerrorMessage(conn)).c_str());
        return;
    }
    res.reset(exec_describe(conn, "", "describing"));
    if (PQresultStatus(res.get()) != PGRES_COMMAND_OK) {
        c.report(true, line, "%s: cannot describe: %s", key,
                 one_line(PQerrorMessage(conn)).c_str());
        return;
    }
    int got_params = PQnparams(res.get());
    int got_columns = PQnfields(res.get());
    bool ok = true;
    if (got_params != params) {
        c.report(true, line, "%s: takes %d parameters, korvane passes %d", key, got_params, params);
        ok = false;
    }
    if (got_columns < columns) {
        c.report(true, line, "%s: returns %d columns, the answer needs %d", key, got_columns,
                 columns);
        ok = false;
    } else if (got_columns > columns) {
        c.report(false, line, "%s: note: returns %d columns; only the first %d %s used", key,
                 got_columns, columns, columns == 1 ? "is" : "are");
    }
    if (!ok)
        return;
    // Whether the role may run it. A NULL key casts to any parameter type,
    // so the probe meets no data error.
    const char *values[1] = {nullptr};
    res.reset(exec_prepared(conn, "", params, values, "probing"));
    bool ran = PQresultStatus(res.get()) == PGRES_TUPLES_OK;
    std::string why = ran ? "" : one_line(PQerrorMessage(conn));
    if (exec_expired())
        c.report(true, line, "%s: timed out after %d ms", key, c.timeout_ms);
    else if (!ran)
        c.report(true, line, "%s: cannot run: %s", key,
                 why.empty() ? "it returns no rows (not a query)" : why.c_str());
    else
        printf("%s:%d: %s: ok (%d parameter%s, %d column%s)\n", c.path, line, key, got_params,
               got_params == 1 ? "" : "s", got_columns, got_columns == 1 ? "" : "s");
}

} // namespace

int query_check_config(const char *path) {
    checker c{path, 0, {}, 0};
    if (read_file(c)) {
        auto conninfo = c.settings.find("conninfo");
        if (conninfo == c.settings.end()) {
            c.report(true, 0, "conninfo: missing; korvane cannot connect");
        } else {
            if (auto t = c.settings.find("request_timeout_ms"); t != c.settings.end())
                c.timeout_ms =
                    static_cast<int32_t>(strtonum(t->second.value.c_str(), 0, INT32_MAX, nullptr));
            exec_begin(c.timeout_ms);
            pg_conn_ptr conn{exec_connect(conninfo->second.value.c_str())};
            if (PQstatus(conn.get()) != CONNECTION_OK) {
                c.report(true, conninfo->second.line, "conninfo: cannot connect: %s",
                         exec_expired() ? "timed out"
                                        : one_line(exec_connect_error(conn.get())).c_str());
            } else {
                // A statement that ran out of time leaves the connection
                // busy; the rest cannot be checked on it.
                for (int slot = 0; slot < BACKEND_SLOTS && !exec_expired(); slot++) {
                    bool fetch = slot == BACKEND_FETCH_SLOT;
                    check_statement(c, conn.get(), backend_slot_key(slot), fetch ? 0 : 1,
                                    fetch ? 1 : query_specs[slot].columns);
                }
            }
        }
    }
    if (c.problems > 0)
        printf("%s: %d problem%s\n", path, c.problems, c.problems == 1 ? "" : "s");
    else
        printf("%s: ok\n", path);
    return c.problems > 0 ? 1 : 0;
}
