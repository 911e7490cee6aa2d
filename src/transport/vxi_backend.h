// Back-end of the 5120-family controllers in a VXI mainframe, reached through the VXI-PCI board's
// driver library (vxi5120), loaded at run time in one of its two interface generations: the
// session interface (it exports "OpenSession"; every entry takes the session value first) and
// the plain interface (one board at a time, guarded by the VXI single-open slot).
//
// The board has 16-bit registers: VXI register 8 holds registers 0 (low byte) and 1 (high), 10
// holds 2 and 3, 12 is the word register 4, 14 holds the clock registers 6 and 7, 18 carries
// 0x0B. A byte write supplies the other byte of its word from the session's copy of the partner.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/platform.h"
#include "transport/backend.h"
#include "transport/backend_table.h"
#include "transport/open_slot.h"

namespace zpx::transport {

// The entries as the driver library exports them (C calling convention). Buffers are the
// little-endian request records of the driver requests: RegisterRequest and CounterRequest
// (8 bytes), MemoryRequest (select, 0, count, data, 4 spare bytes).
using VxiStatusEntry = int32_t (*)(void* request);
using VxiValueEntry = int32_t (*)(uint32_t value);
using VxiNoArgumentEntry = int32_t (*)();
using VxiSessionEntry = int32_t (*)(void* session, void* request);
using VxiSessionValueEntry = int32_t (*)(void* session, uint32_t value);
using VxiOpenSessionEntry = void* (*)(uint16_t board, uint16_t address);
using VxiCloseSessionEntry = int32_t (*)(void* session);

enum VxiVariant : uint32_t { kVxiPlain = 0, kVxiSession = 1 };

// The entries of the two generations, in the order they are looked up.
enum VxiEntry : unsigned {
    kDrvSetAddress,
    kDrvReadRegister,
    kDrvWriteRegister,
    kDrvWriteImmAddr,
    kDrvReadImmAddr,
    kDrvWriteMemory,
    kDrvReadMemory,
    kDrvPresetImmMem,
    kDrvBoardValid,
    kVxiOpenOrAddress,  // "set_vxi_address" (plain)
    kVxiClose,          // "close_board" (plain), "CloseSession" (session)
    kVxiEntryCount,
};

struct VxiDriverTable {
    uint16_t vxiAddress = 8;
    uint16_t board = 0;
    uint32_t variant = kVxiPlain;
    std::unique_ptr<platform::DynamicLibrary> module;
    void* entries[kVxiEntryCount] = {};
    void* sessionValue = nullptr;
};

// Loads the driver library into `table`: 0, or 1 when it is missing or lacks an entry of its
// generation (nothing is then left loaded).
Result LoadVxiDriver(VxiDriverTable& table);

class VxiBackend : public Backend {
  public:
    // Loads the driver and opens the board at `board`, logical address `address`: the back-end,
    // or null with *failure kFailed (library missing or incomplete) or kCannotOpen
    // (the board did not open, or the plain interface is in use).
    static std::unique_ptr<VxiBackend> Open(uint16_t board, uint16_t address, uint32_t chunkSize,
                                            OpenFailure* failure);
    ~VxiBackend() override;

    Result ReadRegister(uint32_t reg, uint32_t* value) override;
    // A byte register shares its 16-bit word with its partner: the write carries both.
    Result WriteRegister(uint32_t reg, uint32_t value, uint32_t partner) override;
    Result ReadRegisterWord(uint32_t* value) override;
    Result WriteRegisterWord(uint32_t value) override;
    // Both clock registers share VXI register 14: a read keeps both bytes in synthState, a
    // write takes the other byte from there.
    Result ReadClockRegister(uint32_t reg, uint32_t* value) override;
    Result WriteClockRegister(uint32_t reg, uint32_t value) override;
    // The board always takes the legacy counter path.
    Result WriteCounter(uint32_t counter, uint32_t value) override;
    Result ReadCounter(uint32_t counter, uint32_t* value) override;
    // One call per piece of chunkSize bytes, through a buffer allocated for the transfer.
    Result WriteMemoryBlock(uint32_t memory, uint32_t length, const uint8_t* data) override;
    Result ReadMemoryBlock(uint32_t memory, uint32_t length, uint8_t* buffer) override;
    // "DrvBoardValid".
    Result QueryPodSense(uint32_t* answer) override;

    const VxiDriverTable& table() const { return table_; }

  private:
    explicit VxiBackend(uint32_t chunkSize);

    // One request-taking entry in the table's generation; 1 for a nonzero result.
    Result CallWithRequest(VxiEntry entry, void* request);
    Result CallWithValue(VxiEntry entry, uint32_t value);
    // A RegisterRequest through "DrvReadRegister" / "DrvWriteRegister".
    Result ReadVxiRegister(uint32_t vxiRegister, uint8_t reply[8]);
    // A block in pieces of chunkSize through a buffer allocated for it: copied from `from` into
    // each piece before the call (a write), or from each piece to `to` after it (a read).
    Result TransferPieces(VxiEntry entry, uint32_t memory, uint32_t length, const uint8_t* from,
                          uint8_t* to);
    Result WriteVxiRegister(uint32_t vxiRegister, uint32_t word);

    VxiDriverTable table_;
    uint32_t synthState[2] = {0, 0};  // the clock registers 6 and 7 as last read or written
    bool opened_ = false;             // the board is open: closing calls the close entry
    std::unique_ptr<OpenSlot> slot_;  // the plain interface's single-open slot
};

// Opens the VXI row: the board and logical address behind the prefix.
bool OpenVxiBackEnd(const BackEndRow& row, std::string_view rest, OpenedBackEnd* opened,
                    OpenFailure* failure);

}  // namespace zpx::transport
