// An Ethernet controller that answers anything: a session opened as "ETH1.2.3.4" over a fake TCP
// connection whose received bytes, time-outs, close and errors all come from the fuzz input, then
// a sequence of exports run on it, then closing. A hostile or broken controller must never make
// the library read or write out of bounds, leak, or hang.
//
// Input:
//   byte 0       bit 0: the name carries the 5120 family suffix
//   byte 1       number of call records n, then n records of 9 bytes (session_exports.h)
//   the rest     what the connection delivers, as events:
//                  0x00-0xEF  t: t + 1 bytes of data follow (a receive may take them in parts)
//                  0xF0       a wait for data runs out
//                  0xF1       the controller closes the connection
//                  0xF2       the connection fails
//                  0xF3-0xFF  t: (t - 0xF2) * 4096 bytes, each the value of the next byte
//                When the events run out, every further wait runs out.
#include <string>
#include <vector>

#include "installed_platform.h"
#include "session_exports.h"
#include "zpx/zpx.h"

namespace zpx::fuzz {
namespace {

std::deque<testing::TcpEvent> Events(ByteReader& in) {
    std::deque<testing::TcpEvent> events;
    while (!in.empty()) {
        const uint8_t t = in.Byte();
        if (t <= 0xEF) {
            size_t got = 0;
            const uint8_t* p = in.Take(t + 1u, &got);
            if (got == 0) break;
            events.push_back({testing::TcpEvent::kData, std::vector<uint8_t>(p, p + got)});
        } else if (t == 0xF0) {
            events.push_back({testing::TcpEvent::kTimeout, {}});
        } else if (t == 0xF1) {
            events.push_back({testing::TcpEvent::kClose, {}});
        } else if (t == 0xF2) {
            events.push_back({testing::TcpEvent::kError, {}});
        } else {
            const uint8_t value = in.Byte();
            events.push_back({testing::TcpEvent::kData,
                              std::vector<uint8_t>(static_cast<size_t>(t - 0xF2) * 4096, value)});
        }
    }
    return events;
}

}  // namespace
}  // namespace zpx::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zpx::fuzz;
    ByteReader in(data, size);
    const uint8_t flags = in.Byte();
    size_t callBytes = 0;
    const uint8_t* calls = in.Take(in.Byte() * kCallRecordSize, &callBytes);

    InstalledPlatform<zpx::testing::FakePlatform> p;
    p->nextConnection->script = Events(in);

    const std::string name = (flags & 1) ? "ETH1.2.3.4,5120" : "ETH1.2.3.4";
    if (!OpenRunClose(name.c_str(), calls, callBytes)) return 0;
    ZPX_FUZZ_CHECK(p->nextConnection->closed, "the connection outlived its session");
    return 0;
}
