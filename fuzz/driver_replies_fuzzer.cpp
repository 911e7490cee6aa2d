// A controller behind a kernel driver that answers anything: every driver request's output
// buffer, and whether the request succeeds, come from the fuzz input. The session is opened by one
// of a set of PCI, USB, ISA and FireWire names on one of a set of host systems (which decide
// between the indexed and the legacy device paths), a sequence of exports runs on it, then it is
// closed. The fake device reads every byte the library declares as input and writes every byte it
// declares as output room, so a declared length larger than its buffer is a reported overflow.
//
// Input:
//   byte 0       low nibble: the name (kNames), bits 4-5: the host system (kHosts)
//   byte 1       number of call records n
//   bytes 2-9    two little-endian u32: the Register1 and Register2 values of the status file
//                (where a 5120-family session on an older driver keeps its status registers)
//   9 n bytes    the call records (session_exports.h)
//   the rest     one reply per request, in the order the library sends them:
//                  0xFF       the driver refuses the request
//                  0xF0-0xFE  the output is filled with the value of the next byte
//                  0x00-0xEF  the output is the next bytes (as many as it has room for; zeros
//                             past the end of the input)
//                When the replies run out, the driver refuses every further request.
#include <memory>
#include <string>

#include "installed_platform.h"
#include "session_exports.h"
#include "zpx/zpx.h"

namespace zpx::fuzz {
namespace {

constexpr const char* kNames[] = {
    "PCI0",     "USB0",     "FW0",       "PCI0,5120", "USB0,5120", "ISA0,5120",
    "FW0,5120", "PCI3",     "USB1,5120", "ISA2,5120", "PCI,5120",  "FW7",
    "USB 2",    "ISA,5120", "PCI1,5120", "USB0",
};
constexpr platform::OsVersion kHosts[] = {
    {2, 10, 0, 19045},      // current NT: indexed paths
    {2, 5, 0, 2195},        // NT 5.0
    {1, 4, 0, 0x00030000},  // the oldest generation, with USB: legacy single-open paths
    {1, 4, 10, 2222},       // 9x 4.10
};

class ReplyDevice : public platform::DriverDevice {
  public:
    explicit ReplyDevice(std::shared_ptr<ByteReader> replies) : replies_(std::move(replies)) {}

    bool Request(uint32_t code, const void* in, uint32_t inLength, void* out,
                 uint32_t outLength) override {
        volatile uint8_t sink = static_cast<uint8_t>(code);
        const auto* input = static_cast<const uint8_t*>(in);
        for (uint32_t i = 0; input != nullptr && i < inLength; ++i)
            sink = sink ^ input[i];
        if (replies_->empty()) return false;
        const uint8_t control = replies_->Byte();
        if (control == 0xFF) return false;
        auto* output = static_cast<uint8_t*>(out);
        if (output == nullptr || outLength == 0) return true;
        if (control >= 0xF0) {
            const uint8_t value = replies_->Byte();
            for (uint32_t i = 0; i < outLength; ++i)
                output[i] = value;
            return true;
        }
        size_t got = 0;
        const uint8_t* bytes = replies_->Take(outLength, &got);
        for (uint32_t i = 0; i < outLength; ++i)
            output[i] = i < got ? bytes[i] : 0;
        return true;
    }

  private:
    std::shared_ptr<ByteReader> replies_;
};

class DriverPlatform : public testing::FakePlatform {
  public:
    std::shared_ptr<ByteReader> replies;

    std::unique_ptr<platform::DriverDevice> OpenDriver(const std::string& path,
                                                       platform::DriverOpenMode mode,
                                                       uint32_t* lastError) override {
        driverOpens.emplace_back(path, mode);
        (void)lastError;  // every path opens
        return std::make_unique<ReplyDevice>(replies);
    }
};

}  // namespace
}  // namespace zpx::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zpx::fuzz;
    ByteReader in(data, size);
    const uint8_t choice = in.Byte();
    const size_t callCount = in.Byte();
    const uint32_t register1 = in.U32();
    const uint32_t register2 = in.U32();
    size_t callBytes = 0;
    const uint8_t* calls = in.Take(callCount * kCallRecordSize, &callBytes);
    size_t replyBytes = 0;
    const uint8_t* replies = in.Take(in.remaining(), &replyBytes);

    InstalledPlatform<DriverPlatform> p;
    p->replies = std::make_shared<ByteReader>(replies, replyBytes);
    p->osVersion = kHosts[(choice >> 4) & 3];
    const std::string name = kNames[choice & 15];
    // The status file beside the library, as an earlier session of the same name left it.
    p->files["/opt/zpx/lib/KVCtrl.dat"] = "[" + name + "]\nRegister1=" + std::to_string(register1) +
                                          "\nRegister2=" + std::to_string(register2) + "\n";

    (void)OpenRunClose(name.c_str(), calls, callBytes);
    return 0;
}
