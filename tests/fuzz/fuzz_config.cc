// Fuzzes the configuration reader: any file either fails to load or gives a
// record whose values are non-empty and trimmed and whose source settings
// are in range. Warnings are sent to /dev/null.
#include "backend/backend.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

std::string path;

bool is_space(char c) {
    return isspace(static_cast<unsigned char>(c)) != 0;
}

void remove_file() {
    unlink(path.c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (path.empty()) {
        path = "/tmp/korvane-fuzz-config." + std::to_string(getpid());
        atexit(remove_file);
    }
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        return 0;
    fwrite(data, 1, size, f);
    fclose(f);

    FILE *saved_err = stderr;
    stderr = fopen("/dev/null", "w");
    backend *b = backend_load(path.c_str());
    fclose(stderr);
    stderr = saved_err;
    if (b == nullptr)
        return 0;

    dict_entry *cursor = nullptr;
    const char *key;
    void *value;
    while (dict_next(&b->config, &cursor, &key, &value)) {
        auto *text = static_cast<const char *>(value);
        size_t len = strlen(text);
        if (len == 0 || is_space(text[0]) || is_space(text[len - 1]))
            abort();
    }
    if (b->source_expire < 0 || b->source_refresh > 2147483647u || b->conn != nullptr)
        abort();
    backend_free(b);
    return 0;
}
