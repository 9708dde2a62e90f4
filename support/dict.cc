// The dictionary: a splay tree of heap-copied keys; see dict.h.
#include "support/dict.h"

#include "support/log.h"

#include <cstdlib>
#include <cstring>

void dict_splay(dict *d, dict_entry *probe) {
    // Top-down splay: smaller entries are hung on the left tree, greater ones
    // on the right tree, both collected under the header h.
    dict_entry h{};
    dict_entry *lhook = &h;
    dict_entry *rhook = &h;
    dict_entry *t = d->root;
    const char *key = probe->key;

    for (;;) {
        int c = strcmp(key, t->key);
        if (c == 0)
            break;
        if (c < 0) {
            dict_entry *child = t->left;
            if (child == nullptr)
                break;
            if (strcmp(key, child->key) < 0) {
                t->left = child->right;
                child->right = t;
                t = child;
                if (t->left == nullptr)
                    break;
            }
            rhook->left = t;
            rhook = t;
            t = t->left;
        } else {
            dict_entry *child = t->right;
            if (child == nullptr)
                break;
            if (strcmp(key, child->key) > 0) {
                t->right = child->left;
                child->left = t;
                t = child;
                if (t->right == nullptr)
                    break;
            }
            lhook->right = t;
            lhook = t;
            t = t->right;
        }
    }
    lhook->right = t->left;
    rhook->left = t->right;
    t->left = h.right;
    t->right = h.left;
    d->root = t;
}

void dict_splay_end(dict *d, dict_end end) {
    dict_entry h{};
    dict_entry *lhook = &h;
    dict_entry *rhook = &h;
    dict_entry *t = d->root;

    if (end == DICT_SMALLEST) {
        while (t->left != nullptr) {
            dict_entry *child = t->left;
            t->left = child->right;
            child->right = t;
            t = child;
            if (t->left == nullptr)
                break;
            rhook->left = t;
            rhook = t;
            t = t->left;
        }
    } else {
        while (t->right != nullptr) {
            dict_entry *child = t->right;
            t->right = child->left;
            child->left = t;
            t = child;
            if (t->right == nullptr)
                break;
            lhook->right = t;
            lhook = t;
            t = t->right;
        }
    }
    lhook->right = t->left;
    rhook->left = t->right;
    t->left = h.right;
    t->right = h.left;
    d->root = t;
}

dict_entry *dict_link_entry(dict *d, dict_entry *e) {
    if (d->root == nullptr) {
        e->left = nullptr;
        e->right = nullptr;
        d->root = e;
        return nullptr;
    }
    dict_splay(d, e);
    dict_entry *root = d->root;
    int c = strcmp(e->key, root->key);
    if (c == 0)
        return root;
    if (c < 0) {
        e->left = root->left;
        e->right = root;
        root->left = nullptr;
    } else {
        e->right = root->right;
        e->left = root;
        root->right = nullptr;
    }
    d->root = e;
    return nullptr;
}

dict_entry *dict_unlink_entry(dict *d, dict_entry *e) {
    if (d->root == nullptr)
        return nullptr;
    dict_splay(d, e);
    if (strcmp(d->root->key, e->key) != 0)
        return nullptr;
    dict_entry *l = d->root->left;
    dict_entry *r = d->root->right;
    if (l == nullptr) {
        d->root = r;
    } else {
        // Every key of l is smaller than e's: splaying l at it brings l's
        // largest entry up with an empty right side to take r.
        d->root = l;
        dict_splay(d, e);
        d->root->right = r;
    }
    return e;
}

namespace {

// Splays at key and reports whether the root now holds it.
bool dict_seek(dict *d, const char *key) {
    if (d->root == nullptr)
        return false;
    dict_entry probe{};
    probe.key = key;
    dict_splay(d, &probe);
    return strcmp(d->root->key, key) == 0;
}

dict_entry *dict_new_entry(const char *key, void *value, const char *fatal) {
    size_t len = strlen(key);
    auto *e = static_cast<dict_entry *>(malloc(sizeof(dict_entry) + len + 1));
    if (e == nullptr)
        die_sys("%s", fatal);
    char *copy = reinterpret_cast<char *>(e + 1);
    memcpy(copy, key, len + 1);
    e->left = nullptr;
    e->right = nullptr;
    e->key = copy;
    e->value = value;
    return e;
}

// Unlinks and frees the root entry, returning its value.
void *dict_drop_root(dict *d) {
    dict_entry *e = d->root;
    void *value = e->value;
    dict_unlink_entry(d, e);
    free(e);
    d->count--;
    return value;
}

dict_entry *leftmost(dict_entry *e) {
    while (e->left != nullptr)
        e = e->left;
    return e;
}

int dict_yield(dict_entry **cursor, dict_entry *next, const char **key, void **value) {
    *cursor = next;
    if (key != nullptr)
        *key = next->key;
    if (value != nullptr)
        *value = next->value;
    return 1;
}

} // namespace

void *dict_find(dict *d, const char *key) {
    return dict_seek(d, key) ? d->root->value : nullptr;
}

int dict_has(dict *d, const char *key) {
    return dict_seek(d, key) ? 1 : 0;
}

void *dict_xget(dict *d, const char *key) {
    if (!dict_seek(d, key))
        die_msg("dict_xget(%p, %s)", static_cast<void *>(d), key);
    return d->root->value;
}

void *dict_set(dict *d, const char *key, void *value) {
    if (dict_seek(d, key)) {
        void *old = d->root->value;
        d->root->value = value;
        return old;
    }
    dict_link_entry(d, dict_new_entry(key, value, "dict_set: malloc"));
    d->count++;
    return nullptr;
}

void dict_xset(dict *d, const char *key, void *value) {
    dict_entry *e = dict_new_entry(key, value, "dict_xset: malloc");
    if (dict_link_entry(d, e) != nullptr)
        die_msg("dict_xset(%p, %s)", static_cast<void *>(d), key);
    d->count++;
}

void *dict_remove(dict *d, const char *key) {
    if (!dict_seek(d, key))
        return nullptr;
    return dict_drop_root(d);
}

void *dict_xpop(dict *d, const char *key) {
    if (!dict_seek(d, key))
        die_msg("dict_xpop(%p, %s)", static_cast<void *>(d), key);
    return dict_drop_root(d);
}

int dict_take_root(dict *d, void **value) {
    if (d->root == nullptr)
        return 0;
    void *v = dict_drop_root(d);
    if (value != nullptr)
        *value = v;
    return 1;
}

int dict_peek_root(dict *d, const char **key, void **value) {
    if (d->root == nullptr)
        return 0;
    if (key != nullptr)
        *key = d->root->key;
    if (value != nullptr)
        *value = d->root->value;
    return 1;
}

int dict_next(dict *d, dict_entry **cursor, const char **key, void **value) {
    dict_entry *next;
    if (*cursor != nullptr) {
        dict_splay(d, *cursor);
        if (d->root->right == nullptr)
            return 0;
        next = leftmost(d->root->right);
    } else {
        if (d->root == nullptr)
            return 0;
        dict_splay_end(d, DICT_SMALLEST);
        next = d->root;
    }
    return dict_yield(cursor, next, key, value);
}

int dict_next_from(dict *d, dict_entry **cursor, const char *start, const char **key,
                   void **value) {
    if (*cursor != nullptr || start == nullptr)
        return dict_next(d, cursor, key, value);

    // Splaying at the start key brings up its entry, or else its neighbour on
    // one side: the successor itself, or the predecessor, whose successor is
    // then the smallest entry on its right. The probe is never linked in.
    dict_entry probe{};
    probe.key = start;
    dict_entry *next = nullptr;
    if (d->root != nullptr) {
        dict_splay(d, &probe);
        if (strcmp(d->root->key, start) >= 0)
            next = d->root;
        else if (d->root->right != nullptr)
            next = leftmost(d->root->right);
    }
    if (next == nullptr)
        return 0;
    return dict_yield(cursor, next, key, value);
}

void dict_merge(dict *dst, dict *src) {
    while (src->root != nullptr) {
        dict_entry *e = src->root;
        dict_unlink_entry(src, e);
        if (dict_link_entry(dst, e) != nullptr)
            die_msg("dict_merge: duplicate");
    }
    dst->count += src->count;
    src->count = 0;
}
