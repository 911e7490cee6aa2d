// Network settings, versions and image updates of the 51x4-family controllers that keep them
// (USB, Ethernet; FireWire takes image updates only). Every failure of an item is 3, as is a
// controller of the 5120 family or a back-end without configuration (nothing is then sent); a
// null output gives 10. The updates give 1 for a transport failure and pass the controller's
// own nonzero status through unchanged.
#include "api/call_frame.h"
#include "device/access.h"

using namespace zpx;
using namespace zpx::transport;

namespace {

constexpr Status kNotConfigurable = Status::kBusy;

bool Configurable(const ControllerSession& s) {
    return s.controllerType != 0 && device::CarriesConfiguration(s);
}

uint32_t SetItem(ZPX_Handle handle, ConfigItem item, uint32_t data0, uint32_t data1 = 0) {
    return Frame(handle).Run([&](ControllerSession& s) {
        if (!Configurable(s)) return kNotConfigurable;
        return StatusOf(device::ConfigWrite(s, item, data0, data1), kNotConfigurable);
    });
}

uint32_t GetItem(Frame frame, ConfigItem item, uint32_t* data0, uint32_t* data1 = nullptr) {
    return frame.Run([&](ControllerSession& s) {
        if (data0 == nullptr) return Status::kInvalid;
        uint32_t first = 0;
        uint32_t second = 0;
        if (!Configurable(s) || device::ConfigRead(s, item, &first, &second).failed()) {
            return kNotConfigurable;
        }
        *data0 = first;
        if (data1 != nullptr) *data1 = second;
        return Status::kOk;
    });
}

uint32_t Update(ZPX_Handle handle, ImageKind kind, uint32_t length, uint8_t first, uint8_t second,
                const uint8_t* image) {
    return Frame(handle).Run([&](ControllerSession& s) {
        if (!Configurable(s)) return kNotConfigurable;
        // An image that is not there cannot be read; an empty one travels as its header alone
        // and the controller gives its verdict on it.
        if (image == nullptr && length != 0) return Status::kInvalid;
        uint32_t verdict = 0;
        if (device::FirmwareUpload(s, kind, length, first, second, image, &verdict).failed()) {
            return Status::kFailed;
        }
        return Answer(verdict);
    });
}

}  // namespace

extern "C" {

ZPX_API uint32_t ZPX_SetIpAddress(ZPX_Handle handle, uint32_t address) {
    return SetItem(handle, kItemIpAddress, address);
}

ZPX_API uint32_t ZPX_SetMACAddress(ZPX_Handle handle, uint32_t first, uint32_t second) {
    return SetItem(handle, kItemMacAddress, first, second);
}

ZPX_API uint32_t ZPX_SetDHCP(ZPX_Handle handle, uint32_t flag) {
    return SetItem(handle, kItemDhcp, flag);
}

ZPX_API uint32_t ZPX_GetIpAddress(ZPX_Handle handle, uint32_t* address) {
    return GetItem(Frame(handle), kItemIpAddress, address);
}

ZPX_API uint32_t ZPX_GetMACAddress(ZPX_Handle handle, uint32_t* first, uint32_t* second) {
    // The second part is needed before anything else: without it even a busy session says 10.
    return GetItem(Frame(handle).Require(second, Status::kInvalid), kItemMacAddress, first, second);
}

ZPX_API uint32_t ZPX_GetDHCP(ZPX_Handle handle, uint32_t* flag) {
    return GetItem(Frame(handle), kItemDhcp, flag);
}

ZPX_API uint32_t ZPX_GetFPGAVersion(ZPX_Handle handle, uint32_t* version) {
    return GetItem(Frame(handle), kItemFpgaVersion, version);
}

ZPX_API uint32_t ZPX_GetFirmwareVersion(ZPX_Handle handle, uint32_t* version) {
    return GetItem(Frame(handle), kItemFirmwareVersion, version);
}

ZPX_API uint32_t ZPX_UpdateFirmware(ZPX_Handle handle, uint32_t length, uint32_t, uint8_t first,
                                    uint8_t second, const uint8_t* image) {
    return Update(handle, kImageFirmware, length, first, second, image);
}

ZPX_API uint32_t ZPX_UpdateFPGA(ZPX_Handle handle, uint32_t length, uint32_t, uint8_t first,
                                uint8_t second, const uint8_t* image) {
    return Update(handle, kImageFpga, length, first, second, image);
}

}  // extern "C"
