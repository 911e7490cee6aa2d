// The VXI back-end against a fake driver library of either generation: the address grammar, the
// entries looked up in order, every call with its arguments (the partner byte of the 16-bit
// registers, the clock copies, the counters, memory pieces, the board's pod sense), the plain
// interface's single open, and what closing calls and unloads.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "device/access.h"
#include "driver_fixture.h"
#include "scanf_reading.h"
#include "session/handle_table.h"
#include "transport/vxi_backend.h"

namespace zpx::testing {
namespace {

void* const kSession = reinterpret_cast<void*>(0x5E55);

// The board behind the fake entries: the VXI register words it answers, what the entries return,
// and a line per call ("r10", "w8=125a", "imm=7", ...), with "!" where a session entry was given
// another session value.
struct FakeBoard {
    std::map<uint32_t, uint32_t> words;
    int32_t result = 0;
    void* opened = kSession;  // what "OpenSession" returns
    std::vector<std::string> calls;
};
FakeBoard* g_board = nullptr;

int32_t Noted(void* session, const char* format, uint32_t a = 0, uint32_t b = 0) {
    char text[48];
    std::snprintf(text, sizeof text, format, a, b);
    g_board->calls.push_back(std::string(session != nullptr && session != kSession ? "!" : "") +
                             text);
    return g_board->result;
}
constexpr char kWrite[] = "w%u=%x", kSet[] = "set%u=%x", kMemW[] = "mw%u:%u", kMemR[] = "mr%u:%u";
// The board's entry points. An entry taking a request record notes its first word (register or
// select) and the word at `at`.
struct Board {
    template <const char* kFormat, int at>
    static int32_t Record(void* s, void* r) {
        const auto* p = static_cast<const uint8_t*>(r);
        return Noted(s, kFormat, GetU32(p), GetU32(p + at));
    }
    static int32_t Read(void* s, void* r) {
        auto* p = static_cast<uint8_t*>(r);
        PutU32(p + 4, g_board->words[GetU32(p)]);
        return Noted(s, "r%u", GetU32(p));
    }
    static int32_t WriteImm(void* s, uint32_t value) { return Noted(s, "imm=%x", value); }
    static int32_t ReadImm(void* s, void* value) {
        PutU32(static_cast<uint8_t*>(value), 0x123456);
        return Noted(s, "imm?");
    }
    static int32_t BoardValid(void* s, void* answer) {
        PutU32(static_cast<uint8_t*>(answer), 0);
        return Noted(s, "valid?");
    }
    static int32_t Preset() { return 0; }
    static void* OpenSession(uint16_t board, uint16_t address) {
        Noted(nullptr, "open=%u,%u", board, address);
        return g_board->opened;
    }
    static int32_t CloseSession(void* s) { return Noted(s, "close"); }
    // The plain generation: the same entries without the session value.
    template <auto kEntry, class... A>
    static int32_t Plain(A... a) {
        return kEntry(nullptr, a...);
    }
    template <typename F>
    static void* Entry(F f) {
        return reinterpret_cast<void*>(f);
    }

    // The entries a library of either generation exports, by name.
    static std::map<std::string, void*> Entries(bool session) {
        constexpr auto kWriteRecord = Record<kWrite, 4>, kSetRecord = Record<kSet, 4>;
        constexpr auto kMemWRecord = Record<kMemW, 8>, kMemRRecord = Record<kMemR, 8>;
        const auto pick = [session](auto withSession, auto plain) {
            return session ? Entry(withSession) : Entry(plain);
        };
        std::map<std::string, void*> e = {
            {"DrvReadRegister", pick(Read, Plain<Read, void*>)},
            {"DrvWriteRegister", pick(kWriteRecord, Plain<kWriteRecord, void*>)},
            {"DrvSetAddress", pick(kSetRecord, Plain<kSetRecord, void*>)},
            {"DrvWriteImmAddr", pick(WriteImm, Plain<WriteImm, uint32_t>)},
            {"DrvReadImmAddr", pick(ReadImm, Plain<ReadImm, void*>)},
            {"DrvWriteMemory", pick(kMemWRecord, Plain<kMemWRecord, void*>)},
            {"DrvReadMemory", pick(kMemRRecord, Plain<kMemRRecord, void*>)},
            {"DrvBoardValid", pick(BoardValid, Plain<BoardValid, void*>)},
            {"DrvPresetImmMem", Entry(Preset)}};
        if (session) {
            e["OpenSession"] = Entry(OpenSession);
            e["CloseSession"] = Entry(CloseSession);
        } else {
            e["set_vxi_address"] =
                Entry(+[](uint32_t address) { return Noted(nullptr, "address=%u", address); });
            e["close_board"] = Entry(+[] { return Noted(nullptr, "close"); });
        }
        return e;
    }
};

#ifdef __GLIBC__
// The C library's own reading of a VXI address text, as "board,address", or "" where the text is
// malformed or out of range.
std::string ScanfReading(const std::string& text) {
    unsigned board = 0, address = 0;
    if (!ScanfVxiAddress(text, &board, &address)) return "";
    return std::to_string(board) + "," + std::to_string(address);
}
#endif

struct VxiFixture {
    explicit VxiFixture(bool session) {
        g_board = &board;
        library->entries = Board::Entries(session);
        fake->libraries["vxi5120"] = library;
    }
    ~VxiFixture() { g_board = nullptr; }
    std::string Calls() { return TakeEntries(board.calls); }
    ScopedFakePlatform fake;
    FakeBoard board;
    std::shared_ptr<FakeLibraryState> library = std::make_shared<FakeLibraryState>();
};

TEST(Vxi, AddressTextAndLibraryGenerations) {
    for (bool session : {true, false}) {
        SCOPED_TRACE(session);
        VxiFixture f(session);
        // Malformed addresses: 10 with nothing loaded; without the 5120 suffix no VXI at all.
        for (const char* name : {"VXIPCI200,5120", "VXIPCI3,0,5120", "VXIPCI3,256,5120",
                                 "VXIPCI3,,5120", "VXIPCI ,24,5120", "VXIPCI3x,5120", "VXIPCI"}) {
            EXPECT_EQ(FailedOpen(name),
                      std::string(name) == "VXIPCI" ? ZPX_STATUS_FAILED : ZPX_STATUS_INVALID);
        }
        EXPECT_TRUE(f.library->lookups.empty());
        // Board and logical address as each form gives them ("": fails with 10 and loads
        // nothing), and what closing calls. The numbers are "%u" fields as glibc reads them: a
        // sign is read, and numbers past 32 bits wrap while those past 64 saturate first. With
        // glibc every row is held to sscanf itself as well; other C libraries read signs and
        // overflow their own way (the Windows one saturates at 32 bits).
        // clang-format off
        const std::pair<const char*, const char*> rows[] = {
            {"", "0,8"}, {" 2", "2,8"}, {"2,24", "2,24"}, {",24", "0,24"},
            {"+3", "3,8"}, {"3,+24", "3,24"}, {"-1", ""}, {",+24", "0,24"}, {"+", ""},
            {"3,-", ""}, {"+-3", ""}, {"- 3", ""},
            {"4294967298", "2,8"}, {"-4294967295", "1,8"}, {",-4294967041", "0,255"},
            {"3,4294967320", "3,24"}, {"-18446744073709551615", "1,8"},
            {"-18446744073709551616", ""}, {"18446744073709551618", ""}};
        // clang-format on
        for (const auto& [text, expected] : rows) {
            const std::string open = expected;
#ifdef __GLIBC__
            EXPECT_EQ(ScanfReading(text), open) << text;
#endif
            const std::string name = "VXIPCI" + std::string(text) + ",5120";
            const size_t lookups = f.library->lookups.size();
            if (open.empty()) {
                EXPECT_EQ(FailedOpen(name.c_str()), ZPX_STATUS_INVALID);
                EXPECT_EQ(f.library->lookups.size(), lookups) << name;
                continue;
            }
            uint32_t status = 99;
            ZPX_Handle h = ZPX_OpenController(name.c_str(), &status);
            ASSERT_NE(h, nullptr) << name;
            uint32_t kind = 0, index = 0;
            EXPECT_EQ(ZPX_GetInterfaceType(h, &kind, &index, nullptr), ZPX_STATUS_OK);
            EXPECT_EQ(kind * 100 + index, 300u - 1);
            const std::string calls = f.Calls();
            const std::string address = open.substr(open.find(',') + 1);
            EXPECT_EQ(calls.substr(0, calls.find(' ') + 1),
                      session ? "open=" + open + " " : "address=" + address + " ");
            EXPECT_EQ(ZPX_CloseController(h), ZPX_STATUS_OK);
            EXPECT_EQ(f.Calls(), "r18 close ");  // register 0x0B read at close, then the close
            EXPECT_EQ(f.library->loaded, 0);
            EXPECT_EQ(f.fake->counters[2], 1u);
        }
        // The entries in their order; the session generation is told by "OpenSession".
        std::vector<std::string> order = {"OpenSession",      "DrvSetAddress",   "DrvReadRegister",
                                          "DrvWriteRegister", "DrvWriteImmAddr", "DrvReadImmAddr",
                                          "DrvWriteMemory",   "DrvReadMemory",   "DrvPresetImmMem",
                                          "DrvBoardValid"};
        if (session) order.push_back("CloseSession");
        if (!session) order.insert(order.end(), {"set_vxi_address", "close_board"});
        EXPECT_EQ(std::vector<std::string>(f.library->lookups.end() - order.size(),
                                           f.library->lookups.end()),
                  order);
        // An entry missing: 1, nothing left loaded.
        f.library->entries.erase(session ? "CloseSession" : "DrvPresetImmMem");
        EXPECT_EQ(FailedOpen("VXIPCI,5120"), ZPX_STATUS_FAILED);
        EXPECT_EQ(f.library->loaded, 0);
        f.fake->libraries.clear();
        EXPECT_EQ(FailedOpen("VXIPCI,5120"), ZPX_STATUS_FAILED);
    }
}

TEST(Vxi, BoardsThatDoNotOpen) {
    {
        VxiFixture f(true);
        f.board.opened = nullptr;
        EXPECT_EQ(FailedOpen("VXIPCI,5120"), ZPX_STATUS_CANNOT_OPEN);
        EXPECT_EQ(f.Calls(), "open=0,8 ");  // and no close of what never opened
        EXPECT_EQ(f.library->loaded, 0);
    }
    VxiFixture f(false);
    uint32_t status = 99;
    ZPX_Handle first = ZPX_OpenController("VXIPCI,5120", &status);
    ASSERT_NE(first, nullptr);
    // One plain open at a time, from any process; the board is not even asked.
    f.Calls();
    EXPECT_EQ(FailedOpen("VXIPCI,5120"), ZPX_STATUS_CANNOT_OPEN);
    EXPECT_EQ(f.Calls(), "");
    EXPECT_EQ(ZPX_CloseController(first), ZPX_STATUS_OK);
    f.board.result = 1;
    EXPECT_EQ(FailedOpen("VXIPCI,5120"), ZPX_STATUS_CANNOT_OPEN);
    EXPECT_EQ(f.fake->counters[2], 1u);
    EXPECT_EQ(f.library->loaded, 0);
}

TEST(Vxi, EveryCallCarriesItsRecordAndTheSessionValue) {
    for (bool session : {true, false}) {
        SCOPED_TRACE(session);
        VxiFixture f(session);
        uint32_t status = 99;
        ZPX_Handle h = ZPX_OpenController("VXIPCI,5120", &status);
        ASSERT_NE(h, nullptr);
        ControllerSession& s = SessionOf(h);
        f.Calls();
        // Byte registers in their words: the other byte from the partner's copy.
        s.controlCopy = 0x03;
        s.register1Copy = 0x12;
        s.register2Copy = 0x21;
        s.register3Copy = 0x30;
        for (uint32_t reg : {0u, 1u, 2u, 3u, 0x0Bu})
            EXPECT_TRUE(device::WriteRegister(s, reg, reg == 0x0B ? 0x03 : 0x5A).ok());
        EXPECT_EQ(f.Calls(), "w8=125a w8=5a03 w10=305a w10=5a21 w18=300 ");
        f.board.words = {{8, 0xA1B0}, {10, 0xC3D2}, {12, 0xBEEF}, {14, 0x0780}, {18, 0x0043}};
        uint32_t got[6] = {};
        for (uint32_t reg : {0u, 1u, 2u, 3u, 0x0Bu})
            EXPECT_TRUE(device::ReadRegister(s, reg, &got[reg < 4 ? reg : 4]).ok());
        EXPECT_TRUE(device::ReadRegisterWord(s, &got[5]).ok());
        EXPECT_EQ(std::vector<uint32_t>(got, got + 6),
                  (std::vector<uint32_t>{0xB0, 0xA1, 0xD2, 0xC3, 0x43, 0xBEEF}));
        EXPECT_EQ(f.Calls(), "r8 r8 r10 r10 r18 r12 ");
        // The clock word: a read keeps both bytes, a write sends the other one kept.
        uint32_t range = 0;
        EXPECT_TRUE(device::ReadClockRegister(s, 7, &range).ok());
        EXPECT_EQ(range, 0x07u);
        EXPECT_TRUE(device::WriteClockRegister(s, 7, 0x105).ok());
        EXPECT_TRUE(device::WriteClockRegister(s, 6, 0x44).ok());
        EXPECT_EQ(f.Calls(), "r14 w14=580 w14=544 ");
        // Counters: the immediate one by value, address counters by select (1 and 2 exchanged),
        // only the immediate one read back.
        EXPECT_EQ(ZPX_WriteCtrlCounter(h, 4, 7), ZPX_STATUS_OK);
        EXPECT_EQ(ZPX_WriteCtrlCounter(h, 1, 0x100), ZPX_STATUS_OK);
        EXPECT_EQ(GetFrom(h, ZPX_ReadCtrlCounter, 0), 0x123456u);
        EXPECT_EQ(GetFrom(h, ZPX_ReadCtrlCounter, 2), 0u);
        EXPECT_EQ(f.Calls(), "imm=7 set2=100 imm? ");
        // Memory in pieces of 4096 with the exchanged select; the board's pod sense.
        std::vector<uint8_t> data(5000, 0xA5);
        EXPECT_EQ(ZPX_WriteCtrlMemoryNa(h, 1, 5000, data.data()), ZPX_STATUS_OK);
        EXPECT_EQ(ZPX_ReadCtrlMemoryNa(h, 2, 5000, data.data()), ZPX_STATUS_OK);
        EXPECT_EQ(f.Calls(), "mw2:4096 mw2:904 mr1:4096 mr1:904 ");
        ZPX_DeviceInfo* info = ZPX_CreateDeviceInfo(h, &status);
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->ControllerKind, 0);
        EXPECT_EQ(ZPX_ExtractDeviceInfo(h, info), ZPX_STATUS_OK);
        EXPECT_EQ(info->PodKind, 0);
        EXPECT_EQ(ZPX_DestroyDeviceInfo(h, info), ZPX_STATUS_OK);
        EXPECT_EQ(f.Calls(), "valid? ");
        // A nonzero result fails the call.
        f.board.result = 5;
        EXPECT_EQ(ZPX_GetError(h, &status), ZPX_STATUS_INVALID);
        EXPECT_EQ(ZPX_WriteCtrlCounter(h, 4, 1), ZPX_STATUS_INVALID);
        EXPECT_EQ(ZPX_CloseController(h), ZPX_STATUS_OK);
    }
}

}  // namespace
}  // namespace zpx::testing
