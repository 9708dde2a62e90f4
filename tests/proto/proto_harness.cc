// Serves the table protocol with handlers that show what they were given, so
// tests can drive the engine through real pipes. Arguments switch handlers
// off ("no-update", "no-check", "no-lookup", "no-fetch") or set the update
// result ("update=N"). A key "r:N" makes check and lookup return N; lookup
// key "fill" fills the value buffer to its last byte.
#include "proto/proto.h"
#include "support/log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

int32_t update_result = 1;

int buffer_is_clean(const char *buf, uint64_t size) {
    for (uint64_t i = 0; i < size; i++)
        if (buf[i] != '\0')
            return 0;
    return 1;
}

int32_t on_update() {
    return update_result;
}

int32_t on_check(service_kind, dict *params, const char *key) {
    if (params == nullptr || params->root != nullptr)
        return -1;
    if (strncmp(key, "r:", 2) == 0)
        return static_cast<int32_t>(strtol(key + 2, nullptr, 10));
    return 1;
}

int32_t on_lookup(service_kind svc, dict *, const char *key, char *buf, uint64_t size) {
    int clean = buffer_is_clean(buf, size);
    if (strcmp(key, "fill") == 0) {
        memset(buf, 'x', size - 1);
        buf[size - 1] = '\0';
        return 1;
    }
    snprintf(buf, size, "svc=%u clean=%d size=%llu table=%s keylen=%zu key=%s", svc, clean,
             static_cast<unsigned long long>(size), proto_table_name(), strlen(key), key);
    if (strncmp(key, "r:", 2) == 0)
        return static_cast<int32_t>(strtol(key + 2, nullptr, 10));
    return 1;
}

int32_t on_fetch(service_kind svc, dict *, char *buf, uint64_t size) {
    int clean = buffer_is_clean(buf, size);
    snprintf(buf, size, "svc=%u clean=%d table=%s", svc, clean, proto_table_name());
    return 1;
}

} // namespace

int main(int argc, char *argv[]) {
    log_setup(1);
    proto_set_update_handler(on_update);
    proto_set_check_handler(on_check);
    proto_set_lookup_handler(on_lookup);
    proto_set_fetch_handler(on_fetch);
    for (int i = 1; i < argc; i++) {
        std::string_view a = argv[i];
        if (a == "no-update")
            proto_set_update_handler(nullptr);
        else if (a == "no-check")
            proto_set_check_handler(nullptr);
        else if (a == "no-lookup")
            proto_set_lookup_handler(nullptr);
        else if (a == "no-fetch")
            proto_set_fetch_handler(nullptr);
        else if (a.starts_with("update="))
            update_result = static_cast<int32_t>(strtol(argv[i] + 7, nullptr, 10));
    }
    return proto_run();
}
