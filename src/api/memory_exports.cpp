// Writing test vectors into the controller's memories and reading results back.
//
// The addressed forms load the memory's address counter first; the others ("Na", "Ex") continue
// where the controller's counter stands. Every failure is 10; pieces already moved stay moved.
#include "api/call_frame.h"
#include "device/access.h"
#include "device/settle.h"

using namespace zpx;
using namespace zpx::transport;
using namespace zpx::device;

namespace {

// A caller that names a length owes the bytes: refuse a missing buffer before anything moves.
bool MissingData(const void* data, uint32_t length) {
    return data == nullptr && length != 0;
}

Status WriteAt(ControllerSession& s, uint32_t memory, uint32_t length, const uint8_t* data) {
    return StatusOf(WriteMemoryBlock(s, memory, length, data), Status::kInvalid);
}

Status ReadAt(ControllerSession& s, uint32_t memory, uint32_t length, uint8_t* buffer) {
    // Results are only complete once the controller has run its last periods after stopping.
    AwaitSettle(s, kSettleStopped);
    return StatusOf(ReadMemoryBlock(s, memory, length, buffer), Status::kInvalid);
}

Status WriteAddressed(ControllerSession& s, uint32_t memory, uint32_t address, uint32_t length,
                      const uint8_t* data) {
    if (MissingData(data, length) || memory >= kMemoryCount) return Status::kInvalid;
    if (WriteCounterValue(s, AddressCounterOf(memory), address).failed()) return Status::kInvalid;
    return WriteAt(s, memory, length, data);
}

Status ReadAddressed(ControllerSession& s, uint32_t memory, uint32_t address, uint32_t length,
                     uint8_t* buffer) {
    if (MissingData(buffer, length) || memory >= kMemoryCount) return Status::kInvalid;
    if (WriteCounterValue(s, AddressCounterOf(memory), address).failed()) return Status::kInvalid;
    return ReadAt(s, memory, length, buffer);
}

// The memory number of the unaddressed forms is not checked: a larger one travels as given.
Status WriteHere(ControllerSession& s, uint32_t memory, uint32_t length, const uint8_t* data) {
    if (MissingData(data, length)) return Status::kInvalid;
    return WriteAt(s, memory, length, data);
}

Status ReadHere(ControllerSession& s, uint32_t memory, uint32_t length, uint8_t* buffer) {
    if (MissingData(buffer, length)) return Status::kInvalid;
    return ReadAt(s, memory, length, buffer);
}

// Every failure of a transfer is 10, a staging buffer that cannot be made too.
Frame Transfer(ZPX_Handle handle) {
    Frame frame(handle);
    frame.OnException(Status::kInvalid);
    return frame;
}

constexpr uint32_t kResultMemory = 5;

}  // namespace

extern "C" {

ZPX_API uint32_t ZPX_WriteCtrlMemory(ZPX_Handle handle, uint32_t memory, uint32_t address,
                                     uint32_t length, const uint8_t* data) {
    return Transfer(handle).Run(
        [&](ControllerSession& s) { return WriteAddressed(s, memory, address, length, data); });
}

ZPX_API uint32_t ZPX_WriteCtrlMemoryNa(ZPX_Handle handle, uint32_t memory, uint32_t length,
                                       const uint8_t* data) {
    return Transfer(handle).Run(
        [&](ControllerSession& s) { return WriteHere(s, memory, length, data); });
}

ZPX_API uint32_t ZPX_ReadCtrlMemory(ZPX_Handle handle, uint32_t memory, uint32_t address,
                                    uint32_t length, uint8_t* buffer) {
    return Transfer(handle).Run([&](ControllerSession& s) {
        // Memory 5 is one position ahead of its address counter in this form of the call.
        const uint32_t start = memory == kResultMemory ? address + 1 : address;
        return ReadAddressed(s, memory, start, length, buffer);
    });
}

ZPX_API uint32_t ZPX_ReadCtrlMemoryNa(ZPX_Handle handle, uint32_t memory, uint32_t length,
                                      uint8_t* buffer) {
    return Transfer(handle).Run(
        [&](ControllerSession& s) { return ReadHere(s, memory, length, buffer); });
}

ZPX_API uint32_t ZPX_WriteMemory(ZPX_Handle handle, uint32_t, uint32_t memory, uint32_t address,
                                 uint32_t length, const uint8_t* data) {
    return Transfer(handle).Run(
        [&](ControllerSession& s) { return WriteAddressed(s, memory, address, length, data); });
}

ZPX_API uint32_t ZPX_ReadMemory(ZPX_Handle handle, uint32_t, uint32_t memory, uint32_t address,
                                uint32_t length, uint8_t* buffer) {
    return Transfer(handle).Run(
        [&](ControllerSession& s) { return ReadAddressed(s, memory, address, length, buffer); });
}

ZPX_API uint32_t ZPX_WriteMemoryEx(ZPX_Handle handle, uint32_t, uint32_t memory, uint32_t length,
                                   const uint8_t* data) {
    return Transfer(handle).Run(
        [&](ControllerSession& s) { return WriteHere(s, memory, length, data); });
}

ZPX_API uint32_t ZPX_ReadMemoryEx(ZPX_Handle handle, uint32_t, uint32_t memory, uint32_t length,
                                  uint8_t* buffer) {
    return Transfer(handle).Run(
        [&](ControllerSession& s) { return ReadHere(s, memory, length, buffer); });
}

}  // extern "C"
