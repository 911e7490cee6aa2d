// The emulator's request decoder: zpx-emu is a network server, and any client may send it
// anything. One client connection carries the fuzz input's byte stream to a LanServer in front of
// a fresh Controller, over the in-memory sockets of memory_sockets.cpp, and closes.
//
// Input:
//   byte 0       the controller: bits 0-1 its type, bits 2-3 the pod kind, bit 4 no pod, bit 5
//                spoilt serial ROMs
//   the rest     the stream in the pieces the client sends it:
//                  0x00-0xEF  t: the next t + 1 bytes are one piece
//                  0xF0-0xFF  t: a piece of (t - 0xEF) * 8192 bytes, each the value of the next
//                             byte (memory blocks and images of realistic size)
//                at most 1 MiB in all.
//
// Besides crashes, leaks and hangs, one property of a stream decoder is checked: how the stream
// was cut into pieces must not matter. The same bytes are served a second time in pieces as large
// as the server takes them, and both runs must count the same requests, read the stream to its
// end (or drop the connection before it) alike and send the same number of reply bytes. (Reply
// contents may differ: the sequencer runs in real time.)
#include <string>
#include <vector>

#include "controller.h"
#include "fuzz_support.h"
#include "lan_server.h"
#include "memory_sockets.h"

namespace zpx::fuzz {
namespace {

constexpr size_t kMaxStream = 1u << 20;

struct Outcome {
    uint64_t requests = 0;
    bool readToEnd = false;
    size_t sent = 0;
};

Outcome Serve(const emu::ControllerConfig& config, std::vector<std::vector<uint8_t>> pieces) {
    emu::Controller controller(config);
    emu::LanServerOptions options;
    options.port = 0;
    emu::LanServer server(controller, options);
    sockets::Offer(std::move(pieces));
    std::string error;
    if (!server.Start(&error)) Fail("the server did not start:", error);
    sockets::WaitUntilServed();
    server.Stop();
    return {server.RequestCount(), sockets::ReadToEnd(), sockets::BytesSent()};
}

}  // namespace
}  // namespace zpx::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zpx::fuzz;
    ByteReader in(data, size);
    const uint8_t setup = in.Byte();
    zpx::emu::ControllerConfig config;
    config.type = setup & 3;
    config.podKind = (setup >> 2) & 3;
    config.podPresent = (setup & 0x10) == 0;
    config.corruptRoms = (setup & 0x20) != 0;

    std::vector<std::vector<uint8_t>> pieces;
    std::vector<uint8_t> whole;
    while (!in.empty() && whole.size() < kMaxStream) {
        const uint8_t t = in.Byte();
        std::vector<uint8_t> piece;
        if (t <= 0xEF) {
            size_t got = 0;
            const uint8_t* p = in.Take(t + 1u, &got);
            piece.assign(p, p + got);
        } else {
            piece.assign(static_cast<size_t>(t - 0xEF) * 8192, in.Byte());
        }
        if (piece.size() > kMaxStream - whole.size()) piece.resize(kMaxStream - whole.size());
        whole.insert(whole.end(), piece.begin(), piece.end());
        pieces.push_back(std::move(piece));
    }

    const bool severalPieces = pieces.size() > 1;
    const Outcome cut = Serve(config, std::move(pieces));
    if (!severalPieces) return 0;  // the second run would be the same
    const Outcome plain = Serve(config, {whole});
    const std::string detail = "requests " + std::to_string(cut.requests) + "/" +
                               std::to_string(plain.requests) + ", read to the end " +
                               std::to_string(cut.readToEnd) + "/" +
                               std::to_string(plain.readToEnd) + ", sent " +
                               std::to_string(cut.sent) + "/" + std::to_string(plain.sent);
    ZPX_FUZZ_CHECK(cut.requests == plain.requests && cut.readToEnd == plain.readToEnd &&
                       cut.sent == plain.sent,
                   "the pieces changed what the server did: " + detail);
    return 0;
}
