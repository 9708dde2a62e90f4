// query_specs, the one table of the services korvane serves. Each row names a service
// as the protocol does, its kind and slot, and the statement that answers
// it: the configuration key that holds it, the parameters korvane passes,
// the columns the answer is built from and how (every row's column 0
// joined, or the first row's columns), and whether the lookup cache may
// keep its answers. The row after the nine services is the fetch
// statement's. Everything that names services derives from here: the
// register block, the engine's names, the configuration's keys, the
// metrics' labels, korvane-query's help and the tests.
#pragma once

#include <cstdint>
#include <string_view>

using service_kind = uint32_t;
inline constexpr service_kind SVC_ALIAS = 1u << 0;
inline constexpr service_kind SVC_DOMAIN = 1u << 1;
inline constexpr service_kind SVC_CREDENTIALS = 1u << 2;
inline constexpr service_kind SVC_NETADDR = 1u << 3;
inline constexpr service_kind SVC_USERINFO = 1u << 4;
inline constexpr service_kind SVC_SOURCE = 1u << 5;
inline constexpr service_kind SVC_MAILADDR = 1u << 6;
inline constexpr service_kind SVC_ADDRNAME = 1u << 7;
inline constexpr service_kind SVC_MAILADDRMAP = 1u << 8;

struct query_spec {
    std::string_view name;  // the protocol's name; "fetch" for the fetch statement
    service_kind kind;      // 1 << slot; 0 for the fetch statement
    const char *config_key; // the configuration key of its statement
    int32_t parameters;     // what korvane passes: the key, or nothing
    int32_t columns;        // result columns the answer is built from
    bool joined;            // column 0 of every row joined with ", "; else the first row's
    bool cacheable;         // the lookup cache may keep its answers
};

// In slot order: the services, then the fetch statement.
inline constexpr query_spec query_specs[] = {
    {"alias", SVC_ALIAS, "query_alias", 1, 1, true, true},
    {"domain", SVC_DOMAIN, "query_domain", 1, 1, false, true},
    {"credentials", SVC_CREDENTIALS, "query_credentials", 1, 2, false, true},
    {"netaddr", SVC_NETADDR, "query_netaddr", 1, 1, false, true},
    {"userinfo", SVC_USERINFO, "query_userinfo", 1, 3, false, true},
    {"source", SVC_SOURCE, "query_source", 1, 1, false, true},
    {"mailaddr", SVC_MAILADDR, "query_mailaddr", 1, 1, false, true},
    {"addrname", SVC_ADDRNAME, "query_addrname", 1, 1, false, true},
    {"mailaddrmap", SVC_MAILADDRMAP, "query_mailaddrmap", 1, 1, true, true},
    {"fetch", 0, "fetch_source", 0, 1, false, false},
};

inline constexpr int SERVICE_COUNT = 9;    // the services the host may ask
inline constexpr int STATEMENT_SLOTS = 10; // their statements and the fetch statement's
inline constexpr int FETCH_SLOT = 9;
inline constexpr service_kind SVC_ALL = (1u << SERVICE_COUNT) - 1;

static_assert(sizeof query_specs / sizeof query_specs[0] == STATEMENT_SLOTS);
static_assert(FETCH_SLOT == SERVICE_COUNT && query_specs[FETCH_SLOT].kind == 0);
static_assert([] {
    for (int slot = 0; slot < SERVICE_COUNT; slot++)
        if (query_specs[slot].kind != 1u << slot)
            return false;
    return true;
}());
