#include "backend/backend.h"
#include "support/compat.h"
#include "support/log.h"

#include <cstring>
#include <ctime>

namespace {

bool list_is_fresh(const backend *b) {
    // A list never loaded is not fresh, however far in the future its
    // expiry lies; its use count is 0 only then. The clock is read only when
    // the use count leaves the list fresh.
    return b->sources.uses > 0 && !b->sources.reload && b->sources.uses < b->sources.refresh &&
           static_cast<int64_t>(time(nullptr)) - b->sources.loaded_at < b->sources.expire;
}

void refresh_list(backend *b, const PGresult *res) {
    // The cursor points into the list; it must go before the entries do.
    b->sources.cursor = nullptr;
    while (dict_take_root(&b->sources.list, nullptr))
        ;
    for (int row = 0; row < PQntuples(res); row++)
        dict_set(&b->sources.list, PQgetvalue(res, row, 0), nullptr);
    b->sources.loaded_at = static_cast<int64_t>(time(nullptr));
    b->sources.uses = 1;
    b->sources.reload = false;
}

// Runs the fetch statement and refreshes the list unless the list is fresh.
// 1 when the list may be served, -1 after a warning or without a statement.
int32_t ensure_list(backend *b) {
    // Configured, though a reconnect may have left it to be prepared on use.
    if (!backend_configured(b, BACKEND_FETCH_SLOT))
        return -1;
    if (list_is_fresh(b)) {
        b->sources.uses++;
        return 1;
    }
    pg_result_ptr res{backend_run(b, BACKEND_FETCH_SLOT, nullptr, "")};
    if (!res)
        return -1;
    if (PQnfields(res.get()) < 1) {
        warn_msg("warn: fetch source: query returns %d columns, the answer needs 1",
                 PQnfields(res.get()));
        return -1;
    }
    refresh_list(b, res.get());
    return 1;
}

} // namespace

int32_t backend_fetch(service_kind svc, dict *, char *buf, uint64_t size) {
    backend *b = current_backend;
    backend_begin_request(b);
    // The cached list answers only after the notifications that came
    // meanwhile: one may ask for it to be loaded again.
    cache_poll(b);
    if (b->conn == nullptr && backend_connect(b) == 0)
        return -1;
    if (svc != SVC_SOURCE)
        return -1;
    if (ensure_list(b) != 1)
        return -1;

    const char *source = nullptr;
    if (dict_next(&b->sources.list, &b->sources.cursor, &source, nullptr) == 0) {
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
