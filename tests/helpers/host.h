// What the suites that speak to korvane as its host share: the register
// block it answers the handshake with, the handshake itself, and counting
// a message in what korvane logged.
#pragma once

#include <string>

inline const std::string registers = "register|alias\nregister|domain\nregister|credentials\n"
                                     "register|netaddr\nregister|userinfo\nregister|source\n"
                                     "register|mailaddr\nregister|addrname\nregister|mailaddrmap\n"
                                     "register|ready\n";
inline const std::string hello = "config|protocol|0.1\nconfig|ready\n";

// How often needle occurs in text, overlapping occurrences included.
inline int count_of(const std::string &text, const std::string &needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        n++;
    return n;
}
