// The fetch handler's source list: loaded by the fetch statement and
// handed out in rotation, loaded again after source_refresh answers,
// source_expire seconds, or when the cache's source generation moves on
// (a notification, a new listener). It owns the record's sources.
#pragma once

#include "proto/services.h"
#include "support/dict.h"

#include <cstdint>

struct backend;

// Zero-filled: never loaded.
struct source_list {
    dict list;           // the sources; values are all null
    dict_entry *cursor;  // entry handed out last; null: start over
    uint64_t uses;       // answers served since the list was loaded
    int64_t loaded_at;   // time() of the last load
    uint32_t generation; // the cache's source generation it was loaded under
    bool serve_cursor;   // the next fetch hands out the cursor's entry itself
};

// Hands out the next entry of the cached source list in rotation, loading
// the list again when it is due. 1 with the source in buf, 0 when the list
// is empty, -1 on error.
int32_t backend_fetch(service_kind svc, dict *params, char *buf, uint64_t size);
// Frees the list (the backend's end).
void fetch_free(backend *b);
