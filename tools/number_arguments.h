// How the tools read numbers from their command lines, so that zpxctl and zpx-emu take the same
// forms: decimal, 0x hexadecimal or 0 octal, never negative.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace zpx::tools {

// A number up to the limit.
inline bool ParseUnsigned(std::string_view text, uint64_t limit, uint64_t* value) {
    const std::string s(text);
    if (s.empty() || s[0] == '-') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(s.c_str(), &end, 0);
    if (errno != 0 || end == s.c_str() || *end != '\0' || v > limit) return false;
    *value = v;
    return true;
}

// Two numbers on either side of the first separator, each up to its own limit: "5,15" (zpxctl's
// pins, MAC address words and image bytes), "2:0xA1B2" (zpx-emu's numbered pods and TAPs).
inline bool ParseUnsignedPair(std::string_view text, char separator, uint64_t firstLimit,
                              uint64_t secondLimit, uint64_t* first, uint64_t* second) {
    const size_t at = text.find(separator);
    return at != std::string_view::npos && ParseUnsigned(text.substr(0, at), firstLimit, first) &&
           ParseUnsigned(text.substr(at + 1), secondLimit, second);
}

}  // namespace zpx::tools
