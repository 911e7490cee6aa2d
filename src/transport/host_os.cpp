#include "transport/host_os.h"

namespace zpx::transport {

namespace {

constexpr uint32_t kPlatform9x = 1;
constexpr uint32_t kPlatformNt = 2;

// Bit q set: query q answers yes.
constexpr unsigned Yes(std::initializer_list<int> queries) {
    unsigned mask = 0;
    for (int q : queries)
        mask |= 1u << q;
    return mask;
}

unsigned AnswersFor(const platform::OsVersion& v) {
    if (v.platformId == kPlatform9x) {
        if (v.major != 4) return 0;
        if (v.minor < 10) return Yes({4, 5}) | (((v.build >> 16) & 0xFF) >= 3 ? Yes({1}) : 0);
        if (v.minor < 90) return Yes({1, 2, 3, 4, 6});
        return Yes({1, 2, 3, 4, 9});
    }
    if (v.platformId == kPlatformNt) {
        if (v.major < 4) return 0;
        if (v.major == 4) return Yes({3, 7});
        if (v.major == 5) return v.minor == 0 ? Yes({1, 2, 3, 8}) : Yes({1, 2, 3, 10});
        return Yes({1, 2, 3, 8});
    }
    return 0;
}

}  // namespace

bool HostOsClass(const platform::OsVersion& version, int query) {
    if (query < 1 || query > 10) return false;
    return (AnswersFor(version) >> query) & 1u;
}

bool HostOsClass(int query) {
    platform::OsVersion version;
    if (!platform::Use<platform::Host>().QueryOsVersion(&version)) return false;
    return HostOsClass(version, query);
}

}  // namespace zpx::transport
