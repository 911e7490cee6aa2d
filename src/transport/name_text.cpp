#include "transport/name_text.h"

namespace zpx::transport {

namespace {

bool IsSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (Lower(text[i]) != Lower(prefix[i])) return false;
    }
    return true;
}

size_t SkipSpace(std::string_view text, size_t at) {
    while (at < text.size() && IsSpace(text[at]))
        ++at;
    return at;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && StartsWithNoCase(a, b);
}

bool ScanUnsigned(std::string_view text, size_t* at, uint32_t* value) {
    size_t i = SkipSpace(text, *at);
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    const size_t digits = i;
    uint64_t magnitude = 0;
    bool saturated = false;
    while (i < text.size() && IsDigit(text[i])) {
        const auto digit = static_cast<uint64_t>(text[i] - '0');
        if (magnitude > (UINT64_MAX - digit) / 10) saturated = true;
        if (!saturated) magnitude = magnitude * 10 + digit;
        ++i;
    }
    if (i == digits) return false;
    const uint64_t wide = saturated ? UINT64_MAX : negative ? 0 - magnitude : magnitude;
    *value = static_cast<uint32_t>(wide);
    *at = i;
    return true;
}

bool ParseDeviceIndex(std::string_view text, int32_t* index, bool* empty) {
    size_t i = SkipSpace(text, 0);
    *empty = (i == text.size());
    if (*empty) {
        *index = 0;
        return true;
    }
    uint32_t value = 0;
    if (!ScanUnsigned(text, &i, &value)) return false;
    i = SkipSpace(text, i);
    // A device index is a signed 32-bit field: "-1" reads as 4294967295 and does not fit.
    if (i != text.size() || value > 0x7FFFFFFF) return false;
    *index = static_cast<int32_t>(value);
    return true;
}

bool ParseIpv4(std::string_view text, uint32_t* address) {
    // The conversion other programs on the station use (inet_addr): one to four parts separated
    // by dots, each decimal, octal with a leading 0, or hexadecimal with 0x; the last part fills
    // the bytes that remain, so "10.1" is 10.0.0.1 and "192.168.001.010" is 192.168.1.8. The
    // text may end in white space and anything after it.
    uint32_t parts[4] = {};
    size_t count = 0;
    size_t i = 0;
    for (;;) {
        if (i >= text.size() || !IsDigit(text[i])) return false;
        uint32_t base = 10;
        if (text[i] == '0') {
            base = 8;
            ++i;
            if (i < text.size() && (text[i] == 'x' || text[i] == 'X')) {
                base = 16;
                ++i;
            }
        }
        uint64_t value = 0;
        bool anyDigit = base == 8;  // the leading 0 itself
        for (; i < text.size(); ++i) {
            const char c = text[i];
            uint32_t digit = 0;
            if (IsDigit(c)) {
                digit = static_cast<uint32_t>(c - '0');
            } else if (base == 16 && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) {
                digit = static_cast<uint32_t>((c | 0x20) - 'a' + 10);
            } else {
                break;
            }
            if (digit >= base) return false;
            value = value * base + digit;
            if (value > 0xFFFFFFFF) return false;
            anyDigit = true;
        }
        if (!anyDigit || count == 4) return false;
        parts[count++] = static_cast<uint32_t>(value);
        if (i < text.size() && text[i] == '.') {
            ++i;
            continue;
        }
        break;
    }
    if (i < text.size() && !IsSpace(text[i])) return false;
    // Every part but the last is one byte; the last fills what remains.
    const uint64_t lastLimit = count == 1 ? 0xFFFFFFFF : (uint64_t{1} << (8 * (5 - count))) - 1;
    uint32_t result = 0;
    for (size_t k = 0; k + 1 < count; ++k) {
        if (parts[k] > 0xFF) return false;
        result |= parts[k] << (24 - 8 * k);
    }
    if (parts[count - 1] > lastLimit) return false;
    result |= parts[count - 1];
    // All ones is the conversion's own "no address": no controller is reached there.
    if (result == 0xFFFFFFFF) return false;
    *address = result;
    return true;
}

}  // namespace zpx::transport
