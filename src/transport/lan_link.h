// The byte layer of the Ethernet controllers: one TCP stream per session, requests and replies
// matched by order alone, every unit a 12-byte LanPacket (or a 16-byte memory header followed by
// raw data), encoded explicitly as little-endian bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/bytes.h"
#include "core/result.h"
#include "platform/platform.h"

namespace zpx::transport {

inline constexpr uint16_t kLanPort = 5104;
// A receive waits at most this many times for readability, each wait this long.
inline constexpr int kLanReceiveWaits = 4;
inline constexpr uint32_t kLanWaitMs = 5000;
inline constexpr uint32_t kLanPauseMs = 25;

enum LanOpcode : uint16_t {
    kLanReadRegister = 0x0001,
    kLanWriteRegister = 0x0002,
    kLanReadCounter = 0x0004,
    kLanWriteCounter = 0x0008,
    kLanReadMemory = 0x0010,
    kLanWriteMemory = 0x0020,
    kLanReadConfig = 0x2000,
    kLanWriteConfig = 0x4000,
    kLanImage = 0x8000,
};

struct LanPacket {
    static constexpr size_t kSize = 12;
    uint8_t bytes[kSize] = {};

    static LanPacket Make(uint16_t opcode, uint8_t address, uint8_t width, uint32_t data0,
                          uint32_t data1 = 0) {
        LanPacket p;
        PutU16(p.bytes, opcode);
        p.bytes[2] = address;
        p.bytes[3] = width;
        PutU32(p.bytes + 4, data0);
        PutU32(p.bytes + 8, data1);
        return p;
    }
    // The first four bytes as one word: (width << 24) | (address << 16) | opcode.
    static LanPacket FromCommand(uint32_t command, uint32_t data0, uint32_t data1 = 0) {
        return Make(static_cast<uint16_t>(command), static_cast<uint8_t>(command >> 16),
                    static_cast<uint8_t>(command >> 24), data0, data1);
    }
    uint32_t command() const { return GetU32(bytes); }
    uint32_t data0() const { return GetU32(bytes + 4); }
    uint32_t data1() const { return GetU32(bytes + 8); }
};

// The 16-byte head of a memory block: a LanPacket (opcode, memory select code as its address,
// width 0, the byte count in data0, data1 0) followed by four zero bytes. A write is followed by
// the data itself; a read is answered by the raw bytes alone.
struct LanMemoryHeader {
    static constexpr size_t kSize = 16;
    uint8_t bytes[kSize] = {};

    static LanMemoryHeader Make(uint16_t opcode, uint8_t selectCode, uint32_t count) {
        LanMemoryHeader h;
        const LanPacket p = LanPacket::Make(opcode, selectCode, 0, count);
        for (size_t i = 0; i < LanPacket::kSize; ++i)
            h.bytes[i] = p.bytes[i];
        return h;
    }
};

// How long a send may block on a controller that stopped reading: as long as a reply may take.
inline constexpr uint32_t kLanSendLimitMs = kLanReceiveWaits * (kLanWaitMs + kLanPauseMs);

// The session's byte stream to its controller. Replies are matched to requests by order alone,
// and one request is outstanding at a time, so the link keeps the stream in step:
// - a reply the link gave up on (none came, or only part of it, before the waits ran out) may
//   still come. Bytes that are already waiting when the next request is about to go can be no
//   answer to that request (nothing else is outstanding, and writes are not answered), so they are
//   dropped then, without waiting for anything. Bytes that never came are forgotten: the next read
//   gets its own reply at once. Only a link that gave up on a reply looks; the common path costs
//   no extra system call. A late reply that arrives only after the next request went out cannot be
//   told from that request's answer;
// - a send that failed or timed out may have left half a request on the wire, so the link is
//   broken from then on and every later exchange fails at once instead of reading answers to
//   questions nobody asked.
class LanLink {
  public:
    explicit LanLink(std::unique_ptr<platform::TcpConnection> socket)
        : socket_(std::move(socket)) {}

    // Sends every byte; 1 when a send reports an error or the link is broken. `more` tells the
    // system that further bytes of the same block follow at once, so pieces may share a segment.
    Result SendAll(const void* data, size_t length, bool more = false);
    Result Send(const LanPacket& packet) { return SendAll(packet.bytes, LanPacket::kSize); }
    // Sends what earlier sends marked `more` left waiting.
    Result Flush();

    // Receives up to *length bytes of the reply and stores the count received in *length.
    // Fails when the last receive saw an error, a closed connection, or no byte at all before
    // its waits ran out. A reply cut short by the waits still succeeds with the shorter count.
    // Either way the link has given up on the rest of the reply.
    Result Receive(void* buffer, uint32_t* length);
    // Send, then Receive of 12 bytes into the same packet.
    Result Exchange(LanPacket& packet);

    bool broken() const { return broken_; }
    // Whether the link gave up on a reply whose bytes may still come.
    bool stale() const { return stale_; }

  private:
    // Drops what a reply the link gave up on has left in the socket by now.
    void DropStale();

    std::unique_ptr<platform::TcpConnection> socket_;
    bool stale_ = false;
    bool broken_ = false;
};

}  // namespace zpx::transport
