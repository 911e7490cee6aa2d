// Back-end of the controllers reached through a kernel driver: ISA, PCI, USB and FireWire. One
// class; the differences between the buses are data (DriverRegisterMap), not code paths.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/platform.h"
#include "transport/backend.h"
#include "transport/backend_table.h"
#include "transport/open_slot.h"

namespace zpx::transport {

// Where one byte register is found on a bus: the driver register to ask for and the byte of the
// 8-byte reply that holds the value.
struct RegisterRoute {
    uint8_t request;
    uint8_t replyByte;
    bool refused;  // the bus cannot read this register: fail without sending anything
};

// How the network settings and images of a controller travel on a bus.
enum class ConfigurationPath {
    kNone,      // not at all
    kRequests,  // configuration, status and image-piece requests (USB)
    kAnnounce,  // an image is announced with 12 zero bytes and not sent; no items (FireWire)
};

struct DriverRegisterMap {
    RegisterRoute read[5];  // registers 0, 1, 2, 3, 0x0B
    uint8_t wordLow;        // driver registers of the low and high byte of register 4
    uint8_t wordHigh;
    bool wordInOneRead;          // FireWire: one read of register 4 returns the word in bits 16..31
    RegisterRoute clockRead[2];  // clock registers 6 and 7
    uint8_t clockWrite[2];
    // The USB driver of the 51x4 family takes memory-write pieces whose data length is rounded
    // up to a multiple of 4.
    bool roundsWritesOn51x4;
    ConfigurationPath configuration;
};

const DriverRegisterMap& RegisterMapFor(InterfaceKind kind);

// Staging buffer of the driver transfers: grown to exactly the size asked for, never shrunk.
struct TransferBuffer {
    std::unique_ptr<uint8_t[]> data;
    uint32_t capacity = 0;

    // Makes room for `bytes`; a failed allocation keeps the old buffer.
    void Reserve(uint32_t bytes);
};

class DriverBackend : public Backend {
  public:
    // `slot` is the single-open slot the device's path needed, or null.
    DriverBackend(InterfaceKind kind, uint32_t chunkSize,
                  std::unique_ptr<platform::DriverDevice> device,
                  std::unique_ptr<OpenSlot> slot = nullptr);

    void SetControllerType(int32_t controllerType) override { controllerType_ = controllerType; }

    Result ReadRegister(uint32_t reg, uint32_t* value) override;
    Result WriteRegister(uint32_t reg, uint32_t value, uint32_t partner) override;
    Result ReadRegisterWord(uint32_t* value) override;
    Result WriteRegisterWord(uint32_t value) override;
    Result ReadClockRegister(uint32_t reg, uint32_t* value) override;
    Result WriteClockRegister(uint32_t reg, uint32_t value) override;
    Result WriteCounter(uint32_t counter, uint32_t value) override;
    Result ReadCounter(uint32_t counter, uint32_t* value) override;
    // Both stage each piece in the transfer buffer: one copy of the data per piece, and no
    // allocation once the buffer has reached chunkSize + 16 bytes.
    Result WriteMemoryBlock(uint32_t memory, uint32_t length, const uint8_t* data) override;
    Result ReadMemoryBlock(uint32_t memory, uint32_t length, uint8_t* buffer) override;
    Result QueryDriverId(uint32_t* answer) override;
    Result QueryStatusRegisters(uint32_t* register1, uint32_t* register2) override;
    Result QueryPodSense(uint32_t* answer) override;

    bool CarriesConfiguration() const override;
    Result ConfigWrite(const LanPacket& packet) override;
    Result ConfigRead(LanPacket& packet) override;
    // In pieces of chunkSize staged in the transfer buffer, then the status request.
    Result UploadImage(LanPacket& header, const uint8_t* image, uint32_t length,
                       uint32_t* verdict) override;

    // One request to the driver; in and out may be the same buffer.
    Result DriverRequest(uint32_t code, const void* in, uint32_t inLength, void* out,
                         uint32_t outLength);

    // One RegisterRequest (driver register, value) sent with `code` as input and output.
    Result RegisterExchange(uint32_t code, uint32_t driverRegister, uint32_t value,
                            uint8_t reply[8]);

    const TransferBuffer& transferBuffer() const { return transferBuffer_; }

  private:
    // The staging buffer, grown to a whole piece, with the select and the reserved word of a
    // memory piece in its head.
    uint8_t* PrepareTransferBuffer(uint32_t memory);

    const DriverRegisterMap& map_;
    int32_t controllerType_ = -1;
    TransferBuffer transferBuffer_;
    // Released in reverse order: the device closes before its slot is given back.
    std::unique_ptr<OpenSlot> slot_;
    std::unique_ptr<platform::DriverDevice> deviceHandle_;
};

// Opens a kernel-driver row: the device index behind the prefix, the system generation's path.
bool OpenDriverBackEnd(const BackEndRow& row, std::string_view rest, OpenedBackEnd* opened,
                       OpenFailure* failure);

}  // namespace zpx::transport
