// What every suite that speaks to korvane as its host shares, and the
// bench driver with them: the handshake and the register block korvane
// answers it with (derived from the service table), the request lines,
// and counting a message in what korvane logged.
#pragma once

#include "proto/services.h"

#include <string>

// The register block: one line per service in slot order, then ready.
inline const std::string registers = [] {
    std::string block;
    for (int slot = 0; slot < SERVICE_COUNT; slot++)
        block += "register|" + std::string(query_specs[slot].name) + "\n";
    return block + "register|ready\n";
}();
// The host's side of the handshake.
inline const std::string hello = "config|protocol|0.1\nconfig|ready\n";

// A request line with its line feed: TYPE for SERVICE with ID and KEY
// (none for a fetch), from TABLE.
inline std::string host_request(const std::string &type, const std::string &svc,
                                const std::string &id, const std::string &key,
                                const std::string &table = "mytable") {
    return "table|0.1|1700000000.000000|" + table + "|" + type + "|" + svc + "|" + id +
           (type == "fetch" ? "" : "|" + key) + "\n";
}
inline std::string host_fetch(const std::string &id, const std::string &table = "mytable") {
    return host_request("fetch", "source", id, "", table);
}

// Sends the handshake to a started korvane (any child with send and
// read_line) and reads its answer; true when the whole register block
// came back.
template <typename child> bool host_handshake(child &k) {
    k.send("config|protocol|0.1");
    k.send("config|ready");
    std::string block;
    for (int lines = 0; lines < SERVICE_COUNT + 1; lines++)
        block += k.read_line() + "\n";
    return block == registers;
}

// How often needle occurs in text, overlapping occurrences included.
inline int count_of(const std::string &text, const std::string &needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        n++;
    return n;
}
