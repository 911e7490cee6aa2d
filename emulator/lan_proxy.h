// A stand-in between a station and a real controller: it listens where the library connects and
// forwards every byte both ways to the controller, as it comes (no reordering, no merging of the
// controller's replies across requests), with replies going out at once on both sides, and can
// record each conversation as it crosses (pcap_writer.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "controller.h"
#include "os.h"
#include "pcap_writer.h"

namespace zpx::emu {

class LanProxy {
  public:
    // `controller`: the real controller's address (network byte order, as os::ParseIpv4 gives
    // it) and port. `recording` may be null; `events` gets a line per connection opened and
    // closed.
    LanProxy(uint32_t controller, uint16_t controllerPort, PcapWriter* recording, LogSink events);
    ~LanProxy();
    LanProxy(const LanProxy&) = delete;
    LanProxy& operator=(const LanProxy&) = delete;

    // Listens on address:port; an empty address takes the first loopback address from
    // 127.0.0.2 upward where the port is free. False with the reason when it cannot.
    bool Start(const std::string& address, uint16_t port, std::string* error);
    // Closes the listener and every forwarded connection and joins every thread.
    void Stop();
    const std::string& Address() const { return address_; }
    uint64_t ConnectionsForwarded() const { return forwarded_; }

  private:
    struct Link {
        os::Socket station = os::kNoSocket, controller = os::kNoSocket;
        std::string peer;
        std::unique_ptr<PcapWriter::Conversation> recording;
        std::thread up, down;
        std::atomic<int> running{2};
        std::atomic<bool> ended{false};
    };
    void AcceptLoop();
    void Forward(Link* link, bool up);
    void ReapLocked(bool all);

    uint32_t controller_;
    uint16_t controllerPort_;
    PcapWriter* recording_;
    LogSink events_;
    os::Socket listener_ = os::kNoSocket;
    std::string address_;
    uint16_t port_ = 0;
    std::thread acceptThread_;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::list<std::unique_ptr<Link>> links_;
    std::atomic<uint64_t> forwarded_{0};
};

}  // namespace zpx::emu
