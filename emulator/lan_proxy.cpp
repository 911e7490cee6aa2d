#include "lan_proxy.h"

#include <chrono>
#include <cstring>
#include <vector>

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

void LanProxy::Stop() {
    if (listener_ == os::kNoSocket) return;
    stopping_ = true;
    os::ShutdownBoth(listener_);
    acceptThread_.join();
    os::Close(listener_);
    listener_ = os::kNoSocket;
    std::lock_guard lock(mutex_);
    ReapLocked(true);
}

void LanProxy::AcceptLoop() {
    const std::string controller = AddressText(controller_, controllerPort_);
    while (!stopping_) {
        std::string peer;
        os::AcceptFailure failure = os::AcceptFailure::kNone;
        const os::Socket station = os::Accept(listener_, stopping_, &peer, &failure);
        if (station == os::kNoSocket) {
            if (failure == os::AcceptFailure::kFatal || stopping_) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
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
        ReapLocked(false);
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
        raw->up = std::thread([this, raw] { Forward(raw, true); });
        raw->down = std::thread([this, raw] { Forward(raw, false); });
    }
}

// Copies one direction as it comes; the first direction to end ends both.
void LanProxy::Forward(Link* link, bool up) {
    const os::Socket from = up ? link->station : link->controller;
    const os::Socket to = up ? link->controller : link->station;
    std::vector<uint8_t> buffer(64 * 1024);
    for (;;) {
        const std::ptrdiff_t n = os::Receive(from, buffer.data(), buffer.size(), 0, stopping_);
        if (n <= 0) break;
        if (link->recording) link->recording->Sent(up, buffer.data(), static_cast<size_t>(n));
        size_t sent = 0;
        while (sent < static_cast<size_t>(n)) {
            const std::ptrdiff_t m =
                os::Send(to, buffer.data() + sent, static_cast<size_t>(n) - sent, stopping_);
            if (m <= 0) break;
            sent += static_cast<size_t>(m);
        }
        if (sent < static_cast<size_t>(n)) break;
    }
    if (!link->ended.exchange(true)) {
        if (link->recording) link->recording->Close(up);
        if (events_) events_(link->peer + (up ? ": station" : ": controller") + " closed");
        os::ShutdownBoth(link->station);
        os::ShutdownBoth(link->controller);
    }
    --link->running;
}

void LanProxy::ReapLocked(bool all) {
    for (auto it = links_.begin(); it != links_.end();) {
        Link& link = **it;
        if (!all && link.running > 0) {
            ++it;
            continue;
        }
        if (all) {
            os::ShutdownBoth(link.station);
            os::ShutdownBoth(link.controller);
        }
        link.up.join();
        link.down.join();
        os::Close(link.station);
        os::Close(link.controller);
        it = links_.erase(it);
    }
}

}  // namespace zpx::emu
