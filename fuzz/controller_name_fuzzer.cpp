// Controller names: ZPX_OpenController with any text, on a platform where nothing opens (no
// driver devices, every connection refused, no libraries), once on a current system and once on
// one of the oldest generation, which takes the single-open legacy device paths.
//
// Input: the name itself, up to its first NUL byte.
//
// Beyond "no crash, no leak", each open is checked against a reading of the name grammar written
// here from the documentation, independently of src/session/: the status the open answers, which
// device path it tried (or the address it connected to, or whether it loaded the VXI driver
// library), and that it gave back the open lock and every single-open slot it took. Ethernet
// addresses are read by the C library's own inet_aton and VXI addresses by its own sscanf, the
// conversions the library matches.
#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "installed_platform.h"
#include "scanf_reading.h"
#include "zpx/zpx.h"

namespace zpx::fuzz {
namespace {

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
bool StartsNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (Lower(text[i]) != Lower(prefix[i])) return false;
    return true;
}

// The device index as the C library's sscanf reads it with the documented pattern "%u%1s": one
// number and nothing after it, or nothing at all for index 0. The number must fit a signed
// 32-bit index ("-1" reads as 4294967295 and does not).
std::optional<long long> DeviceIndex(std::string_view t) {
    const std::string text(t);
    unsigned value = 0;
    char trail[2];
    const int n = std::sscanf(text.c_str(), "%u%1s", &value, trail);
    if (n == EOF) return 0;
    if (n != 1 || value > 0x7FFFFFFF) return std::nullopt;
    return value;
}

// An Ethernet address as the station's other programs read it: the C library's own inet_aton
// (decimal, octal and hexadecimal parts, short forms, anything after white space), less
// 255.255.255.255, which inet_addr cannot tell from a refusal.
std::optional<uint32_t> Ipv4(std::string_view t) {
    const std::string text(t);
    in_addr address{};
    if (inet_aton(text.c_str(), &address) == 0) return std::nullopt;
    const uint32_t ip = ntohl(address.s_addr);
    if (ip == 0xFFFFFFFF) return std::nullopt;
    return ip;
}

// The VXI address text as the C library's sscanf reads it with the documented patterns. Signs
// and numbers past 32 bits are read however "%u" reads them.
bool VxiAddress(std::string_view t) {
    unsigned board = 0, address = 0;
    return testing::ScanfVxiAddress(std::string(t), &board, &address);
}

struct DriverRow {
    const char* prefix;
    bool family5120;
    const char* legacyPath;  // null: none (FireWire)
    const char* indexedPattern;
    bool usb;
};
constexpr DriverRow kRows[] = {
    {"ISA", true, "\\\\.\\isa5120.VXD", "\\\\.\\isa5120_%lld", false},
    {"PCI", true, "\\\\.\\Pci5120.VXD", "\\\\.\\PCI5120_%lld", false},
    {"USB", true, "\\\\.\\Usb5120", "\\\\.\\Usb5120_%lld", true},
    {"PCI", false, "\\\\.\\Pci51x4.VXD", "\\\\.\\PCI51X4EX_%lld", false},
    {"USB", false, "\\\\.\\Usb51x4", "\\\\.\\Usb51x4EX_%lld", true},
    {"FW", true, nullptr, "\\\\.\\Fw51x4_%lld", false},
    {"FW", false, nullptr, "\\\\.\\Fw51x4_%lld", false},
};

struct Host {
    bool legacy;  // the oldest generation: legacy device paths, no indexed drivers
    platform::OsVersion version;
};
// A current NT system, and the oldest 9x generation with USB support (build bits 16-23 >= 3).
constexpr Host kHosts[] = {{false, {2, 10, 0, 19045}}, {true, {1, 4, 0, 0x00030000}}};

void OpenAndCheck(const std::string& name, const Host& host) {
    InstalledPlatform<testing::FakePlatform> p;
    p->refuseConnections = true;
    p->osVersion = host.version;

    uint32_t status = 0xDEADBEEF;
    ZPX_Handle h = ZPX_OpenController(name.c_str(), &status);
    if (h != nullptr) {
        ZPX_CloseController(h);
        Fail("a controller opened on a platform where nothing can", name);
    }
    ZPX_FUZZ_CHECK(p->lockDepth == 0, "open lock still held after " + name);
    for (uint32_t c : p->counters)
        ZPX_FUZZ_CHECK(c == 1, "single-open slot not given back after " + name);

    auto nothingTried = [&] {
        return p->driverOpens.empty() && p->connects.empty() && p->libraries.empty();
    };
    const std::string detail = name + " status " + std::to_string(status);

    const std::string_view whole(name);
    if (whole.size() >= 256) {
        ZPX_FUZZ_CHECK(status == ZPX_STATUS_INVALID && nothingTried(), detail);
        return;
    }
    const size_t comma = whole.rfind(',');
    const std::string_view working =
        comma == std::string_view::npos ? whole : whole.substr(0, comma);
    const bool is5120 =
        comma != std::string_view::npos && StartsNoCase(whole.substr(comma + 1), "5120");
    if (working.size() > 127) {
        ZPX_FUZZ_CHECK(status == ZPX_STATUS_INVALID && nothingTried(), detail);
        return;
    }

    // The family's prefixes in the order they are tried.
    static constexpr const char* k5120[] = {"PCI", "USB", "ISA", "VXIPCI", "ETH", "FW"};
    static constexpr const char* k51x4[] = {"PCI", "USB", "ETH", "FW"};
    std::string_view prefix;
    if (is5120) {
        for (const char* c : k5120)
            if (prefix.empty() && StartsNoCase(working, c)) prefix = c;
    } else {
        for (const char* c : k51x4)
            if (prefix.empty() && StartsNoCase(working, c)) prefix = c;
    }
    const std::string_view rest = working.substr(prefix.size());

    if (prefix.empty()) {
        ZPX_FUZZ_CHECK(status == ZPX_STATUS_FAILED && nothingTried(), detail);
        return;
    }
    if (prefix == "ETH") {
        if (rest.size() > 31) {
            ZPX_FUZZ_CHECK(status == ZPX_STATUS_INVALID && nothingTried(), detail);
            return;
        }
        const std::optional<uint32_t> ip = Ipv4(rest);
        ZPX_FUZZ_CHECK(status == ZPX_STATUS_FAILED, detail);
        if (!ip) {
            ZPX_FUZZ_CHECK(nothingTried(), detail);
        } else {
            ZPX_FUZZ_CHECK(p->connects.size() == 1 && p->connects[0].first == *ip &&
                               p->connects[0].second == 5104 && p->driverOpens.empty(),
                           detail);
        }
        return;
    }
    if (prefix == "VXIPCI") {
        if (!VxiAddress(rest)) {
            ZPX_FUZZ_CHECK(status == ZPX_STATUS_INVALID && nothingTried(), detail);
        } else {
            // No library of that name exists here: the open fails with 1.
            ZPX_FUZZ_CHECK(
                status == ZPX_STATUS_FAILED && p->driverOpens.empty() && p->connects.empty(),
                detail);
        }
        return;
    }

    const DriverRow* row = nullptr;
    for (const DriverRow& r : kRows)
        if (prefix == r.prefix && r.family5120 == is5120) row = &r;
    ZPX_FUZZ_CHECK(row != nullptr, detail);
    const std::optional<long long> index = DeviceIndex(rest);
    if (!index) {
        ZPX_FUZZ_CHECK(status == ZPX_STATUS_INVALID && nothingTried(), detail);
        return;
    }
    std::string path;
    platform::DriverOpenMode mode = platform::DriverOpenMode::kExisting;
    if (host.legacy && row->legacyPath != nullptr) {
        if (*index != 0) {
            ZPX_FUZZ_CHECK(status == ZPX_STATUS_LEGACY_INDEX && nothingTried(), detail);
            return;
        }
        path = row->legacyPath;
        if (path.size() > 4 && path.compare(path.size() - 4, 4, ".VXD") == 0)
            mode = platform::DriverOpenMode::kDynamicLegacy;
    } else if (std::strcmp(row->prefix, "ISA") == 0 && *index == 0) {
        path = "\\\\.\\isa5120";
    } else {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, row->indexedPattern, *index);
        path = buffer;
    }
    ZPX_FUZZ_CHECK(status == ZPX_STATUS_CANNOT_OPEN, detail);
    ZPX_FUZZ_CHECK(p->driverOpens.size() == 1 && p->driverOpens[0].first == path &&
                       p->driverOpens[0].second == mode && p->connects.empty(),
                   detail + " expected path " + path);
}

}  // namespace
}  // namespace zpx::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string name(reinterpret_cast<const char*>(data),
                           strnlen(reinterpret_cast<const char*>(data), size));
    for (const zpx::fuzz::Host& host : zpx::fuzz::kHosts)
        zpx::fuzz::OpenAndCheck(name, host);
    return 0;
}
