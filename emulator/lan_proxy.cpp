#include "lan_proxy.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "lan_protocol.h"
#include "serving.h"
#include "wire.h"

namespace zpx::emu {

namespace {

std::string AddressText(uint32_t network, uint16_t port) {
    uint8_t b[4];
    std::memcpy(b, &network, 4);
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
           std::to_string(b[3]) + ":" + std::to_string(port);
}

}  // namespace

LanProxy::LanProxy(uint32_t controller, uint16_t controllerPort, PcapWriter* recording,
                   LogSink events)
    : controller_(controller),
      controllerPort_(controllerPort),
      recording_(recording),
      events_(std::move(events)) {}

LanProxy::~LanProxy() {
    Stop();
}

bool LanProxy::Start(const std::string& address, uint16_t port, std::string* error) {
    listener_ = os::ListenTcp(address, port, 16, &address_, error);
    if (listener_ == os::kNoSocket) return false;
    port_ = port;
    stopping_ = false;
    acceptThread_ = std::thread([this] { AcceptLoop(); });
    return true;
}

void LanProxy::SetFaults(std::vector<Fault> faults) {
    faulty_ = !faults.empty();
    faults_.Set(std::move(faults));
}

void LanProxy::Stop() {
    if (listener_ == os::kNoSocket) return;
    stopping_ = true;
    StopAccepting(&listener_, &acceptThread_);
    // A link resetting its station takes the lock.
    EndConnections(
        mutex_, links_,
        [](Link& link) {
            os::ShutdownBoth(link.station);
            os::ShutdownBoth(link.controller);
        },
        [](Link& link) {
            link.up.join();
            link.down.join();
            os::Close(link.station);
            os::Close(link.controller);
        });
    // Whatever crossed is in the file once the proxy has stopped.
    if (recording_ != nullptr) recording_->Flush();
}

void LanProxy::AcceptLoop() {
    const std::string controller = AddressText(controller_, controllerPort_);
    while (!stopping_) {
        std::string peer;
        const os::Socket station = AcceptNext(listener_, stopping_, &peer);
        if (station == os::kNoSocket) return;
        os::SetNoDelay(station);
        std::string reason;
        const os::Socket toController = os::Connect(controller_, controllerPort_, &reason);
        if (toController == os::kNoSocket) {
            // The station sees its connection close at once, as it would with no controller.
            if (events_) events_(peer + ": controller " + controller + " unreachable: " + reason);
            os::Close(station);
            continue;
        }
        ++forwarded_;
        if (events_) events_(peer + ": forwarding to " + controller);
        std::lock_guard lock(mutex_);
        ReapLocked();
        auto link = std::make_unique<Link>();
        link->station = station;
        link->controller = toController;
        link->peer = peer;
        if (recording_ != nullptr) {
            link->recording = recording_->Begin(
                EndpointOfText(peer), EndpointOfText(address_ + ":" + std::to_string(port_)));
        }
        Link* raw = link.get();
        links_.push_back(std::move(link));
        raw->up = std::thread([this, raw] { ForwardRequests(raw); });
        raw->down = std::thread([this, raw] { ForwardReplies(raw); });
    }
}

// The station's bytes go on as they come, a whole received piece in one send, except where a
// fault keeps a request back; to know where requests begin the stream is cut as the controller
// cuts it. A request header split between two receives is held until it is whole.
void LanProxy::ForwardRequests(Link* link) {
    std::shared_ptr<uint8_t[]> buffer;
    uint8_t held[kLanMemoryHeaderSize];
    size_t heldBytes = 0;
    uint64_t dataLeft = 0;  // of the current request's block or image
    bool dataKept = false;  // that block is not forwarded
    const char* why = "station closed";
    for (bool running = true; running;) {
        Unshared(&buffer);
        const std::ptrdiff_t n = os::Receive(link->station, buffer.get(), kChunk, 0, stopping_);
        if (n <= 0) break;
        if (link->recording) link->recording->Sent(true, buffer, 0, static_cast<size_t>(n));
        const uint8_t* const data = buffer.get();
        const size_t end = static_cast<size_t>(n);
        size_t at = 0, from = 0;  // bytes before `from` are forwarded or kept back
        auto flush = [&](size_t to) {
            const bool sent = SendAll(link, true, data + from, to - from);
            from = to;
            return sent;
        };
        while (running && at < end) {
            if (dataLeft > 0) {
                const size_t k = static_cast<size_t>(std::min<uint64_t>(dataLeft, end - at));
                if (dataKept && !flush(at)) running = false;
                at += k;
                if (dataKept) from = at;
                dataLeft -= k;
                continue;
            }
            // The next request header, in place or gathered in `held`.
            const uint8_t* header = data + at;
            size_t size = 0;
            const bool inPlace =
                heldBytes == 0 && end - at >= 2 && end - at >= LanRequestSize(LoadU16(header));
            if (inPlace) {
                size = LanRequestSize(LoadU16(header));
            } else {
                if (!flush(at)) running = false;
                while (at < end) {
                    const size_t want = heldBytes < 2 ? 2 : LanRequestSize(LoadU16(held));
                    if (heldBytes == want) break;
                    const size_t k = std::min(want - heldBytes, end - at);
                    std::memcpy(held + heldBytes, data + at, k);
                    heldBytes += k;
                    at += k;
                }
                from = at;
                if (heldBytes < 2 || heldBytes < LanRequestSize(LoadU16(held))) break;
                header = held;
                size = heldBytes;
                heldBytes = 0;
            }
            Fault fault;
            const bool faulty = faults_.Next(&fault, LanRequestTarget(header));
            const uint64_t request = faults_.RequestCount();
            dataLeft = LanDataLength(header);
            dataKept = faulty && fault.kind == FaultKind::kFailRequest;
            if (faulty && (fault.kind == FaultKind::kCloseConnection ||
                           fault.kind == FaultKind::kResetConnection ||
                           fault.kind == FaultKind::kStopReading)) {
                // What came before the request goes on; the request does not.
                if (inPlace && !flush(at)) break;
                running = false;
                // A controller ends the link only once it has answered what came before.
                for (int waited = 0; waited < 5000 && Owing(link) && Pause(link, 5); waited += 5) {
                }
                if (fault.kind == FaultKind::kResetConnection) {
                    Reset(link, request);
                    why = nullptr;
                } else if (fault.kind == FaultKind::kCloseConnection) {
                    why = "closing on request (fault)";
                } else {
                    // Hung: the station's sends fill the buffers and then block, until the
                    // controller gives up on the link or the proxy stops.
                    Event(link,
                          "request " + std::to_string(request) + ": no longer reading (fault)");
                    while (Pause(link, 50)) {
                    }
                    why = "stalled link ended";
                }
                break;
            }
            if (dataKept) {
                Event(link, "request " + std::to_string(request) + ": not forwarded (fault)");
                if (inPlace && !flush(at)) running = false;
                if (inPlace) at += size;
                from = at;
                continue;
            }
            if (const size_t reply = LanReplyLength(header); faulty_ && reply > 0) {
                // Known before the controller can answer, which it does only once this is sent.
                std::lock_guard lock(link->dueMutex);
                link->due.push_back({request, reply, 0, fault, faulty, false});
            }
            if (inPlace)
                at += size;
            else if (!SendAll(link, true, header, size))
                running = false;
        }
        if (running && !flush(at)) break;
    }
    if (why != nullptr) End(link, true, why);
    --link->running;
}

// The controller's bytes go on as they come; with faults, each reply's bytes are shaped by the
// fault of the request it answers, in the order the requests went out.
void LanProxy::ForwardReplies(Link* link) {
    for (bool running = true; running;) {
        Unshared(&link->replies);
        const std::ptrdiff_t n =
            os::Receive(link->controller, link->replies.get(), kChunk, 0, stopping_);
        if (n <= 0) break;
        const uint8_t* data = link->replies.get();
        size_t left = static_cast<size_t>(n);
        while (running && left > 0) {
            DueReply* reply = nullptr;
            if (faulty_) {
                std::lock_guard lock(link->dueMutex);
                if (!link->due.empty()) reply = &link->due.front();
            }
            // Bytes where no reply is due go on unchanged: the station should see them.
            const size_t k = reply ? std::min(left, reply->length - reply->passed) : left;
            if (!PassReply(link, reply, data, k)) running = false;
            data += k;
            left -= k;
            if (reply != nullptr && reply->passed == reply->length) {
                std::lock_guard lock(link->dueMutex);
                link->due.pop_front();
            }
        }
    }
    End(link, false, "controller closed");
    --link->running;
}

bool LanProxy::PassReply(Link* link, DueReply* reply, const uint8_t* data, size_t length) {
    if (reply == nullptr || !reply->faulty) {
        if (reply) reply->passed += length;
        return SendAll(link, false, data, length);
    }
    const Fault& f = reply->fault;
    const size_t offset = reply->passed;
    reply->passed += length;
    const std::string request = "request " + std::to_string(reply->request) + ": ";
    switch (f.kind) {
        case FaultKind::kDropReply:
            if (offset == 0) Event(link, request + "reply dropped (fault)");
            return true;
        case FaultKind::kShortReply: {
            if (offset == 0) Event(link, request + "reply cut short (fault)");
            const size_t keep = offset < f.bytes ? std::min<size_t>(length, f.bytes - offset) : 0;
            return SendAll(link, false, data, keep);
        }
        case FaultKind::kDelayReply:
            if (offset == 0) {
                Event(link, request + "reply delayed (fault)");
                if (!Pause(link, f.delayMs)) return false;
            }
            return SendAll(link, false, data, length);
        case FaultKind::kCutReply: {
            const size_t before = offset < f.bytes ? std::min<size_t>(length, f.bytes - offset) : 0;
            if (!SendAll(link, false, data, before)) return false;
            if (before < length && !reply->paused) {
                reply->paused = true;
                Event(link, request + "reply cut, the rest follows later (fault)");
                if (!Pause(link, f.delayMs)) return false;
            }
            return SendAll(link, false, data + before, length - before);
        }
        default:
            return SendAll(link, false, data, length);
    }
}

bool LanProxy::SendAll(Link* link, bool up, const uint8_t* data, size_t length) {
    // The recording holds what the station sent as it came, and what it was sent.
    if (!up && link->recording && length > 0) {
        link->recording->Sent(false, link->replies, static_cast<size_t>(data - link->replies.get()),
                              length);
    }
    return os::SendAll(up ? link->controller : link->station, data, length, stopping_);
}

// The recording holds on to received chunks instead of copying them, so a chunk it still holds
// is left to it and a new one taken.
void LanProxy::Unshared(std::shared_ptr<uint8_t[]>* chunk) {
    if (*chunk == nullptr || chunk->use_count() > 1) chunk->reset(new uint8_t[kChunk]);
}

bool LanProxy::Pause(const Link* link, uint32_t ms) const {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stopping_ && !link->ended) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= until) return true;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            until - now, std::chrono::milliseconds(20)));
    }
    return false;
}

void LanProxy::End(Link* link, bool up, const char* why) {
    if (link->ended.exchange(true)) return;
    if (link->recording) link->recording->Close(up);
    Event(link, why);
    os::ShutdownBoth(link->station);
    os::ShutdownBoth(link->controller);
}

void LanProxy::Reset(Link* link, uint64_t request) {
    if (link->ended.exchange(true)) return;
    if (link->recording) link->recording->Close(true);
    Event(link, "request " + std::to_string(request) + ": resetting (fault)");
    // Only a close sends the reset, so the other thread must be done with the station's socket
    // first: ending the controller's side ends it, unless it is stuck sending to a station that
    // does not read, which then sees an ordinary close.
    os::ShutdownBoth(link->controller);
    for (int waited = 0; link->running > 1 && waited < 2000; waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::lock_guard lock(mutex_);
    if (link->running > 1) {
        os::ShutdownBoth(link->station);
        return;
    }
    os::ResetAndClose(link->station);
    link->station = os::kNoSocket;
}

bool LanProxy::Owing(Link* link) {
    std::lock_guard lock(link->dueMutex);
    return !link->due.empty();
}

void LanProxy::Event(const Link* link, const std::string& what) const {
    if (events_) events_(link->peer + ": " + what);
}

void LanProxy::ReapLocked() {
    for (auto it = links_.begin(); it != links_.end();) {
        Link& link = **it;
        if (link.running > 0) {
            ++it;
            continue;
        }
        link.up.join();
        link.down.join();
        os::Close(link.station);
        os::Close(link.controller);
        it = links_.erase(it);
    }
}

}  // namespace zpx::emu
