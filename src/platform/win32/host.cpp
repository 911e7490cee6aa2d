// The operating-system version.
#include <windows.h>

#include "core/immortal.h"
#include "platform/platform.h"

namespace zpx::platform {

namespace {
class WindowsHost final : public Host {
  public:
    bool QueryOsVersion(OsVersion* version) override {
        OSVERSIONINFOA info{};
        info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        // The platform class is what matters here, and every version of the query reports it.
        const BOOL ok = ::GetVersionExA(&info);
#pragma GCC diagnostic pop
        if (!ok) return false;
        version->platformId = info.dwPlatformId;
        version->major = info.dwMajorVersion;
        version->minor = info.dwMinorVersion;
        version->build = info.dwBuildNumber;
        return true;
    }
};
}  // namespace

template <>
Host& System<Host>() {
    static Immortal<WindowsHost> host;
    return host.get();
}

}  // namespace zpx::platform
