// Memory blocks on the Ethernet back-end.
#include <algorithm>

#include "transport/lan_backend.h"
#include "transport/memory.h"

namespace zpx::transport {

namespace {

// A write block streams behind its header in pieces of this size.
constexpr uint32_t kLanWritePiece = 512;
// A read asks for at most this many bytes per header: the controller answers no more at once.
constexpr uint32_t kLanReadPieceMax = 8192;

}  // namespace

Result LanBackend::WriteMemoryBlock(uint32_t memory, uint32_t length, const uint8_t* data) {
    const LanMemoryHeader header =
        LanMemoryHeader::Make(kLanWriteMemory, LanMemorySelectCode(memory), length);
    // Every piece but the last tells the kernel that more follows at once, so the small pieces
    // of one block share segments instead of each leaving on its own (the socket has Nagle off).
    if (link_.SendAll(header.bytes, LanMemoryHeader::kSize, length > 0).failed()) {
        return kFail;
    }
    uint32_t piece = 0;
    for (uint32_t offset = 0; offset < length; offset += piece) {
        piece = std::min(length - offset, kLanWritePiece);
        const bool more = offset + piece < length;
        if (link_.SendAll(data + offset, piece, more).failed()) return kFail;
    }
    return kOk;
}

Result LanBackend::ReadMemoryBlock(uint32_t memory, uint32_t length, uint8_t* buffer) {
    const uint8_t selectCode = LanMemorySelectCode(memory);
    const uint32_t pieceMax = std::min(chunkSize(), kLanReadPieceMax);
    uint32_t total = 0;
    while (total < length) {
        const uint32_t count = std::min(length - total, pieceMax);
        const LanMemoryHeader header = LanMemoryHeader::Make(kLanReadMemory, selectCode, count);
        if (link_.SendAll(header.bytes, LanMemoryHeader::kSize).failed()) return kFail;
        // Received straight into place: only the bytes that arrived are written, exactly as
        // if they had been staged and copied. A short piece is not asked for again; the next
        // header asks for the rest from the new total.
        uint32_t received = count;
        if (link_.Receive(buffer + total, &received).failed()) {
            return kFail;
        }
        total += received;
    }
    return kOk;
}

}  // namespace zpx::transport
