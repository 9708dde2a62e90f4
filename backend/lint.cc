// The configuration checker; see lint.h.
#include "backend/lint.h"

#include "backend/config.h"
#include "backend/exec.h"
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

// What a finding means: korvane refuses the file (or cannot serve from it),
// korvane accepts it but it is likely a mistake, or only a remark.
enum severity { PROBLEM, WARNING, NOTE };

struct checker {
    const char *path;
    FILE *out;
    config_settings values;                  // what the good values say, as korvane reads them
    std::map<std::string, setting> settings; // first occurrence of each key
    int problems = 0;
    int warnings = 0;

    [[gnu::format(printf, 4, 5)]] void report(severity level, int line, const char *fmt, ...) {
        if (line > 0)
            fprintf(out, "%s:%d: ", path, line);
        else
            fprintf(out, "%s: ", path);
        if (level == WARNING)
            fputs("warning: ", out);
        va_list ap;
        va_start(ap, fmt);
        vfprintf(out, fmt, ap);
        va_end(ap);
        fputc('\n', out);
        problems += level == PROBLEM ? 1 : 0;
        warnings += level == WARNING ? 1 : 0;
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
    const config_rule *k = config_rule_of(key);
    if (k == nullptr) {
        c.report(WARNING, line, "%s: unknown key, ignored%s", config_shown_key(key).c_str(),
                 config_unknown_advice(key).c_str());
        return;
    }
    if (value[0] == '=')
        c.report(WARNING, line,
                 "%s: the value starts with \"=\"; the key is followed by white space or \": \"",
                 key);
    if ((k->kind == CONF_NUMBER || k->kind == CONF_TEXT || k->kind == CONF_CONNINFO) &&
        strstr(value, " #") != nullptr)
        c.report(WARNING, line, "%s: \" #\" inside the value; comments only start a line", key);
    if (std::string why = config_judge(*k, value); !why.empty())
        c.report(
            PROBLEM, line, "%s: bad value: %s%s", key, why.c_str(),
            k->kind == CONF_NUMBER
                ? (" (a whole number from " + std::to_string(k->min) + " to 2147483647)").c_str()
                : "");
    else
        config_apply(&c.values, *k, value);
}

// Reads the file line by line with korvane's reader, judging every line.
bool read_file(checker &c) {
    config_reader r;
    std::string why;
    if (!config_open(&r, c.path, &why)) {
        c.report(PROBLEM, 0, "cannot open: %s", why.c_str());
        return false;
    }
    config_line line;
    while (config_next(&r, &line)) {
        switch (line.finding) {
        case CONFIG_BLANK:
            break;
        case CONFIG_MISSING_VALUE:
            c.report(PROBLEM, line.number, "%s: missing value", config_shown_key(line.key).c_str());
            break;
        case CONFIG_DUPLICATE:
            c.report(PROBLEM, line.number, "%s: duplicate key, first on line %d",
                     config_shown_key(line.key).c_str(), line.first_line);
            break;
        case CONFIG_SETTING:
            c.settings[line.key] = {line.value, line.number};
            check_value(c, line.key, line.value, line.number);
            break;
        }
    }
    config_close(&r);
    return true;
}

// Judges the shape of a described statement against what korvane passes
// and reads; false when it cannot serve.
bool check_shape(checker &c, const PGresult *described, const char *key, int line, int params,
                 int columns) {
    int got_params = PQnparams(described);
    int got_columns = PQnfields(described);
    bool ok = true;
    if (got_params != params) {
        c.report(PROBLEM, line, "%s: takes %d parameters, korvane passes %d", key, got_params,
                 params);
        ok = false;
    }
    if (got_columns < columns) {
        c.report(PROBLEM, line, "%s: returns %d columns, the answer needs %d", key, got_columns,
                 columns);
        ok = false;
    } else if (got_columns > columns) {
        c.report(NOTE, line, "%s: note: returns %d columns; only the first %d %s used", key,
                 got_columns, columns, columns == 1 ? "is" : "are");
    }
    return ok;
}

// Whether the role may run the prepared statement: a NULL key casts to
// any parameter type, so the probe meets no data error.
void check_runs(checker &c, PGconn *conn, const char *key, int line, int params, int columns,
                exec_request &r) {
    const char *values[1] = {nullptr};
    pg_result_ptr res{exec_prepared(conn, "", params, values, "probing", r)};
    bool ran = PQresultStatus(res.get()) == PGRES_TUPLES_OK;
    std::string why = ran ? "" : one_line(PQerrorMessage(conn));
    if (r.expired)
        c.report(PROBLEM, line, "%s: timed out after %d ms", key, r.timeout_ms);
    else if (!ran)
        c.report(PROBLEM, line, "%s: cannot run: %s", key,
                 why.empty() ? "it returns no rows (not a query)" : why.c_str());
    else
        fprintf(c.out, "%s:%d: %s: ok (%d parameter%s, %d column%s)\n", c.path, line, key, params,
                params == 1 ? "" : "s", columns, columns == 1 ? "" : "s");
}

// Prepares, describes and runs one statement under r, a deadline of its
// own as korvane's requests have; reports what it finds.
void check_statement(checker &c, PGconn *conn, const char *key, int params, int columns,
                     exec_request &r) {
    auto it = c.settings.find(key);
    if (it == c.settings.end()) {
        fprintf(c.out, "%s: %s: not configured\n", c.path, key);
        return;
    }
    int line = it->second.line;
    // Everything happens in one READ ONLY transaction that is rolled back,
    // begun first: a simple query would drop the unnamed statement.
    pg_result_ptr res{exec_command(conn, "BEGIN READ ONLY", "probing", r)};
    struct rollback {
        PGconn *conn;
        exec_request &r;
        ~rollback() { PQclear(exec_command(conn, "ROLLBACK", "probing", r)); }
    } guard{conn, r};
    res.reset(exec_prepare(conn, "", it->second.value.c_str(), params, "preparing", r));
    if (r.expired) {
        c.report(PROBLEM, line, "%s: timed out after %d ms", key, r.timeout_ms);
        return;
    }
    if (PQresultStatus(res.get()) != PGRES_COMMAND_OK) {
        c.report(PROBLEM, line, "%s: rejected: %s", key, one_line(PQerrorMessage(conn)).c_str());
        return;
    }
    res.reset(exec_describe(conn, "", "describing", r));
    if (PQresultStatus(res.get()) != PGRES_COMMAND_OK) {
        c.report(PROBLEM, line, "%s: cannot describe: %s", key,
                 one_line(PQerrorMessage(conn)).c_str());
        return;
    }
    if (check_shape(c, res.get(), key, line, params, columns))
        check_runs(c, conn, key, line, PQnparams(res.get()), PQnfields(res.get()), r);
}

// Connects by the conninfo of key as korvane would; null, with the
// problem reported, when that fails.
pg_conn_ptr connect_as_korvane(checker &c, const char *key, const setting &s, exec_request &r) {
    pg_conn_ptr conn{exec_connect(s.value.c_str(), r)};
    if (PQstatus(conn.get()) == CONNECTION_OK)
        return conn;
    c.report(PROBLEM, s.line, "%s: cannot connect: %s", key,
             r.expired ? "timed out" : one_line(exec_connect_error(conn.get())).c_str());
    return nullptr;
}

// Connects as korvane would and checks every configured statement.
void check_database(checker &c, const setting &conninfo) {
    exec_request r = exec_begin(c.values.request_timeout_ms);
    pg_conn_ptr conn = connect_as_korvane(c, "conninfo", conninfo, r);
    if (!conn)
        return;
    // A statement that ran out of time leaves the connection busy; the rest
    // cannot be checked on it.
    for (const query_spec &row : query_specs) {
        r = exec_begin(c.values.request_timeout_ms);
        check_statement(c, conn.get(), row.config_key, row.parameters, row.columns, r);
        if (r.expired)
            break;
    }
}

// What a conninfo of the file (key: conninfo or cache_listen_conninfo)
// risks: a password every user can read, a password file libpq ignores, a
// server it does not verify.
void check_risks(checker &c, const char *key, const setting &s) {
    const char *conninfo = s.value.c_str();
    if (int mode = config_exposed_password(c.path, conninfo); mode >= 0)
        c.report(WARNING, s.line,
                 "%s: holds a password and the file is readable by every user (mode %04o); %s", key,
                 mode, CONFIG_MODE_ADVICE);
    if (std::string problem = config_passfile_problem(conninfo); !problem.empty())
        c.report(WARNING, s.line, "%s: %s", key, problem.c_str());
    if (std::string host = config_unverified_host(conninfo); !host.empty())
        c.report(WARNING, s.line, "%s: reaches %s, %s", key, host.c_str(), CONFIG_VERIFY_ADVICE);
}

// Connects as the listener would and asks whether LISTEN can work there:
// a standby refuses it.
void check_listener(checker &c, const setting &s) {
    exec_request r = exec_begin(c.values.request_timeout_ms);
    pg_conn_ptr conn = connect_as_korvane(c, "cache_listen_conninfo", s, r);
    if (!conn)
        return;
    pg_result_ptr res{exec_command(conn.get(), "SELECT pg_is_in_recovery()", "probing", r)};
    if (PQresultStatus(res.get()) != PGRES_TUPLES_OK)
        c.report(PROBLEM, s.line, "cache_listen_conninfo: cannot ask the server: %s",
                 r.expired ? "timed out" : one_line(PQerrorMessage(conn.get())).c_str());
    else if (strcmp(PQgetvalue(res.get(), 0, 0), "t") == 0)
        c.report(WARNING, s.line,
                 "cache_listen_conninfo: reaches a standby, which refuses LISTEN; name the "
                 "primary (target_session_attrs=read-write)");
    else
        fprintf(c.out, "%s:%d: cache_listen_conninfo: ok (listens on a primary)\n", c.path, s.line);
}

} // namespace

int lint_file(const char *path, bool connect, FILE *out, bool strict) {
    checker c{path, out, config_defaults(), {}, 0, 0};
    if (read_file(c)) {
        auto conninfo = c.settings.find("conninfo");
        auto listener = c.settings.find("cache_listen_conninfo");
        bool has_listener = listener != c.settings.end();
        if (conninfo == c.settings.end())
            c.report(PROBLEM, 0, "conninfo: missing; korvane cannot connect");
        else
            check_risks(c, "conninfo", conninfo->second);
        if (has_listener)
            check_risks(c, "cache_listen_conninfo", listener->second);
        if (conninfo != c.settings.end()) {
            if (std::string problem = config_conninfo_problem(conninfo->second.value.c_str());
                !problem.empty())
                c.report(PROBLEM, conninfo->second.line, "conninfo: cannot be parsed: %s",
                         problem.c_str());
            else if (connect)
                check_database(c, conninfo->second);
        }
        if (connect && has_listener &&
            config_conninfo_problem(listener->second.value.c_str()).empty())
            check_listener(c, listener->second);
    }
    fprintf(out, "%s: ", path);
    if (c.problems > 0)
        fprintf(out, "%d problem%s", c.problems, c.problems == 1 ? "" : "s");
    else
        fputs("ok", out);
    if (c.warnings > 0)
        fprintf(out, ", %d warning%s", c.warnings, c.warnings == 1 ? "" : "s");
    fputc('\n', out);
    return c.problems > 0 || (strict && c.warnings > 0) ? 1 : 0;
}
