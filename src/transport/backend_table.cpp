#include "transport/backend_table.h"

#include "transport/driver_backend.h"
#include "transport/lan_backend.h"
#include "transport/name_text.h"
#include "transport/vxi_backend.h"

namespace zpx::transport {

namespace {

// legacy path, slot, indexed path, index 0 path and name, unnumbered name, USB, indexed drivers,
// legacy busy
constexpr DriverPaths kIsa5120 = {"\\\\.\\isa5120.VXD",
                                  kCounterIsa,
                                  "\\\\.\\isa5120_%d",
                                  "\\\\.\\isa5120",
                                  "ISA0,5120",
                                  nullptr,
                                  false,
                                  true,
                                  false};
constexpr DriverPaths kPci5120 = {"\\\\.\\Pci5120.VXD",
                                  kCounterPci,
                                  "\\\\.\\PCI5120_%d",
                                  nullptr,
                                  nullptr,
                                  "PCI0,5120",
                                  false,
                                  true,
                                  false};
constexpr DriverPaths kUsb5120 = {"\\\\.\\Usb5120",
                                  kCounterUsb,
                                  "\\\\.\\Usb5120_%d",
                                  nullptr,
                                  nullptr,
                                  nullptr,
                                  true,
                                  false,
                                  true};
constexpr DriverPaths kPci51x4 = {"\\\\.\\Pci51x4.VXD",
                                  kCounterPci,
                                  "\\\\.\\PCI51X4EX_%d",
                                  nullptr,
                                  nullptr,
                                  nullptr,
                                  false,
                                  true,
                                  false};
constexpr DriverPaths kUsb51x4 = {"\\\\.\\Usb51x4",
                                  kCounterUsb,
                                  "\\\\.\\Usb51x4EX_%d",
                                  nullptr,
                                  nullptr,
                                  nullptr,
                                  true,
                                  false,
                                  true};
// FireWire has no legacy path and runs on every generation that has its driver.
constexpr DriverPaths kFireWire = {
    nullptr, kCounterUsb, "\\\\.\\Fw51x4_%d", nullptr, nullptr, nullptr, false, false, false};

using enum Identification;

// Within a family the prefixes are tried in this order.
constexpr BackEndRow kBackEnds[] = {
    // prefix, family, kind, chunk, identification, pod kind from TAPs (pod, record), paths, open
    {"PCI", kFamily5120, kInterfacePci, 4096, kAskDriver, false, false, &kPci5120,
     OpenDriverBackEnd},
    {"USB", kFamily5120, kInterfaceUsb, 4096, kAskDriver, false, false, &kUsb5120,
     OpenDriverBackEnd},
    {"ISA", kFamily5120, kInterfaceIsa, 4096, k5120Board, true, true, &kIsa5120, OpenDriverBackEnd},
    {"VXIPCI", kFamily5120, kInterfaceVxi, 4096, k5120Board, true, false, nullptr, OpenVxiBackEnd},
    {"ETH", kFamily5120, kInterfaceEthernet, 8192, k51x4Path, false, false, nullptr,
     OpenLanBackEnd},
    {"FW", kFamily5120, kInterfaceFireWire, 16384, k51x4Path, false, false, &kFireWire,
     OpenDriverBackEnd},
    {"PCI", kFamily51x4, kInterfacePci, 4096, kAskDriver, false, false, &kPci51x4,
     OpenDriverBackEnd},
    {"USB", kFamily51x4, kInterfaceUsb, 131072, kAskDriver, false, false, &kUsb51x4,
     OpenDriverBackEnd},
    {"ETH", kFamily51x4, kInterfaceEthernet, 8192, k51x4Path, false, false, nullptr,
     OpenLanBackEnd},
    {"FW", kFamily51x4, kInterfaceFireWire, 16384, k51x4Path, false, false, &kFireWire,
     OpenDriverBackEnd},
};

}  // namespace

const BackEndRow* FindBackEnd(std::string_view working, ControllerFamily family,
                              size_t* prefixLength) {
    *prefixLength = 0;
    for (const BackEndRow& row : kBackEnds) {
        if (row.family == family && StartsWithNoCase(working, row.prefix)) {
            *prefixLength = row.prefix.size();
            return &row;
        }
    }
    return nullptr;
}

}  // namespace zpx::transport
