// The grammar of controller names: a back-end prefix, an index or an address, and an optional
// family suffix split off at the last comma.
#pragma once

#include <cstdint>
#include <string_view>

#include "device/controller_session.h"

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

// One number read the way the C library's "%u" reads it (glibc's conversion, on every system):
// white space skipped, an optional sign, decimal digits, taken as strtoul takes them with its
// 64-bit unsigned long (a magnitude past 64 bits saturates, a '-' negates modulo 2^64) and then
// cut to 32 bits. So "+3" is 3, "-1" is 4294967295 and "4294967298" is 2. A sign with no digit
// behind it is no number. Reads from *at and moves it past the number; false when there is none.
bool ScanUnsigned(std::string_view text, size_t* at, uint32_t* value);

// The device index text behind a prefix: blank or empty means index 0 (*empty is set); otherwise
// exactly one "%u" number, optionally surrounded by white space. Returns false for anything
// else, and for numbers that do not fit a device index.
bool ParseDeviceIndex(std::string_view text, int32_t* index, bool* empty);

// An IPv4 address as inet_addr reads it (decimal, octal and hexadecimal parts, short forms);
// host byte order. False for text it refuses and for 255.255.255.255, its "no address".
bool ParseIpv4(std::string_view text, uint32_t* address);

}  // namespace zpx
