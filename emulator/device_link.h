// How zpx-emu carries a program's driver requests to its controller models (zpx-emu run on a
// driver interface): a preload library in the program (preload.cpp) takes the open of a device
// node zpx-emu serves, connects to zpx-emu's local socket for it, and sends each request ioctl
// over that connection; zpx-emu answers it with the driver stand-in of that device. The
// connection is the open device: closing it closes the device, and while it is open a second
// open of the node is refused, as the driver refuses it.
//
// The emulated VXI driver library (vxi_library.cpp) takes the same road when zpx-emu runs the
// program: it opens the link named kVxiLinkName, and each of its calls is a request whose code is
// the VxiCall and whose one buffer (same in and out) holds the call's record.
//
// Both ends run on one machine, so the records go in its own byte order.
#pragma once

#include <cstdint>

namespace zpx::emu {

// The program's environment: the socket's path, and the device nodes served, by their names
// under /dev separated by commas.
inline constexpr const char* kDevicesSocketVariable = "ZPX_EMU_DEVICES";
inline constexpr const char* kDeviceNodesVariable = "ZPX_EMU_NODES";
// Set for a program whose VXI driver library is to call zpx-emu's board: the socket's path.
inline constexpr const char* kVxiSocketVariable = "ZPX_EMU_VXI";
inline constexpr const char* kVxiLinkName = "vxi5120";

inline constexpr uint32_t kDeviceLinkMagic = 0x5A505844;
// The longest buffer of a request: a USB memory piece and its header, with room to spare.
inline constexpr uint32_t kDeviceLinkMaxBuffer = 1u << 20;

// The first record on a connection, answered by an int32_t: 0, or the errno of the open.
struct DeviceOpenRecord {
    uint32_t magic;
    char node[60];  // the name under /dev, NUL-terminated
};

// A request: this head, then `inLength` bytes of input. `sameBuffer` says that the program's
// input and output buffers are one, so the output starts as the input.
struct DeviceRequestRecord {
    uint32_t code, inLength, outLength, sameBuffer;
};

// Its answer: this head, then `outLength` bytes of output when `error` is 0; `error` is the
// errno of a refused or failed request.
struct DeviceReplyRecord {
    int32_t error;
    uint32_t returned;
};

}  // namespace zpx::emu
