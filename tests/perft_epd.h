// The perft positions of data/perft-basic.epd with their exact counts, for
// the perft tests of both board representations.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

struct EpdCase {
    std::string fen;
    std::vector<std::pair<int, uint64_t>> depths;  // (length, count)
};

inline std::vector<EpdCase> readEpd() {
    std::vector<EpdCase> cases;
    std::ifstream in(std::string(VEXAR_DATA_DIR) + "/perft-basic.epd");
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        EpdCase c;
        size_t pos = line.find(" ;");
        c.fen = line.substr(0, pos);
        while (pos != std::string::npos) {
            const size_t next = line.find(" ;", pos + 2);
            const std::string field = line.substr(pos + 2, next - pos - 2);  // "D4 197281"
            c.depths.emplace_back(std::atoi(field.c_str() + 1),
                                  std::strtoull(field.c_str() + field.find(' '), nullptr, 10));
            pos = next;
        }
        cases.push_back(c);
    }
    return cases;
}

// Counts above this many nodes belong to the Deep tests.
inline constexpr uint64_t QUICK_NODES = 6000000;
