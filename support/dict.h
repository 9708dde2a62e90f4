// Ordered dictionary from NUL-terminated string keys to untyped values, kept
// in strcmp order: a top-down splay tree.
//
// A zero-filled `dict` is empty; nothing initialises or destroys one. Keys are
// copied into the entries (record and key in one allocation); values are only
// referenced, never freed. Every search, lookups and walks included, splays
// and so rewrites links: the same operations always leave the same shape.
// No recursion and constant stack; only dict_set/dict_xset allocate. Not
// thread-safe, not even for lookups.
#pragma once

#include <cstdint>

struct dict_entry {
    dict_entry *left;
    dict_entry *right;
    const char *key;
    void *value;
};

struct dict {
    dict_entry *root;
    uint64_t count;
};

enum dict_end { DICT_SMALLEST, DICT_LARGEST };

// Value of key, or null when absent (a stored null looks the same).
void *dict_find(dict *d, const char *key);
// 1 when key is present, 0 otherwise.
int dict_has(dict *d, const char *key);
// Value of key; dies with "dict_xget(%p, %s)" when absent.
void *dict_xget(dict *d, const char *key);
// Stores value under key. Returns the previous value when key was present
// (key copy and count unchanged), null when an entry was added.
void *dict_set(dict *d, const char *key, void *value);
// Adds a new entry; dies with "dict_xset(%p, %s)" when key is present.
void dict_xset(dict *d, const char *key, void *value);
// Removes key and returns its value; null when absent.
void *dict_remove(dict *d, const char *key);
// Removes key and returns its value; dies with "dict_xpop(%p, %s)" when absent.
void *dict_xpop(dict *d, const char *key);
// Removes the root entry, storing its value through `value` if given.
// Returns 1, or 0 when empty. Repeat until 0 to empty the dictionary.
int dict_take_root(dict *d, void **value);
// Root entry's key and value without touching the tree; 0 when empty.
int dict_peek_root(dict *d, const char **key, void **value);
// Steps a walk in ascending key order. *cursor null starts at the smallest;
// afterwards it holds the entry returned last, which must stay in d.
// Returns 0 at the end, leaving *cursor alone.
int dict_next(dict *d, dict_entry **cursor, const char **key, void **value);
// As dict_next, but a walk begun (null cursor) with a non-null start key
// begins at that key or the smallest greater one.
int dict_next_from(dict *d, dict_entry **cursor, const char *start, const char **key, void **value);
// Moves every entry of src into dst without copying; dies with
// "dict_merge: duplicate" when a key is in both.
void dict_merge(dict *dst, dict *src);

// Tree primitives. They leave `count` to their callers.
// Brings the entry holding probe->key, or the last one on its search path, to
// the root. Only probe->key is read. d must not be empty.
void dict_splay(dict *d, dict_entry *probe);
// Brings the smallest or largest entry to the root. d must not be empty.
void dict_splay_end(dict *d, dict_end end);
// Links an unlinked entry whose key is set. Returns null once linked, or the
// entry already holding that key (e then stays unlinked).
dict_entry *dict_link_entry(dict *d, dict_entry *e);
// Unlinks the entry holding e->key. Returns e, or null when no entry holds
// the key. Nothing is freed.
dict_entry *dict_unlink_entry(dict *d, dict_entry *e);
