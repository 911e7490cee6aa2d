#include "transport/vxi_backend.h"

#include <cstring>

#include "core/bytes.h"
#include "transport/backend_table.h"
#include "transport/counters.h"
#include "transport/memory.h"
#include "transport/name_text.h"

namespace zpx::transport {

namespace {

// The library's base name; the platform adds what its system's libraries carry.
constexpr const char* kVxiLibrary = "vxi5120";

constexpr const char* kOpenSessionName = "OpenSession";
constexpr const char* kEntryNames[2][kVxiEntryCount] = {
    {"DrvSetAddress", "DrvReadRegister", "DrvWriteRegister", "DrvWriteImmAddr", "DrvReadImmAddr",
     "DrvWriteMemory", "DrvReadMemory", "DrvPresetImmMem", "DrvBoardValid", "set_vxi_address",
     "close_board"},
    {"DrvSetAddress", "DrvReadRegister", "DrvWriteRegister", "DrvWriteImmAddr", "DrvReadImmAddr",
     "DrvWriteMemory", "DrvReadMemory", "DrvPresetImmMem", "DrvBoardValid", kOpenSessionName,
     "CloseSession"},
};
// The session generation finds "OpenSession" first and looks up the rest without it.
constexpr unsigned kSessionLookups[] = {
    kDrvSetAddress,  kDrvReadRegister, kDrvWriteRegister, kDrvWriteImmAddr, kDrvReadImmAddr,
    kDrvWriteMemory, kDrvReadMemory,   kDrvPresetImmMem,  kDrvBoardValid,   kVxiClose};

// Where a byte register lives on the board: its VXI register and the byte of the reply.
struct VxiRoute {
    uint32_t reg;
    uint32_t replyByte;
};
constexpr uint32_t kControlWord = 8;   // registers 0 (low) and 1 (high)
constexpr uint32_t kPodWord = 10;      // registers 2 (low) and 3 (high)
constexpr uint32_t kCounterWord = 12;  // register 4
constexpr uint32_t kClockWord = 14;    // clock registers 6 (low) and 7 (high)
constexpr uint32_t kPowerWord = 18;    // register 0x0B

template <typename Function>
Function As(void* entry) {
    return reinterpret_cast<Function>(entry);
}

bool RouteOf(uint32_t reg, VxiRoute* route) {
    switch (reg) {
        case kControlRegister:
            *route = {kControlWord, 4};
            return true;
        case kErrorRegister:
            *route = {kControlWord, 5};
            return true;
        case kPodRegister:
            *route = {kPodWord, 4};
            return true;
        case kSelectRegister:
            *route = {kPodWord, 5};
            return true;
        case kPodPowerRegister:
            *route = {kPowerWord, 4};
            return true;
        default:
            return false;
    }
}

// The VXI address text, read the way "%u%c%u%1s" reads it: empty or blank for board 0 at
// logical address 8; "board" alone; "board,address"; or ",address" right behind the prefix.
// Board 0 to 199, address 1 to 255.
//
// Each number is one "%u" field (ScanUnsigned), and only then are the ranges checked.
bool ParseVxiAddress(std::string_view text, uint32_t* board, uint32_t* address) {
    size_t i = 0;
    auto number = [&](uint32_t* out) { return ScanUnsigned(text, &i, out); };
    auto atEnd = [&] {
        i = SkipSpace(text, i);
        return i == text.size();
    };
    *board = 0;
    *address = 8;
    if (atEnd()) return true;
    i = 0;
    if (number(board)) {
        if (i < text.size()) {
            const char separator = text[i++];
            if (separator != ',' || !number(address) || !atEnd()) return false;
        }
    } else {
        i = 0;
        if (text[i++] != ',' || !number(address) || !atEnd()) return false;
    }
    return *board <= 199 && *address >= 1 && *address <= 255;
}

}  // namespace

bool OpenVxiBackEnd(const BackEndRow& row, std::string_view rest, OpenedBackEnd* opened,
                    OpenFailure* failure) {
    uint32_t board = 0;
    uint32_t address = 0;
    if (!ParseVxiAddress(rest, &board, &address)) {
        *failure = OpenFailure::kBadName;
        return false;
    }
    opened->backend = VxiBackend::Open(static_cast<uint16_t>(board), static_cast<uint16_t>(address),
                                       row.chunkSize, failure);
    return opened->backend != nullptr;
}

Result LoadVxiDriver(VxiDriverTable& table) {
    table.module = platform::Use<platform::Libraries>().OpenLibrary(kVxiLibrary);
    if (!table.module) return kFail;
    platform::DynamicLibrary& library = *table.module;
    if (void* open = library.Find(kOpenSessionName)) {
        table.variant = kVxiSession;
        table.entries[kVxiOpenOrAddress] = open;
        for (unsigned entry : kSessionLookups) {
            table.entries[entry] = library.Find(kEntryNames[kVxiSession][entry]);
            if (table.entries[entry] == nullptr) break;
        }
    } else {
        table.variant = kVxiPlain;
        for (unsigned entry = 0; entry < kVxiEntryCount; ++entry) {
            table.entries[entry] = library.Find(kEntryNames[kVxiPlain][entry]);
            if (table.entries[entry] == nullptr) break;
        }
    }
    for (void* entry : table.entries) {
        if (entry == nullptr) {
            table.module.reset();
            for (void*& e : table.entries)
                e = nullptr;
            return kFail;
        }
    }
    return kOk;
}

// The board's driver is of the oldest kind.
VxiBackend::VxiBackend(uint32_t chunkSize) : Backend(chunkSize, 1) {}

std::unique_ptr<VxiBackend> VxiBackend::Open(uint16_t board, uint16_t address, uint32_t chunkSize,
                                             OpenFailure* failure) {
    std::unique_ptr<VxiBackend> backend(new VxiBackend(chunkSize));
    VxiDriverTable& table = backend->table_;
    table.board = board;
    table.vxiAddress = address;
    if (LoadVxiDriver(table).failed()) {
        *failure = OpenFailure::kFailed;
        return nullptr;
    }
    if (table.variant == kVxiSession) {
        table.sessionValue =
            As<VxiOpenSessionEntry>(table.entries[kVxiOpenOrAddress])(board, address);
        if (table.sessionValue == nullptr) {
            *failure = OpenFailure::kCannotOpen;
            return nullptr;  // unloads without a close: nothing was opened
        }
    } else {
        // One open of the plain interface at a time, across the user's processes.
        backend->slot_ = OpenSlot::Take(kCounterVxi);
        if (!backend->slot_ || As<VxiValueEntry>(table.entries[kVxiOpenOrAddress])(address) != 0) {
            *failure = OpenFailure::kCannotOpen;
            return nullptr;
        }
    }
    backend->opened_ = true;
    return backend;
}

VxiBackend::~VxiBackend() {
    if (opened_) {
        // The results tell nothing the close could act on.
        if (table_.variant == kVxiSession) {
            (void)As<VxiCloseSessionEntry>(table_.entries[kVxiClose])(table_.sessionValue);
        } else {
            (void)As<VxiNoArgumentEntry>(table_.entries[kVxiClose])();
        }
    }
    table_.module.reset();
    slot_.reset();
}

Result VxiBackend::CallWithRequest(VxiEntry entry, void* request) {
    int32_t rc = 1;
    if (table_.variant == kVxiSession) {
        rc = As<VxiSessionEntry>(table_.entries[entry])(table_.sessionValue, request);
    } else if (table_.variant == kVxiPlain) {
        rc = As<VxiStatusEntry>(table_.entries[entry])(request);
    }
    return rc == 0 ? kOk : kFail;
}

Result VxiBackend::CallWithValue(VxiEntry entry, uint32_t value) {
    int32_t rc = 1;
    if (table_.variant == kVxiSession) {
        rc = As<VxiSessionValueEntry>(table_.entries[entry])(table_.sessionValue, value);
    } else if (table_.variant == kVxiPlain) {
        rc = As<VxiValueEntry>(table_.entries[entry])(value);
    }
    return rc == 0 ? kOk : kFail;
}

Result VxiBackend::ReadVxiRegister(uint32_t vxiRegister, uint8_t reply[8]) {
    PutU32(reply, vxiRegister);
    PutU32(reply + 4, 0);
    return CallWithRequest(kDrvReadRegister, reply);
}

Result VxiBackend::WriteVxiRegister(uint32_t vxiRegister, uint32_t word) {
    uint8_t request[8];
    PutU32(request, vxiRegister);
    PutU32(request + 4, word);
    return CallWithRequest(kDrvWriteRegister, request);
}

Result VxiBackend::ReadRegister(uint32_t reg, uint32_t* value) {
    VxiRoute route{};
    if (!RouteOf(reg, &route)) return kFail;
    uint8_t reply[8];
    if (ReadVxiRegister(route.reg, reply).failed()) return kFail;
    *value = reply[route.replyByte];
    return kOk;
}

Result VxiBackend::WriteRegister(uint32_t reg, uint32_t value, uint32_t partner) {
    switch (reg) {
        case kControlRegister:
            return WriteVxiRegister(kControlWord, (partner << 8) | (value & 0xFF));
        case kErrorRegister:
            return WriteVxiRegister(kControlWord, ((value & 0xFF) << 8) | partner);
        case kPodRegister:
            return WriteVxiRegister(kPodWord, (partner << 8) | value);
        case kSelectRegister:
            return WriteVxiRegister(kPodWord, (value << 8) | partner);
        case kPodPowerRegister:
            return WriteVxiRegister(kPowerWord, value << 8);
        default:
            return kFail;
    }
}

Result VxiBackend::ReadRegisterWord(uint32_t* value) {
    uint8_t reply[8];
    if (ReadVxiRegister(kCounterWord, reply).failed()) return kFail;
    *value = GetU16(reply + 4);
    return kOk;
}

Result VxiBackend::WriteRegisterWord(uint32_t value) {
    return WriteVxiRegister(kCounterWord, value);
}

Result VxiBackend::ReadClockRegister(uint32_t reg, uint32_t* value) {
    if (reg != kClockValueRegister && reg != kClockRangeRegister) return kFail;
    uint8_t reply[8];
    if (ReadVxiRegister(kClockWord, reply).failed()) return kFail;
    synthState[0] = reply[4];
    synthState[1] = reply[5];
    *value = reg == kClockValueRegister ? reply[4] : reply[5];
    return kOk;
}

Result VxiBackend::WriteClockRegister(uint32_t reg, uint32_t value) {
    const uint32_t byte = value & 0xFF;
    if (reg == kClockValueRegister) {
        if (WriteVxiRegister(kClockWord, (synthState[1] << 8) | byte).failed()) return kFail;
        synthState[0] = byte;
        return kOk;
    }
    if (reg == kClockRangeRegister) {
        if (WriteVxiRegister(kClockWord, (byte << 8) | synthState[0]).failed()) return kFail;
        synthState[1] = byte;
        return kOk;
    }
    return kFail;
}

Result VxiBackend::WriteCounter(uint32_t counter, uint32_t value) {
    if (counter == kImmediateWriteCounter) return CallWithValue(kDrvWriteImmAddr, value);
    uint8_t request[8];
    PutU32(request, LegacyCounterSelect(counter));
    PutU32(request + 4, value);
    return CallWithRequest(kDrvSetAddress, request);
}

Result VxiBackend::ReadCounter(uint32_t counter, uint32_t* value) {
    // Only the immediate address counter can be read back on this path.
    if (counter != kImmediateReadCounter) return kOk;
    uint8_t reply[4] = {};
    if (CallWithRequest(kDrvReadImmAddr, reply).failed()) return kFail;
    *value = GetU32(reply);
    return kOk;
}

Result VxiBackend::TransferPieces(VxiEntry entry, uint32_t memory, uint32_t length,
                                  const uint8_t* from, uint8_t* to) {
    if (length == 0) return kOk;
    const uint32_t chunk = chunkSize();
    auto piece = std::make_unique<uint8_t[]>(chunk + kMemoryRequestOverhead);
    uint8_t* data = piece.get() + kMemoryRequestDataOffset;
    PutU32(piece.get(), MemorySelect(memory));
    for (uint32_t offset = 0; offset < length; offset += chunk) {
        const uint32_t count = length - offset < chunk ? length - offset : chunk;
        PutU32(piece.get() + 8, count);
        if (from != nullptr) std::memcpy(data, from + offset, count);
        if (CallWithRequest(entry, piece.get()).failed()) return kFail;
        if (to != nullptr) std::memcpy(to + offset, data, count);
    }
    return kOk;
}

Result VxiBackend::WriteMemoryBlock(uint32_t memory, uint32_t length, const uint8_t* data) {
    return TransferPieces(kDrvWriteMemory, memory, length, data, nullptr);
}

Result VxiBackend::ReadMemoryBlock(uint32_t memory, uint32_t length, uint8_t* buffer) {
    return TransferPieces(kDrvReadMemory, memory, length, nullptr, buffer);
}

Result VxiBackend::QueryPodSense(uint32_t* answer) {
    uint8_t reply[4] = {};
    if (CallWithRequest(kDrvBoardValid, reply).failed()) return kFail;
    *answer = GetU32(reply);
    return kOk;
}

}  // namespace zpx::transport
