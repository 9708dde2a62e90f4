// Fuzzes the configuration reader: any file either fails to load or gives a
// record whose values are non-empty and trimmed and whose source settings
// are in range. Warnings are sent to /dev/null. Each value then serves as
// untrusted text for the escaping rule (the output is printable UTF-8 with
// no control at all) and as a notification payload for a small cache.
#include "backend/backend.h"
#include "support/util.h"

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

// True when text is valid UTF-8 without controls: no byte below 0x20,
// no 0x7f, no U+0080 to U+009F.
bool printable(const char *text) {
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    while (*s != 0) {
        if (*s < 0x20 || *s == 0x7f)
            return false;
        if (*s < 0x80) {
            s++;
            continue;
        }
        int n = *s >= 0xf0 ? 4 : *s >= 0xe0 ? 3 : 2;
        if (*s < 0xc2 || *s > 0xf4 || (*s == 0xc2 && s[1] < 0xa0))
            return false;
        for (int i = 1; i < n; i++)
            if ((s[i] & 0xc0) != 0x80)
                return false;
        s += n;
    }
    return true;
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
    if (b->settings.source_expire < 0 || b->settings.source_refresh > 2147483647u ||
        b->conn != nullptr)
        abort();
    b->settings.cache_size = 4;
    cursor = nullptr;
    while (dict_next(&b->config, &cursor, &key, &value)) {
        auto *text = static_cast<const char *>(value);
        char shown[256];
        size_t used = escape_text(text, strlen(text), shown, sizeof shown);
        if (used > strlen(text) || !printable(shown))
            abort();
        cache_store(b, SVC_ALIAS, key, 1, text);
        cache_store(b, SVC_NETADDR, text, 0, nullptr);
        cache_apply(b, text);
        if (cache_count(b) > 4)
            abort();
    }
    backend_free(b);
    return 0;
}
