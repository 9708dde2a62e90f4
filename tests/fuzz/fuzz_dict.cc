// Fuzzes the dictionary: the input is a sequence of operations on small
// keys, run against std::map; contents, order, count and the search-tree
// invariant must agree after every operation.
#include "support/dict.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace {

uint64_t check_tree(const dict_entry *e, const char *low, const char *high) {
    if (e == nullptr)
        return 0;
    if ((low != nullptr && strcmp(e->key, low) <= 0) ||
        (high != nullptr && strcmp(e->key, high) >= 0))
        abort();
    return 1 + check_tree(e->left, low, e->key) + check_tree(e->right, e->key, high);
}

void *val(uintptr_t v) {
    return reinterpret_cast<void *>(v);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    dict d{};
    std::map<std::string, void *> model;
    dict_entry *cursor = nullptr;
    std::string cursor_key;
    size_t i = 0;
    while (i + 1 < size) {
        uint8_t op = data[i] % 8;
        size_t len = data[i + 1] % 4;
        i += 2;
        std::string key(reinterpret_cast<const char *>(data + i), std::min(len, size - i));
        i += key.size();
        key = key.substr(0, strnlen(key.c_str(), key.size()));
        void *v = val(i);
        auto it = model.find(key);
        void *expect = it == model.end() ? nullptr : it->second;
        const char *k = nullptr;
        switch (op) {
        case 0:
        case 1:
            if (dict_set(&d, key.c_str(), v) != expect)
                abort();
            model[key] = v;
            break;
        case 2:
            if (cursor != nullptr && cursor_key == key)
                cursor = nullptr;
            if (dict_remove(&d, key.c_str()) != expect)
                abort();
            model.erase(key);
            break;
        case 3:
            if (dict_find(&d, key.c_str()) != expect ||
                dict_has(&d, key.c_str()) != (it != model.end()))
                abort();
            break;
        case 4: {
            auto next = cursor == nullptr ? model.begin() : model.upper_bound(cursor_key);
            int r = dict_next(&d, &cursor, &k, nullptr);
            if (r != (next != model.end()) || (r == 1 && next->first != k))
                abort();
            if (r == 1)
                cursor_key = k;
            break;
        }
        case 5: {
            dict_entry *c = nullptr;
            auto next = model.lower_bound(key);
            int r = dict_next_from(&d, &c, key.c_str(), &k, nullptr);
            if (r != (next != model.end()) || (r == 1 && next->first != k))
                abort();
            break;
        }
        case 6:
            if (dict_peek_root(&d, &k, nullptr)) {
                if (cursor != nullptr && cursor_key == k)
                    cursor = nullptr;
                model.erase(k);
                if (dict_take_root(&d, nullptr) != 1)
                    abort();
            }
            break;
        default: {
            dict other{};
            std::string moved = key + "\x7f";
            if (model.count(moved) == 0) {
                dict_set(&other, moved.c_str(), v);
                dict_merge(&d, &other);
                model[moved] = v;
            }
            break;
        }
        }
        if (d.count != model.size() || check_tree(d.root, nullptr, nullptr) != model.size())
            abort();
    }
    while (dict_take_root(&d, nullptr))
        ;
    return 0;
}
