// Reading the text of controller names the way the station's other programs read it: letter
// case ignored, numbers as the C library's "%u" and inet_addr read them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zpx::transport {

// Controller names compare without regard to ASCII letter case.
bool EqualsNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);
// The position of the first character at or after `at` that is not white space.
size_t SkipSpace(std::string_view text, size_t at);

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

}  // namespace zpx::transport
