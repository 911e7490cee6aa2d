#include "lan_server.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "os.h"
#include "wire.h"

namespace zpx::emu {

namespace {

constexpr size_t kPacketSize = 12;
constexpr size_t kMemoryHeaderSize = 16;
constexpr size_t kReadBufferSize = 64 * 1024;
// Nothing the library sends is larger: the biggest memory is 16 MiB and an image a few MiB. A
// count beyond these is a stream we cannot follow, and the connection is dropped.
constexpr uint32_t kMaxMemoryBlock = 16u << 20;
constexpr uint32_t kMaxImage = 64u << 20;

constexpr uint16_t kOpReadRegister = 0x0001;
constexpr uint16_t kOpWriteRegister = 0x0002;
constexpr uint16_t kOpReadCounter = 0x0004;
constexpr uint16_t kOpWriteCounter = 0x0008;
constexpr uint16_t kOpReadMemory = 0x0010;
constexpr uint16_t kOpWriteMemory = 0x0020;
constexpr uint16_t kOpReadConfig = 0x2000;
constexpr uint16_t kOpWriteConfig = 0x4000;
constexpr uint16_t kOpImage = 0x8000;

// Memory index behind each select code of a memory header, or -1.
int MemoryOfSelectCode(uint8_t code) {
    switch (code) {
        case 0x0C:
            return 0;
        case 0x14:
            return 1;
        case 0x1C:
            return 2;
        case 0x24:
            return 3;
        case 0x28:
            return 4;
        case 0x2C:
            return 5;
        default:
            return -1;
    }
}

// Counter addresses of the counter packets: the address counters travel in packed form.
int CounterOfAddress(uint8_t address) {
    switch (address) {
        case 0x10:
            return 0;
        case 0x18:
            return 1;
        case 0x20:
            return 2;
        case 0x30:
            return 3;
        case 0x08:
            return 4;
        case 0x34:
            return 5;
        default:
            return -1;
    }
}

// Undoes the packed address form: byte k of the field holds bits 6k.. of the value in its bits
// 6..1.
uint32_t UnpackGroups(uint32_t field, unsigned groups) {
    uint32_t value = 0;
    for (unsigned k = 0; k < groups; ++k)
        value |= ((field >> (8 * k + 1)) & 0x3Fu) << (6 * k);
    return value;
}

const char* OpcodeName(uint16_t opcode) {
    switch (opcode) {
        case kOpReadRegister:
            return "read register";
        case kOpWriteRegister:
            return "write register";
        case kOpReadCounter:
            return "read counter";
        case kOpWriteCounter:
            return "write counter";
        case kOpReadMemory:
            return "read memory";
        case kOpWriteMemory:
            return "write memory";
        case kOpReadConfig:
            return "read config";
        case kOpWriteConfig:
            return "write config";
        case kOpImage:
            return "image";
        default:
            return "unknown opcode";
    }
}

}  // namespace

// The decoding state of one connection: a packet, the data of a memory write, or an image.
class LanServer::Session {
  public:
    Session(LanServer& server, Connection& connection)
        : server_(server), connection_(connection), in_(kReadBufferSize) {}

    // Serves until the peer closes, the stream turns malformed, a fault closes it, or the server
    // stops.
    void Run() {
        size_t begin = 0;
        size_t end = 0;
        for (;;) {
            while (begin < end) {
                const long used = Consume(in_.data() + begin, end - begin);
                if (used < 0) return;  // drop the connection
                if (used == 0) break;  // need more bytes
                begin += static_cast<size_t>(used);
            }
            if (begin == end) {
                begin = end = 0;
            } else if (begin > 0 && in_.size() - end < kMemoryHeaderSize) {
                std::memmove(in_.data(), in_.data() + begin, end - begin);
                end -= begin;
                begin = 0;
            }
            const std::ptrdiff_t n = os::Receive(connection_.socket, in_.data() + end,
                                                 in_.size() - end, server_.stopping_);
            if (n <= 0) {
                if (state_ != State::kPacket || end != begin) {
                    // The peer left in the middle of a request.
                    server_.Event(connection_.peer + ": stream ended inside a request");
                }
                return;
            }
            end += static_cast<size_t>(n);
        }
    }

  private:
    enum class State { kPacket, kMemoryData, kImageData };

    // Takes what it can from `data`; returns the bytes used, 0 when more are needed, -1 to drop.
    long Consume(const uint8_t* data, size_t available) {
        switch (state_) {
            case State::kPacket:
                return Packet(data, available);
            case State::kMemoryData: {
                const size_t n = std::min<size_t>(available, remaining_);
                if (!discard_ && memory_ >= 0)
                    server_.controller_.WriteMemory(static_cast<unsigned>(memory_), data, n);
                remaining_ -= static_cast<uint32_t>(n);
                if (remaining_ == 0) state_ = State::kPacket;
                return static_cast<long>(n);
            }
            case State::kImageData: {
                const size_t n = std::min<size_t>(available, remaining_);
                if (!discard_) image_.insert(image_.end(), data, data + n);
                remaining_ -= static_cast<uint32_t>(n);
                if (remaining_ == 0) {
                    state_ = State::kPacket;
                    if (!FinishImage()) return -1;
                }
                return static_cast<long>(n);
            }
        }
        return -1;
    }

    long Packet(const uint8_t* p, size_t available) {
        if (available < kPacketSize) return 0;
        const uint16_t opcode = LoadU16(p);
        const bool memory = opcode == kOpReadMemory || opcode == kOpWriteMemory;
        const size_t size = memory ? kMemoryHeaderSize : kPacketSize;
        if (available < size) return 0;

        fault_ = Fault{};
        faulty_ = server_.faults_.Next(&fault_);
        if (faulty_ && fault_.kind == FaultKind::kCloseConnection) {
            server_.Event(connection_.peer + ": closing on request (fault)");
            return -1;
        }
        discard_ = faulty_ && fault_.kind == FaultKind::kFailRequest;
        if (!Handle(p)) return -1;
        return static_cast<long>(size);
    }

    bool Handle(const uint8_t* p) {
        const uint16_t opcode = LoadU16(p);
        const uint8_t address = p[2];
        const uint32_t data0 = LoadU32(p + 4);
        const uint32_t data1 = LoadU32(p + 8);
        Controller& c = server_.controller_;
        uint32_t value = 0;
        uint32_t second = 0;
        bool reply = false;

        switch (opcode) {
            case kOpReadRegister:
                if (!discard_) c.ReadRegister(address, &value);
                reply = true;
                break;
            case kOpWriteRegister:
                if (!discard_) c.WriteRegister(address, data0);
                break;
            case kOpReadCounter: {
                // Read counters: 0x08 the immediate address counter, 0x30 the shared address
                // counter of memories 3-5 (both 24 bits), 0x34 the further counter.
                const int counter = CounterOfAddress(address);
                if (!discard_ && (counter == 3 || counter == 4 || counter == 5))
                    value = c.ReadCounter(static_cast<unsigned>(counter));
                reply = true;
                break;
            }
            case kOpWriteCounter: {
                const int counter = CounterOfAddress(address);
                if (discard_ || counter < 0) break;
                if (counter == 4)
                    value = data0 & 0xFFFFFF;
                else if (counter == 5)
                    value = UnpackGroups(data0, 4) | (UnpackGroups(data1, 2) << 24);
                else
                    value = UnpackGroups(data0, 4);
                c.WriteCounter(static_cast<unsigned>(counter), value);
                break;
            }
            case kOpReadMemory: {
                if (data0 > kMaxMemoryBlock) return Malformed("memory read count");
                out_.resize(data0);
                const int memory = MemoryOfSelectCode(address);
                if (discard_ || memory < 0)
                    std::fill(out_.begin(), out_.end(), 0);
                else
                    c.ReadMemory(static_cast<unsigned>(memory), out_.data(), out_.size());
                Log(p, nullptr);
                return Send(out_.data(), out_.size());
            }
            case kOpWriteMemory:
                if (data0 > kMaxMemoryBlock) return Malformed("memory write count");
                memory_ = MemoryOfSelectCode(address);
                remaining_ = data0;
                if (remaining_ > 0) state_ = State::kMemoryData;
                break;
            case kOpReadConfig:
                if (!discard_) c.ReadConfigItem(address, &value, &second);
                reply = true;
                break;
            case kOpWriteConfig:
                if (!discard_) c.WriteConfigItem(address, data0, data1);
                break;
            case kOpImage:
                if (data0 > kMaxImage) return Malformed("image length");
                std::memcpy(imageHeader_, p, kPacketSize);
                imageFault_ = fault_;
                imageFaulty_ = faulty_;
                image_.clear();
                if (!discard_) image_.reserve(data0);
                remaining_ = data0;
                state_ = State::kImageData;
                if (remaining_ == 0 && !FinishImage()) return false;
                Log(p, nullptr);
                return true;
            default:
                // Unknown opcodes, among them the all-zero packet the library sends for a
                // counter it has no address for, are ignored.
                break;
        }
        Log(p, reply ? &value : nullptr);
        if (!reply) return true;
        uint8_t answer[kPacketSize];
        std::memcpy(answer, p, 4);
        StoreU32(answer + 4, value);
        StoreU32(answer + 8, second);
        return Send(answer, sizeof answer);
    }

    bool FinishImage() {
        state_ = State::kPacket;
        uint32_t status = 0;
        if (imageFaulty_ && imageFault_.kind == FaultKind::kFailRequest) {
            return true;  // swallowed: no reply
        }
        status =
            server_.controller_.ReceiveImage(LoadU16(imageHeader_ + 2), LoadU16(imageHeader_ + 8),
                                             imageHeader_[10], imageHeader_[11], std::move(image_));
        image_ = {};
        uint8_t answer[kPacketSize];
        std::memcpy(answer, imageHeader_, kPacketSize);
        StoreU32(answer + 4, status);
        fault_ = imageFault_;
        faulty_ = imageFaulty_;
        return Send(answer, sizeof answer);
    }

    // Sends a reply, shaped by the fault of the request it answers.
    bool Send(const uint8_t* data, size_t length) {
        if (faulty_) {
            switch (fault_.kind) {
                case FaultKind::kDropReply:
                case FaultKind::kFailRequest:
                    return true;
                case FaultKind::kShortReply:
                    length = std::min<size_t>(length, fault_.bytes);
                    break;
                case FaultKind::kDelayReply:
                    if (!server_.Pause(fault_.delayMs)) return false;
                    break;
                case FaultKind::kCloseConnection:
                    return false;
            }
        }
        while (length > 0) {
            const std::ptrdiff_t n = os::Send(connection_.socket, data, length, server_.stopping_);
            if (n <= 0) return false;
            data += n;
            length -= static_cast<size_t>(n);
        }
        return true;
    }

    bool Malformed(const char* what) {
        ++server_.dropped_;
        server_.Event(connection_.peer + ": dropping connection, impossible " + what);
        return false;
    }

    // `reply` is the value sent back, or null for a request without a one-packet reply.
    void Log(const uint8_t* p, const uint32_t* reply) {
        if (!server_.options_.requestLog) return;
        const uint16_t opcode = LoadU16(p);
        char line[160];
        int n = std::snprintf(line, sizeof line, "%s: %s address 0x%02X width %u data 0x%X 0x%X%s",
                              connection_.peer.c_str(), OpcodeName(opcode), p[2], p[3],
                              LoadU32(p + 4), LoadU32(p + 8), discard_ ? " (failed by fault)" : "");
        if (reply && n > 0 && static_cast<size_t>(n) < sizeof line)
            std::snprintf(line + n, sizeof line - n, " -> 0x%X", *reply);
        server_.options_.requestLog(line);
    }

    LanServer& server_;
    Connection& connection_;
    std::vector<uint8_t> in_;
    std::vector<uint8_t> out_;
    State state_ = State::kPacket;
    uint32_t remaining_ = 0;
    int memory_ = -1;
    bool discard_ = false;
    Fault fault_;
    bool faulty_ = false;
    uint8_t imageHeader_[kPacketSize] = {};
    Fault imageFault_;
    bool imageFaulty_ = false;
    std::vector<uint8_t> image_;
};

LanServer::LanServer(Controller& controller, LanServerOptions options)
    : controller_(controller), options_(std::move(options)) {}

LanServer::~LanServer() {
    Stop();
}

bool LanServer::Start(const std::string& address, uint16_t port, std::string* error) {
    auto fail = [&](const std::string& message) {
        if (error) *error = message;
        return false;
    };
    if (listener_ != os::kNoSocket) return fail("already serving on " + address_);
    uint32_t ip = 0;
    if (!os::ParseIpv4(address, &ip)) return fail("not an IPv4 address: " + address);

    std::string reason;
    const os::Socket listener = os::OpenTcp(&reason);
    if (listener == os::kNoSocket) return fail("socket: " + reason);
    if (!os::Bind(listener, ip, port, &reason) || !os::Listen(listener, 16, &reason)) {
        os::Close(listener);
        return fail("cannot listen on " + address + ":" + std::to_string(port) + ": " + reason);
    }
    const uint16_t bound = os::LocalPort(listener);
    listener_ = listener;
    address_ = address;
    port_ = bound != 0 ? bound : port;
    stopping_ = false;
    acceptThread_ = std::thread([this] { AcceptLoop(); });
    return true;
}

void LanServer::Stop() {
    if (listener_ == os::kNoSocket) return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    stopped_.notify_all();
    // Shutting the listening socket down wakes the blocked accept (where the system has no such
    // wake-up, the accept sees stopping_ instead). The socket is closed only once no thread uses
    // it, so that its handle cannot be reused under a running call.
    os::ShutdownBoth(listener_);
    if (acceptThread_.joinable()) acceptThread_.join();
    os::Close(listener_);
    listener_ = os::kNoSocket;
    // Join outside the lock: a connection waiting out a delayed reply needs it to wake up.
    std::list<std::unique_ptr<Connection>> closing;
    {
        std::lock_guard lock(mutex_);
        for (auto& c : connections_)
            os::ShutdownBoth(c->socket);
        closing.swap(connections_);
    }
    for (auto& c : closing) {
        if (c->thread.joinable()) c->thread.join();
        os::Close(c->socket);
    }
}

void LanServer::ReapLocked() {
    for (auto it = connections_.begin(); it != connections_.end();) {
        Connection& c = **it;
        if (!c.done) {
            ++it;
            continue;
        }
        if (c.thread.joinable()) c.thread.join();
        os::Close(c.socket);
        it = connections_.erase(it);
    }
}

void LanServer::AcceptLoop() {
    for (;;) {
        std::string name;
        os::AcceptFailure failure = os::AcceptFailure::kNone;
        const os::Socket socket = os::Accept(listener_, stopping_, &name, &failure);
        if (stopping_) {
            if (socket != os::kNoSocket) os::Close(socket);
            return;
        }
        if (socket == os::kNoSocket) {
            if (failure == os::AcceptFailure::kRetry) continue;
            if (failure == os::AcceptFailure::kOutOfResources) {
                // Out of descriptors: wait for connections to end rather than spin.
                if (!Pause(50)) return;
                std::lock_guard lock(mutex_);
                ReapLocked();
                continue;
            }
            return;
        }
        os::SetNoDelay(socket);

        std::lock_guard lock(mutex_);
        ReapLocked();
        if (connections_.size() >= options_.maxConnections) {
            os::Close(socket);
            Event(name + ": refused, " + std::to_string(connections_.size()) + " connections open");
            continue;
        }
        ++accepted_;
        auto connection = std::make_unique<Connection>();
        connection->socket = socket;
        connection->peer = std::move(name);
        Connection* raw = connection.get();
        connections_.push_back(std::move(connection));
        Event(raw->peer + ": connected to " + address_ + ":" + std::to_string(port_));
        raw->thread = std::thread([this, raw] { Serve(raw); });
    }
}

void LanServer::Serve(Connection* connection) {
    {
        Session session(*this, *connection);
        session.Run();
    }
    // The socket is closed by whoever joins this thread; shutting it down here tells the peer at
    // once.
    os::ShutdownBoth(connection->socket);
    Event(connection->peer + ": closed");
    connection->done = true;
}

bool LanServer::Pause(uint32_t ms) {
    std::unique_lock lock(mutex_);
    return !stopped_.wait_for(lock, std::chrono::milliseconds(ms),
                              [this] { return stopping_.load(); });
}

void LanServer::Event(const std::string& line) {
    if (options_.events) options_.events(line);
}

std::string FindFreeLoopbackAddress(uint16_t port) {
    for (int host = 2; host <= 254; ++host) {
        const std::string address = "127.0.0." + std::to_string(host);
        const os::Socket probe = os::OpenTcp(nullptr);
        if (probe == os::kNoSocket) return "";
        uint32_t ip = 0;
        os::ParseIpv4(address, &ip);
        const bool free = os::Bind(probe, ip, port, nullptr);
        os::Close(probe);
        if (free) return address;
    }
    return "";
}

bool StartOnFreeLoopback(LanServer& server, uint16_t port, std::string* address,
                         std::string* error) {
    std::string last;
    for (int host = 2; host <= 254; ++host) {
        const std::string candidate = "127.0.0." + std::to_string(host);
        if (server.Start(candidate, port, &last)) {
            if (address) *address = candidate;
            return true;
        }
    }
    if (error) *error = "no free loopback address for port " + std::to_string(port) + ": " + last;
    return false;
}

}  // namespace zpx::emu
