// Host names resolved within a deadline with c-ares, from the system's
// hosts file and resolver configuration, or, once the sandbox has lost
// sight of them (the system replaced them by rename), from what they said
// when the sandbox was entered. Knows nothing of korvane's records.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum resolve_result {
    RESOLVED,    // at least one address
    NO_ADDRESS,  // the name has none (the reason in *why)
    OUT_OF_TIME, // the resolver did not answer by `until`
};

// Resolves a host name to its addresses (numeric text, in the resolver's
// order, no repeats) by exec_now_ms() `until`.
resolve_result resolve_host(const char *name, int64_t until, std::vector<std::string> *out,
                            std::string *why);
// Keeps the resolver's configuration and hosts file as they are now, for
// when the sandbox (entered next) can no longer read them; resolve_host
// then uses it, with one warning each.
void resolve_snapshot();
