// The splay dictionary against std::map<std::string, void *> on the same
// 100k random keys: insertion, random finds, finds of a small hot set, a
// full ordered walk, emptying, and the heap each holds per entry. The two
// finds also against std::unordered_map, the other candidate for the index
// of the lookup cache, which needs no order.
#include "support/dict.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

constexpr size_t n_keys = 100000;
constexpr size_t n_hot = 16;

const std::vector<std::string> &keys() {
    static std::vector<std::string> k = [] {
        std::mt19937 rng(42);
        std::vector<std::string> v;
        std::map<std::string, int> seen;
        while (v.size() < n_keys) {
            std::string s;
            size_t len = 8 + rng() % 17;
            for (size_t i = 0; i < len; i++)
                s += static_cast<char>('a' + rng() % 26);
            if (seen.emplace(s, 0).second)
                v.push_back(s);
        }
        return v;
    }();
    return k;
}

// The keys again in another random order, as lookups would come.
const std::vector<std::string> &probes() {
    static std::vector<std::string> p = [] {
        std::vector<std::string> v = keys();
        std::shuffle(v.begin(), v.end(), std::mt19937(7));
        return v;
    }();
    return p;
}

void fill(dict &d) {
    for (const auto &k : keys())
        dict_set(&d, k.c_str(), nullptr);
}
void empty(dict &d) {
    while (dict_take_root(&d, nullptr))
        ;
}
void fill(std::map<std::string, void *> &m) {
    for (const auto &k : keys())
        m.emplace(k, nullptr);
}

// Finds by C string without building a std::string, as the cache would.
struct text_hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
using hash_index = std::unordered_map<std::string, void *, text_hash, std::equal_to<>>;
void fill(hash_index &m) {
    for (const auto &k : keys())
        m.emplace(k, nullptr);
}

size_t heap_in_use() {
    return mallinfo2().uordblks;
}

void BM_dict_insert(benchmark::State &state) {
    dict d{};
    for (auto _ : state) {
        fill(d);
        state.PauseTiming();
        empty(d);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n_keys));
}

void BM_map_insert(benchmark::State &state) {
    for (auto _ : state) {
        std::map<std::string, void *> m;
        fill(m);
        state.PauseTiming();
        m.clear();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n_keys));
}

void BM_dict_find_random(benchmark::State &state) {
    dict d{};
    fill(d);
    for (auto _ : state)
        for (const auto &k : probes())
            benchmark::DoNotOptimize(dict_find(&d, k.c_str()));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n_keys));
    empty(d);
}

void BM_map_find_random(benchmark::State &state) {
    std::map<std::string, void *> m;
    fill(m);
    // Lookups arrive as C strings, as they do from the protocol.
    for (auto _ : state)
        for (const auto &k : probes())
            benchmark::DoNotOptimize(m.find(k.c_str()));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n_keys));
}

void BM_hash_find_random(benchmark::State &state) {
    hash_index m;
    fill(m);
    for (auto _ : state)
        for (const auto &k : probes())
            benchmark::DoNotOptimize(m.find(std::string_view(k.c_str())));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n_keys));
}

void BM_hash_find_hot(benchmark::State &state) {
    hash_index m;
    fill(m);
    for (auto _ : state)
        for (size_t i = 0; i < n_keys; i++)
            benchmark::DoNotOptimize(m.find(std::string_view(probes()[i % n_hot].c_str())));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n_keys));
}

void BM_dict_find_hot(benchmark::State &state) {
    dict d{};
    fill(d);
    for (auto _ : state)
        for (size_t i = 0; i < n_keys; i++)
            benchmark::DoNotOptimize(dict_find(&d, probes()[i % n_hot].c_str()));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n_keys));
    empty(d);
}

void BM_map_find_hot(benchmark::State &state) {
    std::map<std::string, void *> m;
    fill(m);
    for (auto _ : state)
        for (size_t i = 0; i < n_keys; i++)
            benchmark::DoNotOptimize(m.find(probes()[i % n_hot].c_str()));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n_keys));
}

void BM_dict_walk(benchmark::State &state) {
    dict d{};
    fill(d);
    for (auto _ : state) {
        dict_entry *cursor = nullptr;
        const char *key;
        while (dict_next(&d, &cursor, &key, nullptr))
            benchmark::DoNotOptimize(key);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n_keys));
    empty(d);
}

void BM_map_walk(benchmark::State &state) {
    std::map<std::string, void *> m;
    fill(m);
    for (auto _ : state)
        for (const auto &kv : m)
            benchmark::DoNotOptimize(kv.first.data());
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n_keys));
}

void BM_dict_empty(benchmark::State &state) {
    dict d{};
    for (auto _ : state) {
        state.PauseTiming();
        fill(d);
        state.ResumeTiming();
        empty(d);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n_keys));
}

void BM_map_empty(benchmark::State &state) {
    for (auto _ : state) {
        state.PauseTiming();
        auto *m = new std::map<std::string, void *>;
        fill(*m);
        state.ResumeTiming();
        // Emptying one entry at a time from the front, as take_root does.
        while (!m->empty())
            m->erase(m->begin());
        state.PauseTiming();
        delete m;
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n_keys));
}

void BM_dict_memory(benchmark::State &state) {
    for (auto _ : state) {
        dict d{};
        size_t before = heap_in_use();
        fill(d);
        state.counters["bytes_per_entry"] =
            static_cast<double>(heap_in_use() - before) / static_cast<double>(n_keys);
        empty(d);
    }
}

void BM_map_memory(benchmark::State &state) {
    for (auto _ : state) {
        std::map<std::string, void *> m;
        size_t before = heap_in_use();
        fill(m);
        state.counters["bytes_per_entry"] =
            static_cast<double>(heap_in_use() - before) / static_cast<double>(n_keys);
    }
}

} // namespace

BENCHMARK(BM_dict_insert)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_map_insert)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_dict_find_random)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_map_find_random)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_hash_find_random)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_dict_find_hot)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_hash_find_hot)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_map_find_hot)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_dict_walk)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_map_walk)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_dict_empty)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_map_empty)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_dict_memory)->Iterations(1);
BENCHMARK(BM_map_memory)->Iterations(1);

BENCHMARK_MAIN();
