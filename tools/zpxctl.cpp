// zpxctl: command-line tool over the public exports.
//   zpxctl open NAME    open the controller NAME, print its type, interface and status registers
#include <cstdio>
#include <cstring>

#include "zpx/zpx.h"

namespace {

int Usage() {
    std::printf(
        "usage:\n"
        "  zpxctl open NAME   open controller NAME (e.g. ETH127.0.0.2, PCI0, USB1,5120),\n"
        "                     print its type, interface and status registers, close it\n");
    return 2;
}

int OpenAndShow(const char* name) {
    uint32_t status = 0;
    ZPX_Handle h = ZPX_OpenController(name, &status);
    if (h == nullptr) {
        std::printf("open %s: status %u\n", name, status);
        return 1;
    }
    uint32_t type = 0, kind = 0, index = 0, aux = 0, error = 0, taps = 0, learn = 0, button = 0;
    ZPX_GetControllerType(h, &type);
    ZPX_GetInterfaceType(h, &kind, &index, &aux);
    std::printf("controller %s\n  type %d\n  interface %u index %d\n", name, static_cast<int>(type),
                kind, static_cast<int>(index));
    int rc = 0;
    if (ZPX_GetError(h, &error) == ZPX_STATUS_OK && ZPX_GetTapEnable(h, &taps) == ZPX_STATUS_OK &&
        ZPX_GetLearnMode(h, &learn) == ZPX_STATUS_OK && ZPX_GetButton(h, &button) == 0) {
        std::printf(
            "  register 1 (error) 0x%02X\n  register 2: tap enables 0x%02X, learn 0x%X, "
            "button %u\n",
            error, taps, learn, button);
    } else {
        std::printf("  status registers could not be read\n");
        rc = 1;
    }
    ZPX_CloseController(h);
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "open") == 0) return OpenAndShow(argv[2]);
    return Usage();
}
