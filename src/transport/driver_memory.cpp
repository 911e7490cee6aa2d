// Memory blocks on the kernel-driver back-ends: one request per piece of at most chunkSize bytes,
// each staged in the transfer buffer behind the 12-byte MemoryRequest head.
#include <algorithm>
#include <cstring>

#include "core/bytes.h"
#include "transport/driver_backend.h"
#include "transport/driver_requests.h"
#include "transport/memory.h"

namespace zpx::transport {

namespace {

constexpr uint32_t RoundUpTo4(uint32_t n) {
    return (n + 3u) & ~3u;
}

}  // namespace

uint8_t* DriverBackend::PrepareTransferBuffer(uint32_t memory) {
    transferBuffer_.Reserve(chunkSize() + kMemoryRequestOverhead);
    uint8_t* request = transferBuffer_.data.get();
    PutU32(request, MemorySelect(memory));
    PutU32(request + 4, 0);
    return request;
}

Result DriverBackend::WriteMemoryBlock(uint32_t memory, uint32_t length, const uint8_t* data) {
    uint8_t* request = PrepareTransferBuffer(memory);
    const bool rounded = map_.roundsWritesOn51x4 && controllerType_ != 0;
    uint32_t count = 0;
    for (uint32_t offset = 0; offset < length; offset += count) {
        count = std::min(length - offset, chunkSize());
        PutU32(request + 8, count);
        std::memcpy(request + kMemoryRequestDataOffset, data + offset, count);
        const uint32_t requestLength =
            kMemoryRequestOverhead + (rounded ? RoundUpTo4(count) : count);
        // Every chunk size is a multiple of 4, so a rounded piece still fits; refuse rather
        // than read past the buffer should that ever change.
        if (requestLength > transferBuffer_.capacity) return kFail;
        // The tail carries nothing, but a stale byte of an earlier transfer has no business
        // going out with this one.
        const uint32_t dataEnd = kMemoryRequestDataOffset + count;
        std::memset(request + dataEnd, 0, requestLength - dataEnd);
        if (DriverRequest(kRequestMemoryWrite, request, requestLength, nullptr, 0).failed()) {
            return kFail;
        }
    }
    return kOk;
}

Result DriverBackend::ReadMemoryBlock(uint32_t memory, uint32_t length, uint8_t* buffer) {
    uint8_t* request = PrepareTransferBuffer(memory);
    uint32_t count = 0;
    for (uint32_t offset = 0; offset < length; offset += count) {
        count = std::min(length - offset, chunkSize());
        PutU32(request + 8, count);
        const uint32_t requestLength = count + kMemoryRequestOverhead;
        if (DriverRequest(kRequestMemoryRead, request, requestLength, request, requestLength)
                .failed()) {
            return kFail;
        }
        std::memcpy(buffer + offset, request + kMemoryRequestDataOffset, count);
    }
    return kOk;
}

}  // namespace zpx::transport
