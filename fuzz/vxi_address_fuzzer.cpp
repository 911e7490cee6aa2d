// The VXI address text: ZPX_OpenController("VXIPCI" + text + ",5120") against a fake driver
// library, once in each interface generation (the session interface, which exports
// "OpenSession", and the plain one).
//
// Input: the address text, up to its first NUL byte.
//
// The reference is the C library's own sscanf with the two documented patterns, "%u%c%u%1s" and
// then "%c%u%1s": texts it accepts must open the board and logical address it read (board 0 to
// 199, address 1 to 255), every other text must fail with 10 before the library is even loaded.
// That includes signs in front of numbers and numbers past 32 or 64 bits, which "%u" reads
// with strtoul and cuts to 32 bits. After closing, the library must have called the close entry
// of the board it opened and unloaded the driver library.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "installed_platform.h"
#include "scanf_reading.h"
#include "zpx/zpx.h"

namespace zpx::fuzz {
namespace {

// What the fake board saw.
struct Board {
    int opens = 0;
    unsigned board = 0;
    unsigned address = 0;
    int closes = 0;
} g_board;

void* const kSessionValue = reinterpret_cast<void*>(0x5E55);

// The session generation.
void* OpenSession(uint16_t board, uint16_t address) {
    ++g_board.opens;
    g_board.board = board;
    g_board.address = address;
    return kSessionValue;
}
int32_t CloseSession(void* session) {
    if (session == kSessionValue) ++g_board.closes;
    return 0;
}
int32_t SessionRequest(void*, void* request) {
    std::memset(request, 0, 8);
    return 0;
}
int32_t SessionValue(void*, uint32_t) {
    return 0;
}

// The plain generation.
int32_t SetVxiAddress(uint32_t address) {
    ++g_board.opens;
    g_board.board = 0;  // the plain interface knows no board number
    g_board.address = address;
    return 0;
}
int32_t CloseBoard() {
    ++g_board.closes;
    return 0;
}
int32_t PlainRequest(void* request) {
    std::memset(request, 0, 8);
    return 0;
}
int32_t PlainValue(uint32_t) {
    return 0;
}

template <typename F>
void* Entry(F* f) {
    return reinterpret_cast<void*>(f);
}

std::shared_ptr<testing::FakeLibraryState> Library(bool session) {
    auto lib = std::make_shared<testing::FakeLibraryState>();
    for (const char* name :
         {"DrvSetAddress", "DrvReadRegister", "DrvWriteRegister", "DrvReadImmAddr",
          "DrvWriteMemory", "DrvReadMemory", "DrvPresetImmMem", "DrvBoardValid"}) {
        lib->entries[name] = session ? Entry(&SessionRequest) : Entry(&PlainRequest);
    }
    lib->entries["DrvWriteImmAddr"] = session ? Entry(&SessionValue) : Entry(&PlainValue);
    if (session) {
        lib->entries["OpenSession"] = Entry(&OpenSession);
        lib->entries["CloseSession"] = Entry(&CloseSession);
    } else {
        lib->entries["set_vxi_address"] = Entry(&SetVxiAddress);
        lib->entries["close_board"] = Entry(&CloseBoard);
    }
    return lib;
}

void OpenAndCheck(const std::string& text, bool session) {
    InstalledPlatform<testing::FakePlatform> p;
    auto lib = Library(session);
    p->libraries["vxi5120"] = lib;
    g_board = Board{};

    const std::string name = "VXIPCI" + text + ",5120";
    uint32_t status = 0xDEADBEEF;
    ZPX_Handle h = ZPX_OpenController(name.c_str(), &status);
    if (h != nullptr) ZPX_CloseController(h);
    ZPX_FUZZ_CHECK(lib->loaded == 0, "driver library still loaded after " + name);
    ZPX_FUZZ_CHECK(g_board.closes == (h != nullptr ? 1 : 0), "board closes after " + name);

    if (6 + text.size() > 127) return;
    unsigned board = 0, address = 0;
    const std::string detail = "\"" + text + "\" status " + std::to_string(status);
    if (!testing::ScanfVxiAddress(text, &board, &address)) {
        ZPX_FUZZ_CHECK(h == nullptr && status == ZPX_STATUS_INVALID && lib->lookups.empty(),
                       "accepted a text sscanf refuses: " + detail);
        return;
    }
    ZPX_FUZZ_CHECK(h != nullptr && status == ZPX_STATUS_OK, "refused a valid text: " + detail);
    ZPX_FUZZ_CHECK(
        g_board.opens == 1 && g_board.address == address && (!session || g_board.board == board),
        detail + " opened board " + std::to_string(g_board.board) + " address " +
            std::to_string(g_board.address) + ", expected " + std::to_string(board) + " " +
            std::to_string(address));
}

}  // namespace
}  // namespace zpx::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data),
                           strnlen(reinterpret_cast<const char*>(data), size));
    zpx::fuzz::OpenAndCheck(text, true);
    zpx::fuzz::OpenAndCheck(text, false);
    return 0;
}
