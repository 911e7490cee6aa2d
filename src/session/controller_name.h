// The grammar of controller names: a back-end prefix, an index or an address, and an optional
// family suffix split off at the last comma.
#pragma once

#include <cstdint>
#include <string_view>

#include "session/session.h"

namespace zpx {

enum class BackEndPrefix { kNone, kPci, kUsb, kIsa, kVxiPci, kEth, kFw };

struct NameParts {
    ControllerFamily family = kFamily51x4;
    std::string_view working;  // the name in front of the last comma, or the whole name
};

// Splits the suffix off. The family is 5120 when the four characters after the last comma are
// "5120"; any other suffix, or none, means the 51x4 family.
NameParts SplitName(std::string_view name);

// Controller names compare without regard to ASCII letter case.
bool EqualsNoCase(std::string_view a, std::string_view b);

// The first of the family's prefixes, in the order they are tried, that starts `working`
// (letter case ignored); the prefix length is stored in *length.
BackEndPrefix MatchPrefix(std::string_view working, ControllerFamily family, size_t* length);

// The device index text behind a prefix: blank or empty means index 0 (*empty is set); otherwise
// exactly one unsigned decimal number, optionally surrounded by white space. Returns false for
// anything else, and for numbers that do not fit a device index.
bool ParseDeviceIndex(std::string_view text, int32_t* index, bool* empty);

// An IPv4 address as inet_addr reads it (decimal, octal and hexadecimal parts, short forms);
// host byte order. False for text it refuses and for 255.255.255.255, its "no address".
bool ParseIpv4(std::string_view text, uint32_t* address);

}  // namespace zpx
