// Fuzzes the table protocol engine: whole conversations through proto_run
// with in-memory handlers. The engine's fatal exits (err/errx) are caught
// here and end the conversation, so one process survives many inputs.
// Checked on every input: one reply line per handled request or request
// for a service not served, the register block per ready line, and keys
// reach the handlers whole.
#include "proto/proto.h"

#include <csetjmp>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

namespace {

jmp_buf fatal_exit;
int handled;

void check_key(const char *key) {
    // A key never holds the line feed that ended its line.
    if (strchr(key, '\n') != nullptr)
        abort();
}

// The handlers never answer error, so that every error reply is one the
// engine gave itself, for a service it does not serve.
int32_t on_update() {
    handled++;
    return 1;
}

int32_t on_check(service_kind svc, dict *params, const char *key) {
    if (params == nullptr || params->root != nullptr || svc == 0)
        abort();
    check_key(key);
    handled++;
    return static_cast<int32_t>(strlen(key) % 2);
}

int32_t on_lookup(service_kind svc, dict *, const char *key, char *buf, uint64_t size) {
    if (size != PROTO_VALUE_SIZE || buf[0] != '\0' || svc == 0)
        abort();
    check_key(key);
    handled++;
    snprintf(buf, size, "%s|%s.", key, proto_table_name());
    return strlen(key) % 3 == 0 ? 1 : 0;
}

int32_t on_fetch(service_kind svc, dict *, char *buf, uint64_t size) {
    if (svc != SVC_SOURCE && (svc & (svc - 1)) != 0)
        abort();
    handled++;
    memset(buf, 'f', size - 1);
    buf[size - 1] = '\0';
    return 1;
}

size_t count_lines(const char *text, size_t len) {
    size_t n = 0;
    for (size_t i = 0; i < len; i++)
        n += text[i] == '\n';
    return n;
}

} // namespace

// The engine's fatal paths, replaced for this program only.
extern "C" void err(int, const char *, ...) {
    longjmp(fatal_exit, 1);
}
extern "C" void errx(int, const char *, ...) {
    longjmp(fatal_exit, 1);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    proto_set_update_handler(on_update);
    proto_set_check_handler(on_check);
    proto_set_lookup_handler(on_lookup);
    proto_set_fetch_handler(on_fetch);

    // The engine reads descriptor 0: the input is a file in memory there.
    int in = memfd_create("fuzz-input", 0);
    if (in < 0 || write(in, data, size) != static_cast<ssize_t>(size) ||
        lseek(in, 0, SEEK_SET) != 0 || dup2(in, STDIN_FILENO) != STDIN_FILENO)
        abort();
    close(in);
    // Replies are written to descriptor 1 directly: a file in memory too.
    int out = memfd_create("fuzz-output", 0), saved_out = dup(STDOUT_FILENO);
    if (out < 0 || saved_out < 0 || dup2(out, STDOUT_FILENO) != STDOUT_FILENO)
        abort();
    handled = 0;
    if (setjmp(fatal_exit) == 0)
        proto_run();
    if (dup2(saved_out, STDOUT_FILENO) != STDOUT_FILENO)
        abort();
    close(saved_out);
    off_t out_len = lseek(out, 0, SEEK_END);
    char *out_text = static_cast<char *>(malloc(static_cast<size_t>(out_len) + 1));
    if (out_len < 0 || out_text == nullptr || pread(out, out_text, out_len, 0) != out_len)
        abort();
    out_text[out_len] = '\0';
    close(out);

    // Every handled request was answered with exactly one line.
    size_t lines = count_lines(out_text, static_cast<size_t>(out_len));
    size_t registers = 0;
    for (const char *p = out_text; (p = strstr(p, "register|ready\n")) != nullptr; p++)
        registers += p == out_text || p[-1] == '\n';
    size_t unserved = 0;
    for (const char *p = out_text; (p = strstr(p, "|error\n")) != nullptr; p++)
        unserved++;
    if (registers > 1 || lines != 10 * registers + static_cast<size_t>(handled) + unserved)
        abort();
    free(out_text);
    return 0;
}
