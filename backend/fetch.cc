// The source list and its rotation; see fetch.h.
#include "backend/fetch.h"

#include "backend/backend.h"
#include "backend/handlers.h"
#include "support/compat.h"
#include "support/log.h"

#include <cstring>
#include <ctime>
#include <string>

namespace {

// Due by the use count or the age, as a loaded list's life is counted.
bool list_is_due(const backend *b) {
    // A list never loaded is due, however far in the future its expiry
    // lies; its use count is 0 only then. The clock is read only when the
    // use count leaves the list fresh.
    return b->sources.uses == 0 || b->sources.uses >= b->settings.source_refresh ||
           static_cast<int64_t>(time(nullptr)) - b->sources.loaded_at >= b->settings.source_expire;
}

// Loads the list from res. A load that the use count or the age asked for
// starts the rotation again at the smallest source; one that a
// notification or a new listening connection caused goes on after the
// source handed out last, so that neither a notification before every
// fetch nor a reconnect can pin the mail to one source.
void load_list(backend *b, const PGresult *res, bool go_on) {
    source_list &s = b->sources;
    std::string last = go_on && s.cursor != nullptr ? s.cursor->key : "";
    bool resume = go_on && s.cursor != nullptr;
    // The cursor points into the list; it must go before the entries do.
    s.cursor = nullptr;
    s.serve_cursor = false;
    while (dict_take_root(&s.list, nullptr))
        ;
    for (int row = 0; row < PQntuples(res); row++)
        dict_set(&s.list, PQgetvalue(res, row, 0), nullptr);
    s.loaded_at = static_cast<int64_t>(time(nullptr));
    s.uses = 1;
    s.generation = cache_source_generation(b);
    const char *next = nullptr;
    // The source after the last one: itself when still listed, else the
    // smallest above it, handed out as it is; none above it wraps.
    if (resume && dict_next_from(&s.list, &s.cursor, last.c_str(), &next, nullptr) == 1)
        s.serve_cursor = strcmp(next, last.c_str()) != 0;
}

// Runs the fetch statement and loads the list again unless the list is
// fresh. True when the list may be served; false after a warning or
// without a statement.
bool prepare_list(backend *b) {
    // Configured, though a reconnect may have left it to be prepared on use.
    if (!connect_configured(b, FETCH_SLOT))
        return false;
    bool due = list_is_due(b);
    if (!due && b->sources.generation == cache_source_generation(b)) {
        b->sources.uses++;
        return true;
    }
    pg_result_ptr res{backend_run(b, FETCH_SLOT, nullptr, "")};
    if (!res)
        return false;
    if (PQnfields(res.get()) < 1) {
        warn_msg("warn: fetch source: query returns %d columns, the answer needs 1",
                 PQnfields(res.get()));
        return false;
    }
    load_list(b, res.get(), !due);
    return true;
}

} // namespace

void fetch_free(backend *b) {
    b->sources.cursor = nullptr;
    while (dict_take_root(&b->sources.list, nullptr))
        ;
}

int32_t backend_fetch(service_kind svc, dict *, char *buf, uint64_t size) {
    backend *b = current_backend;
    backend_begin_request(b);
    // The cached list answers only after the notifications that came
    // meanwhile: one may ask for it to be loaded again.
    listen_step(b);
    if (b->conn == nullptr && backend_connect(b) == 0)
        return -1;
    if (svc != SVC_SOURCE)
        return -1;
    if (!prepare_list(b))
        return -1;

    const char *source = nullptr;
    if (b->sources.serve_cursor) {
        b->sources.serve_cursor = false;
        source = b->sources.cursor->key;
    } else if (dict_next(&b->sources.list, &b->sources.cursor, &source, nullptr) == 0) {
        b->sources.cursor = nullptr;
        if (dict_next(&b->sources.list, &b->sources.cursor, &source, nullptr) == 0)
            return 0;
    }
    // A line feed would let the value forge reply lines of its own.
    if (strchr(source, '\n') != nullptr) {
        warn_msg("warn: fetch source: value holds a line feed");
        return -1;
    }
    if (strlcpy(buf, source, size) >= size)
        return -1;
    return 1;
}
