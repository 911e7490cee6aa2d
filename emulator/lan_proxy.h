// A stand-in between a station and a real controller: it listens where the library connects and
// forwards every byte both ways to the controller, as it comes (no reordering, no merging of the
// controller's replies across requests), with replies going out at once on both sides, and can
// record each conversation as it crosses (pcap_writer.h).
//
// Given faults, it misbehaves as a failing controller would, in front of a healthy one: it cuts
// the station's stream into requests, counts them, and withholds, delays or cuts the replies due
// to them, or ends the connection.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "controller.h"
#include "faults.h"
#include "os.h"
#include "pcap_writer.h"

namespace zpx::emu {

class LanProxy {
  public:
    // `controller`: the real controller's address (network byte order, as os::ParseIpv4 gives
    // it) and port. `recording` may be null; it gets what the station sent and what it was sent.
    // `events` gets a line per connection opened and closed and per fault.
    LanProxy(uint32_t controller, uint16_t controllerPort, PcapWriter* recording, LogSink events);
    ~LanProxy();
    LanProxy(const LanProxy&) = delete;
    LanProxy& operator=(const LanProxy&) = delete;

    // The faults to inject, requests counted from 1 over all connections; before Start.
    void SetFaults(std::vector<Fault> faults);
    // Listens on address:port; an empty address takes the first loopback address from
    // 127.0.0.2 upward where the port is free. False with the reason when it cannot.
    bool Start(const std::string& address, uint16_t port, std::string* error);
    // Closes the listener and every forwarded connection and joins every thread.
    void Stop();
    const std::string& Address() const { return address_; }
    uint64_t ConnectionsForwarded() const { return forwarded_; }
    // Whole requests the stations sent so far.
    uint64_t RequestCount() const { return faults_.RequestCount(); }

  private:
    // A reply the controller owes, with the fault that shapes it on its way to the station.
    struct DueReply {
        uint64_t request = 0;
        size_t length = 0, passed = 0;
        Fault fault;
        bool faulty = false, paused = false;
    };
    struct Link {
        os::Socket station = os::kNoSocket, controller = os::kNoSocket;
        std::string peer;
        std::unique_ptr<PcapWriter::Conversation> recording;
        std::thread up, down;
        std::atomic<int> running{2};
        std::atomic<bool> ended{false};
        std::mutex dueMutex;
        std::deque<DueReply> due;
        std::shared_ptr<uint8_t[]> replies;  // the controller's bytes last received
    };
    // Bytes taken from a socket at once; one made-up segment of a recording holds them all.
    static constexpr size_t kChunk = kPcapMaxSegment;
    static void Unshared(std::shared_ptr<uint8_t[]>* chunk);
    void AcceptLoop();
    void ForwardRequests(Link* link);
    void ForwardReplies(Link* link);
    // Passes `length` bytes of `reply` on to the station, shaped by its fault.
    bool PassReply(Link* link, DueReply* reply, const uint8_t* data, size_t length);
    bool SendAll(Link* link, bool up, const uint8_t* data, size_t length);
    // Waits `ms`; false when the link or the proxy ended meanwhile.
    bool Pause(const Link* link, uint32_t ms) const;
    // Ends the link: both peers see their connections close. Once per link.
    void End(Link* link, bool up, const char* why);
    // Ends the link with the station's connection reset.
    void Reset(Link* link, uint64_t request);
    // Whether replies to requests already forwarded are still to come.
    static bool Owing(Link* link);
    void Event(const Link* link, const std::string& what) const;
    void ReapLocked();

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
    FaultPlan faults_;
    bool faulty_ = false;
};

}  // namespace zpx::emu
