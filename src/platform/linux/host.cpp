// The operating-system class.
#include "core/immortal.h"
#include "platform/platform.h"

namespace zpx::platform {

namespace {
class LinuxHost final : public Host {
  public:
    bool QueryOsVersion(OsVersion* version) override {
        // Linux answers as the newest NT line: USB support and the indexed drivers, no legacy
        // paths.
        version->platformId = 2;
        version->major = 10;
        version->minor = 0;
        version->build = 19045;
        return true;
    }
};
}  // namespace

template <>
Host& System<Host>() {
    static Immortal<LinuxHost> host;
    return host.get();
}

}  // namespace zpx::platform
