// The C library's own reading of the texts the library reads "the way sscanf reads them", as the
// reference its own readers are checked against (by the unit tests on glibc, and by the fuzzers).
#pragma once

#include <cstdio>
#include <string>

namespace zpx::testing {

// A VXI address text read with the documented patterns, "%u%c%u%1s" and then "%c%u%1s": blank;
// "board"; "board,address"; or ",address" right behind the prefix; board 0 to 199, address 1 to
// 255. True with the board and the logical address (8 unless given); false for a text that is
// malformed or out of range.
inline bool ScanfVxiAddress(const std::string& text, unsigned* board, unsigned* address) {
    unsigned b = 0, a = 8;
    char separator = 0, trail[2];
    const int n = std::sscanf(text.c_str(), "%u%c%u%1s", &b, &separator, &a, trail);
    bool ok = n == EOF || n == 1 || (n == 3 && separator == ',');
    if (n == 0) {
        ok = std::sscanf(text.c_str(), "%c%u%1s", &separator, &a, trail) == 2 && separator == ',';
    }
    *board = b;
    *address = a;
    return ok && b <= 199 && a >= 1 && a <= 255;
}

}  // namespace zpx::testing
