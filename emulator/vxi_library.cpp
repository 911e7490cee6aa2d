// An emulated VXI-PCI board driver library (libvxi5120.so) in front of the controller model
// (vxi_board.h). Built twice from this source, once per interface generation: with
// ZPX_VXI_SESSION the session interface ("OpenSession", and every entry takes the session value
// first), without it the plain interface ("set_vxi_address", "close_board", one board open at a
// time).
//
// The board lives in this library, one controller at logical address 8, unless the program runs
// under zpx-emu run: then every call goes to the board in zpx-emu (device_link.h), so that
// several processes meet one board. The entries prefixed ZpxEmuVxi are for tests: the controller
// behind the library's own board, its configuration, faults and a call log.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "controller.h"
#include "device_link.h"
#include "faults.h"
#include "os.h"
#include "vxi_board.h"
#include "wire.h"

// The entry points a driver library exports by their C names; everything else stays inside it.
#ifdef _WIN32
#define ZPX_VXI_EXPORT extern "C" __declspec(dllexport)
#else
#define ZPX_VXI_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace zpx::emu {
namespace {

#if ZPX_VXI_SESSION
constexpr bool kSessions = true;
#else
constexpr bool kSessions = false;
#endif

constexpr int32_t kOk = VxiBoard::kOk;
constexpr int32_t kRefused = VxiBoard::kRefused;

// The board of this library, with its one controller.
class LocalBoard {
  public:
    LocalBoard() { Configure(ControllerConfig{.type = 0}, 8); }
    void Configure(const ControllerConfig& config, uint16_t address) {
        std::lock_guard lock(mutex_);
        board.Clear();
        controller_ = std::make_unique<Controller>(config);
        board.Attach(address, controller_.get());
    }
    Controller& controller() {
        std::lock_guard lock(mutex_);
        return *controller_;
    }
    VxiBoard board{kSessions};

  private:
    std::mutex mutex_;
    std::unique_ptr<Controller> controller_;
};

// One open of zpx-emu's board: a connection on its device link.
struct RemoteLink {
    os::Socket socket = os::kNoSocket;
    std::mutex mutex;  // one call at a time on the connection
};

const std::atomic<bool> kNeverStop{false};

// Carries one call over `link` and its answer back into `buffer`.
int32_t Forward(RemoteLink& link, VxiCall call, uint8_t* buffer) {
    const auto code = static_cast<uint32_t>(call);
    const uint32_t bytes = VxiCallBytes(code, buffer);
    const DeviceRequestRecord head{code, bytes, bytes, 1};
    DeviceReplyRecord reply{};
    std::lock_guard lock(link.mutex);
    const bool done = os::SendAll(link.socket, &head, sizeof head, kNeverStop) &&
                      os::SendAll(link.socket, buffer, bytes, kNeverStop) &&
                      os::ReceiveAll(link.socket, &reply, sizeof reply, kNeverStop) &&
                      reply.error == 0 && reply.returned == bytes &&
                      os::ReceiveAll(link.socket, buffer, bytes, kNeverStop);
    return done ? kOk : kRefused;
}

// The opens of zpx-emu's board made by this process: each one's link is the value handed out.
class RemoteBoard {
  public:
    explicit RemoteBoard(std::string path) : path_(std::move(path)) {}
    // Unloaded with opens left: their connections end, which frees them on the board.
    ~RemoteBoard() {
        for (RemoteLink* link : links_) {
            os::Close(link->socket);
            delete link;
        }
    }
    RemoteBoard(const RemoteBoard&) = delete;
    RemoteBoard& operator=(const RemoteBoard&) = delete;

    RemoteLink* Open(uint16_t board, uint16_t address) {
        auto link = std::make_unique<RemoteLink>();
        link->socket = os::ConnectLocal(path_);
        DeviceOpenRecord open{kDeviceLinkMagic, {}};
        std::strncpy(open.node, kVxiLinkName, sizeof open.node - 1);
        int32_t error = -1;
        uint8_t request[8];
        StoreU32(request, board);
        StoreU32(request + 4, address);
        if (link->socket == os::kNoSocket ||
            !os::SendAll(link->socket, &open, sizeof open, kNeverStop) ||
            !os::ReceiveAll(link->socket, &error, sizeof error, kNeverStop) || error != 0 ||
            Forward(*link, VxiCall::kOpen, request) != kOk) {
            if (link->socket != os::kNoSocket) os::Close(link->socket);
            return nullptr;
        }
        std::lock_guard lock(mutex_);
        return *links_.insert(link.release()).first;
    }
    int32_t Close(void* value) {
        RemoteLink* link = Take(value);
        if (link == nullptr) return kRefused;
        const int32_t rc = Forward(*link, VxiCall::kClose, nullptr);
        os::Close(link->socket);
        delete link;
        return rc;
    }
    int32_t Call(void* value, VxiCall call, uint8_t* buffer) {
        // A value this process was not handed is refused, as the board refuses it.
        std::lock_guard lock(mutex_);
        const auto found = links_.find(static_cast<RemoteLink*>(value));
        return found == links_.end() ? kRefused : Forward(**found, call, buffer);
    }

  private:
    RemoteLink* Take(void* value) {
        std::lock_guard lock(mutex_);
        const auto found = links_.find(static_cast<RemoteLink*>(value));
        if (found == links_.end()) return nullptr;
        RemoteLink* link = *found;
        links_.erase(found);
        return link;
    }

    const std::string path_;
    std::mutex mutex_;
    std::set<RemoteLink*> links_;
};

// Destroyed when the library is unloaded: the library that loads a driver library unloads it at
// every close, and a board left behind would be lost memory, since the pointer to it goes with
// the library.
LocalBoard& TheLocal() {
    static LocalBoard board;
    return board;
}
RemoteBoard* TheRemote() {
    static const std::unique_ptr<RemoteBoard> remote = [] {
        const char* path = std::getenv(kVxiSocketVariable);
        return std::unique_ptr<RemoteBoard>(path != nullptr && *path != '\0' ? new RemoteBoard(path)
                                                                             : nullptr);
    }();
    return remote.get();
}

uint8_t* OpenRequest(uint8_t (&request)[8], uint32_t board, uint32_t address) {
    StoreU32(request, board);
    StoreU32(request + 4, address);
    return request;
}

int32_t Dispatch(void* client, VxiCall call, void* buffer) {
    auto* bytes = static_cast<uint8_t*>(buffer);
    if (RemoteBoard* remote = TheRemote()) return remote->Call(client, call, bytes);
    return TheLocal().board.Call(client, call, bytes);
}

#if ZPX_VXI_SESSION

// The session interface: a value per open session, or null.
void* OpenSession(uint16_t board, uint16_t address) {
    if (RemoteBoard* remote = TheRemote()) return remote->Open(board, address);
    uint8_t request[8];
    auto session = std::make_unique<int>(0);
    if (TheLocal().board.Call(session.get(), VxiCall::kOpen,
                              OpenRequest(request, board, address)) != kOk)
        return nullptr;
    return session.release();
}
int32_t CloseSession(void* session) {
    if (RemoteBoard* remote = TheRemote()) return remote->Close(session);
    // Only a session the board knew is the library's to free.
    const int32_t rc = TheLocal().board.Call(session, VxiCall::kClose, nullptr);
    if (rc == kOk) delete static_cast<int*>(session);
    return rc;
}

#else

// The plain interface's one open board: a fixed client value on the library's own board, its
// link on zpx-emu's.
const int kPlainClient = 0;
std::atomic<RemoteLink*> g_plainLink{nullptr};

int32_t OpenPlain(uint32_t address) {
    uint8_t request[8];
    OpenRequest(request, 0, address);
    RemoteBoard* remote = TheRemote();
    if (remote == nullptr) return TheLocal().board.Call(&kPlainClient, VxiCall::kOpen, request);
    if (g_plainLink.load() != nullptr || address > 0xFFFF) return kRefused;
    RemoteLink* link = remote->Open(0, static_cast<uint16_t>(address));
    RemoteLink* none = nullptr;
    if (link != nullptr && g_plainLink.compare_exchange_strong(none, link)) return kOk;
    if (link != nullptr) remote->Close(link);
    return kRefused;
}
int32_t ClosePlain() {
    if (RemoteBoard* remote = TheRemote()) return remote->Close(g_plainLink.exchange(nullptr));
    return TheLocal().board.Call(&kPlainClient, VxiCall::kClose, nullptr);
}

// The value the plain interface's entries act for.
void* Plain() {
    if (TheRemote() != nullptr) return g_plainLink.load();
    return const_cast<int*>(&kPlainClient);
}

#endif

}  // namespace
}  // namespace zpx::emu

using zpx::emu::Dispatch;
using zpx::emu::VxiCall;

#if ZPX_VXI_SESSION

ZPX_VXI_EXPORT void* OpenSession(uint16_t board, uint16_t address) {
    return zpx::emu::OpenSession(board, address);
}
ZPX_VXI_EXPORT int32_t CloseSession(void* session) {
    return zpx::emu::CloseSession(session);
}
ZPX_VXI_EXPORT int32_t DrvReadRegister(void* session, void* request) {
    return Dispatch(session, VxiCall::kReadRegister, request);
}
ZPX_VXI_EXPORT int32_t DrvWriteRegister(void* session, void* request) {
    return Dispatch(session, VxiCall::kWriteRegister, request);
}
ZPX_VXI_EXPORT int32_t DrvSetAddress(void* session, void* request) {
    return Dispatch(session, VxiCall::kSetCounter, request);
}
ZPX_VXI_EXPORT int32_t DrvWriteImmAddr(void* session, uint32_t value) {
    uint8_t request[4];
    zpx::emu::StoreU32(request, value);
    return Dispatch(session, VxiCall::kWriteImmediate, request);
}
ZPX_VXI_EXPORT int32_t DrvReadImmAddr(void* session, void* value) {
    return Dispatch(session, VxiCall::kReadImmediate, value);
}
ZPX_VXI_EXPORT int32_t DrvWriteMemory(void* session, void* request) {
    return Dispatch(session, VxiCall::kWriteMemory, request);
}
ZPX_VXI_EXPORT int32_t DrvReadMemory(void* session, void* request) {
    return Dispatch(session, VxiCall::kReadMemory, request);
}
ZPX_VXI_EXPORT int32_t DrvPresetImmMem(void*) {
    return 0;
}
ZPX_VXI_EXPORT int32_t DrvBoardValid(void* session, void* answer) {
    return Dispatch(session, VxiCall::kBoardValid, answer);
}

#else

using zpx::emu::Plain;

ZPX_VXI_EXPORT int32_t set_vxi_address(uint32_t address) {
    return zpx::emu::OpenPlain(address);
}
ZPX_VXI_EXPORT int32_t close_board() {
    return zpx::emu::ClosePlain();
}
ZPX_VXI_EXPORT int32_t DrvReadRegister(void* request) {
    return Dispatch(Plain(), VxiCall::kReadRegister, request);
}
ZPX_VXI_EXPORT int32_t DrvWriteRegister(void* request) {
    return Dispatch(Plain(), VxiCall::kWriteRegister, request);
}
ZPX_VXI_EXPORT int32_t DrvSetAddress(void* request) {
    return Dispatch(Plain(), VxiCall::kSetCounter, request);
}
ZPX_VXI_EXPORT int32_t DrvWriteImmAddr(uint32_t value) {
    uint8_t request[4];
    zpx::emu::StoreU32(request, value);
    return Dispatch(Plain(), VxiCall::kWriteImmediate, request);
}
ZPX_VXI_EXPORT int32_t DrvReadImmAddr(void* value) {
    return Dispatch(Plain(), VxiCall::kReadImmediate, value);
}
ZPX_VXI_EXPORT int32_t DrvWriteMemory(void* request) {
    return Dispatch(Plain(), VxiCall::kWriteMemory, request);
}
ZPX_VXI_EXPORT int32_t DrvReadMemory(void* request) {
    return Dispatch(Plain(), VxiCall::kReadMemory, request);
}
ZPX_VXI_EXPORT int32_t DrvPresetImmMem() {
    return 0;
}
ZPX_VXI_EXPORT int32_t DrvBoardValid(void* answer) {
    return Dispatch(Plain(), VxiCall::kBoardValid, answer);
}

#endif

// ---- for tests: the library's own board ----
ZPX_VXI_EXPORT zpx::emu::Controller* ZpxEmuVxiController() {
    return &zpx::emu::TheLocal().controller();
}
// A new controller of `config` behind the board at logical `address`; every session and the open
// board are forgotten.
ZPX_VXI_EXPORT void ZpxEmuVxiConfigure(const zpx::emu::ControllerConfig* config, uint16_t address) {
    zpx::emu::TheLocal().Configure(*config, address);
}
ZPX_VXI_EXPORT void ZpxEmuVxiSetFaults(const std::vector<zpx::emu::Fault>* faults) {
    zpx::emu::TheLocal().board.SetFaults(*faults);
}
ZPX_VXI_EXPORT uint64_t ZpxEmuVxiCalls() {
    return zpx::emu::TheLocal().board.Calls();
}
ZPX_VXI_EXPORT void ZpxEmuVxiSetLog(const zpx::emu::LogSink* sink) {
    zpx::emu::TheLocal().board.SetLog(sink != nullptr ? *sink : zpx::emu::LogSink{});
}
