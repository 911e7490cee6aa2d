// An in-process stand-in for the kernel driver of an ISA, PCI, USB or FireWire controller.
//
// It answers the driver requests of include/zpx/driver_abi.h with the buffer layouts the drivers
// use, and is strict about them: a request with buffers of the wrong size, a field that should be
// 0 and is not, an unknown register, select or counter, a piece larger than the driver's buffer,
// or a configuration packet the controller would not take is refused as a protocol error (logged
// with its reason and counted), as a real driver would refuse it, so that a library that builds a
// request wrongly sees a failure rather than a quiet success. A request the driver does not know
// at all (an older driver asked for its identification) is refused without being an error.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "controller.h"
#include "faults.h"

namespace zpx::emu {

enum class DriverKind { kIsa, kPci, kUsb, kFireWire };

struct DriverOptions {
    DriverKind kind = DriverKind::kPci;
    // An older driver knows neither the identification nor the status-register request, nor the
    // counter requests of the current drivers.
    bool olderDriver = false;
    // Upper half of the identification answer; 0 picks 0x9030 for the 51x4 family and 0x9050
    // for the 5120 family. The lower half carries a driver build number that callers ignore.
    uint16_t driverId = 0;
    uint16_t driverBuild = 0x0107;
    LogSink log;  // one line per request when set
};

class DriverStandIn {
  public:
    explicit DriverStandIn(Controller& controller, DriverOptions options = {});

    // One synchronous request; true when the driver carried it out. `in` and `out` may be the
    // same buffer, as the library passes them.
    bool Request(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength);

    void SetFaults(std::vector<Fault> faults) { faults_.Set(std::move(faults)); }
    void AddFault(Fault fault) { faults_.Add(std::move(fault)); }
    uint64_t RequestCount() const { return faults_.RequestCount(); }
    // Requests refused for a wrong buffer size or field.
    uint64_t ProtocolErrors() const { return protocolErrors_; }
    DriverKind Kind() const { return options_.kind; }
    // The largest memory or image piece the driver's buffer takes.
    uint32_t ChunkLimit() const;

  private:
    RequestTarget TargetOf(uint32_t code, const uint8_t* in, uint32_t inLength);
    // Refuses the request as a protocol error, for the reason given; returns false.
    bool Violation(std::string what);
    bool Lengths(uint32_t inLength, uint32_t outLength, uint32_t wantIn, uint32_t wantOut);
    bool PieceHead(const uint8_t* in, uint32_t inLength, uint32_t maxSelect);
    bool Dispatch(uint32_t code, const uint8_t* in, uint32_t inLength, uint8_t* out,
                  uint32_t outLength);
    bool RegisterRead(const uint8_t* in, uint32_t inLength, uint8_t* out, uint32_t outLength);
    bool RegisterWrite(const uint8_t* in, uint32_t inLength, uint8_t* out, uint32_t outLength);
    bool ReadByteRegister(uint32_t driverRegister, uint32_t* value);
    bool WriteByteRegister(uint32_t driverRegister, uint32_t value);
    bool MemoryWrite(const uint8_t* in, uint32_t inLength, uint32_t outLength);
    bool MemoryRead(const uint8_t* in, uint32_t inLength, uint8_t* out, uint32_t outLength);
    bool ConfigWrite(const uint8_t* in, uint32_t inLength, uint32_t outLength);
    bool ConfigRead(const uint8_t* in, uint32_t inLength, uint8_t* out, uint32_t outLength);
    bool ImagePiece(const uint8_t* in, uint32_t inLength, uint32_t outLength);
    void Log(uint32_t code, const uint8_t* in, uint32_t inLength, const uint8_t* out,
             uint32_t outLength, bool done);

    Controller& controller_;
    const DriverOptions options_;
    FaultPlan faults_;

    std::mutex mutex_;  // the image upload state, the scratch buffer and the violation
    std::vector<uint8_t> scratch_;
    std::string violation_;  // why the request being served is refused, or ""
    std::atomic<uint64_t> protocolErrors_{0};
    bool imagePending_ = false;
    uint8_t imageHeader_[12] = {};
    uint32_t imageLength_ = 0;
    std::vector<uint8_t> image_;
};

}  // namespace zpx::emu
