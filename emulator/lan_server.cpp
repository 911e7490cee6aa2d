#include "lan_server.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "lan_protocol.h"
#include "os.h"
#include "pcap_writer.h"
#include "serving.h"
#include "wire.h"

namespace zpx::emu {

namespace {
constexpr uint32_t kImageReserveMax = 1u << 20;
}  // namespace

namespace {

constexpr size_t kReadBufferSize = 64 * 1024;

}  // namespace

// The decoding state of one connection: a packet, the data of a memory write, or an image.
class LanServer::Session {
  public:
    Session(LanServer& server, Connection& connection, PcapWriter::Conversation* recording)
        : server_(server), connection_(connection), recording_(recording), in_(kReadBufferSize) {}

    // Whether the conversation ended because the client closed its side.
    bool ClientClosed() const { return clientClosed_; }
    // Whether a fault asked for the connection to be reset rather than closed.
    bool Resetting() const { return resetting_; }

    // Serves until the peer closes, a request breaks the protocol, a fault closes the
    // connection, the peer stays quiet past the idle limit, or the server stops.
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
            } else if (begin > 0 && in_.size() - end < kLanMemoryHeaderSize) {
                std::memmove(in_.data(), in_.data() + begin, end - begin);
                end -= begin;
                begin = 0;
            }
            const bool insideRequest = state_ != State::kPacket || end != begin;
            const std::ptrdiff_t n =
                os::Receive(connection_.socket, in_.data() + end, in_.size() - end,
                            server_.options_.idleTimeoutMs, server_.stopping_);
            if (n == os::kTimedOut) {
                ++server_.timedOut_;
                server_.Event(connection_.peer + ": nothing for " +
                              std::to_string(server_.options_.idleTimeoutMs) + " ms" +
                              (insideRequest ? " inside a request" : "") + ", dropping");
                return;
            }
            if (n <= 0) {
                // The peer left in the middle of a request, or it was dropped to make room.
                if (connection_.evicted)
                    server_.Event(connection_.peer + ": dropped to admit a new client");
                else if (insideRequest)
                    server_.Event(connection_.peer + ": stream ended inside a request");
                clientClosed_ = n == 0 && !connection_.evicted;
                return;
            }
            if (recording_ != nullptr)
                recording_->Sent(true, in_.data() + end, static_cast<size_t>(n));
            connection_.lastHeardMs = NowMs();
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
                if (!discard_)
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
        if (available < kLanPacketSize) return 0;
        const size_t size = LanRequestSize(LoadU16(p));
        if (available < size) return 0;

        fault_ = Fault{};
        faulty_ = server_.faults_.Next(&fault_, LanRequestTarget(p));
        discard_ = false;
        if (const std::string error = LanProtocolError(p); !error.empty()) {
            // Not carried out, and the stream cannot be trusted past it.
            ++server_.protocolErrors_;
            Log(p, nullptr, error.c_str());
            server_.Event(connection_.peer + ": protocol error, " + error + "; dropping");
            return -1;
        }
        if (faulty_ && fault_.kind == FaultKind::kCloseConnection) {
            server_.Event(connection_.peer + ": closing on request (fault)");
            return -1;
        }
        if (faulty_ && fault_.kind == FaultKind::kResetConnection) {
            server_.Event(connection_.peer + ": resetting on request (fault)");
            resetting_ = true;
            return -1;
        }
        if (faulty_ && fault_.kind == FaultKind::kStopReading) {
            // Hung: nothing more is read or answered until the idle limit or the server's stop;
            // the peer's sends fill the socket buffers and then block.
            server_.Event(connection_.peer + ": no longer reading (fault)");
            const uint32_t limit = server_.options_.idleTimeoutMs;
            for (uint32_t waited = 0; (limit == 0 || waited < limit) && server_.Pause(50);
                 waited += 50) {
            }
            return -1;
        }
        discard_ = faulty_ && fault_.kind == FaultKind::kFailRequest;
        if (!Handle(p)) return -1;
        return static_cast<long>(size);
    }

    // Carries out a request whose fields LanProtocolError accepted.
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
            case kLanReadRegister:
                if (!discard_) c.ReadRegister(address, &value);
                reply = true;
                break;
            case kLanWriteRegister:
                if (!discard_) c.WriteRegister(address, data0);
                break;
            case kLanReadCounter:
                if (!discard_)
                    value = c.ReadCounter(static_cast<unsigned>(CounterOfAddress(address)));
                reply = true;
                break;
            case kLanWriteCounter:
                if (!discard_)
                    c.WriteCounter(static_cast<unsigned>(CounterOfAddress(address)),
                                   CounterValueOfWrite(address, data0, data1));
                break;
            case kLanReadMemory: {
                out_.resize(data0);
                if (discard_)
                    std::fill(out_.begin(), out_.end(), 0);
                else
                    c.ReadMemory(static_cast<unsigned>(MemoryOfSelectCode(address)), out_.data(),
                                 out_.size());
                Log(p, nullptr);
                return Send(out_.data(), out_.size());
            }
            case kLanWriteMemory:
                memory_ = MemoryOfSelectCode(address);
                remaining_ = data0;
                if (remaining_ > 0) state_ = State::kMemoryData;
                break;
            case kLanReadConfig:
                if (!discard_) c.ReadConfigItem(address, &value, &second);
                reply = true;
                break;
            case kLanWriteConfig:
                if (!discard_) c.WriteConfigItem(address, data0, data1);
                break;
            case kLanImage:
                std::memcpy(imageHeader_, p, kLanPacketSize);
                imageFault_ = fault_;
                imageFaulty_ = faulty_;
                image_.clear();
                // Grown as the data comes: a header alone must not make the server set aside
                // the whole announced length, or a client could claim gigabytes with a few
                // headers.
                if (!discard_) image_.reserve(std::min<uint32_t>(data0, kImageReserveMax));
                remaining_ = data0;
                state_ = State::kImageData;
                if (remaining_ == 0 && !FinishImage()) return false;
                Log(p, nullptr);
                return true;
            default:
                // The empty packet: the host's write of a counter that has no address here.
                break;
        }
        Log(p, reply ? &value : nullptr);
        if (!reply) return true;
        uint8_t answer[kLanPacketSize];
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
        uint8_t answer[kLanPacketSize];
        std::memcpy(answer, imageHeader_, kLanPacketSize);
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
                case FaultKind::kCutReply: {
                    const size_t first = std::min<size_t>(length, fault_.bytes);
                    if (!SendAll(data, first) || !server_.Pause(fault_.delayMs)) return false;
                    data += first;
                    length -= first;
                    break;
                }
                case FaultKind::kCloseConnection:
                case FaultKind::kStopReading:
                case FaultKind::kResetConnection:
                    return false;
            }
        }
        if (!SendAll(data, length)) return false;
        // A client waiting for its reply is not idle: its quiet time starts now.
        connection_.lastHeardMs = NowMs();
        return true;
    }

    bool SendAll(const uint8_t* data, size_t length) {
        while (length > 0) {
            const std::ptrdiff_t n = os::Send(connection_.socket, data, length, server_.stopping_);
            if (n <= 0) return false;
            if (recording_ != nullptr) recording_->Sent(false, data, static_cast<size_t>(n));
            data += n;
            length -= static_cast<size_t>(n);
        }
        return true;
    }

    // `reply` is the value sent back, or null for a request without a one-packet reply; `error`
    // names the protocol error for which the request was refused.
    void Log(const uint8_t* p, const uint32_t* reply, const char* error = nullptr) {
        if (!server_.options_.requestLog) return;
        const uint16_t opcode = LoadU16(p);
        char line[256];
        int n = std::snprintf(line, sizeof line,
                              "%s: %s (0x%04X) address 0x%02X width %u data 0x%X 0x%X",
                              connection_.peer.c_str(), LanOpcodeName(opcode), opcode, p[2], p[3],
                              LoadU32(p + 4), LoadU32(p + 8));
        if (LanRequestSize(opcode) == kLanMemoryHeaderSize && n > 0 &&
            static_cast<size_t>(n) < sizeof line)
            n += std::snprintf(line + n, sizeof line - n, " 0x%X", LoadU32(p + 12));
        if (n > 0 && static_cast<size_t>(n) < sizeof line) {
            if (error)
                std::snprintf(line + n, sizeof line - n, " -> protocol error: %s", error);
            else if (discard_)
                std::snprintf(line + n, sizeof line - n, " (failed by fault)");
            else if (reply)
                std::snprintf(line + n, sizeof line - n, " -> 0x%X", *reply);
        }
        server_.options_.requestLog(line);
    }

    LanServer& server_;
    Connection& connection_;
    PcapWriter::Conversation* recording_;
    bool clientClosed_ = false;
    bool resetting_ = false;
    std::vector<uint8_t> in_;
    std::vector<uint8_t> out_;
    State state_ = State::kPacket;
    uint32_t remaining_ = 0;
    int memory_ = 0;
    bool discard_ = false;
    Fault fault_;
    bool faulty_ = false;
    uint8_t imageHeader_[kLanPacketSize] = {};
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
    StopAccepting(&listener_, &acceptThread_);
    // A connection waiting out a delayed reply needs the lock to wake up.
    EndConnections(
        mutex_, connections_, [](Connection& c) { os::ShutdownBoth(c.socket); },
        [](Connection& c) {
            if (c.thread.joinable()) c.thread.join();
            os::Close(c.socket);
        });
    // Whatever the connections said is in the file once the server has stopped.
    if (options_.recording != nullptr) options_.recording->Flush();
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
        size_t open = 0;
        for (const auto& c : connections_)
            open += c->evicted ? 0 : 1;
        if (open >= options_.maxConnections && !EvictLocked(name)) {
            os::Close(socket);
            Event(name + ": refused, no connections allowed");
            continue;
        }
        ++accepted_;
        auto connection = std::make_unique<Connection>();
        connection->socket = socket;
        connection->peer = std::move(name);
        connection->lastHeardMs = NowMs();
        Connection* raw = connection.get();
        connections_.push_back(std::move(connection));
        Event(raw->peer + ": connected to " + address_ + ":" + std::to_string(port_));
        raw->thread = std::thread([this, raw] { Serve(raw); });
    }
}

bool LanServer::EvictLocked(const std::string& newcomer) {
    Connection* quietest = nullptr;
    for (const auto& c : connections_) {
        if (c->evicted || c->done) continue;
        if (quietest == nullptr || c->lastHeardMs < quietest->lastHeardMs) quietest = c.get();
    }
    if (quietest == nullptr) return false;
    // Its thread sees the connection end and leaves; the next accept reaps it.
    quietest->evicted = true;
    os::ShutdownBoth(quietest->socket);
    ++evicted_;
    Event(quietest->peer + ": quiet for " + std::to_string(NowMs() - quietest->lastHeardMs) +
          " ms, the longest of " + std::to_string(options_.maxConnections) +
          " connections; making room for " + newcomer);
    return true;
}

int64_t LanServer::NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void LanServer::Serve(Connection* connection) {
    {
        std::unique_ptr<PcapWriter::Conversation> recording;
        if (options_.recording != nullptr) {
            recording =
                options_.recording->Begin(EndpointOfText(connection->peer),
                                          EndpointOfText(address_ + ":" + std::to_string(port_)));
        }
        Session session(*this, *connection, recording.get());
        session.Run();
        if (recording) recording->Close(session.ClientClosed());
        if (session.Resetting()) {
            // Only a close sends the reset, so the socket goes now; under the lock, so that no
            // eviction or stop reaches for its handle meanwhile.
            std::lock_guard lock(mutex_);
            os::ResetAndClose(connection->socket);
            connection->socket = os::kNoSocket;
        }
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
