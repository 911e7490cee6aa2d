// The Ethernet face of an emulated controller: a TCP server on a loopback address that speaks the
// controller's LAN protocol (12-byte packets, 16-byte memory headers with raw data, image
// uploads).
//
// One listening thread accepts; each connection is served by its own thread with blocking I/O
// and one read buffer, so a register read costs one recv and one send. A request that breaks the
// protocol (lan_protocol.h) is a protocol error: it is logged, counted and not carried out, and
// its connection is dropped; the server keeps serving the others.
//
// Slots are bounded, and nobody keeps one by doing nothing: a connection that sends nothing for
// the idle limit, also one stalled in the middle of a request, is dropped, and when every slot is
// taken a new client is admitted in place of the connection that has been quiet the longest.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
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

// The port Ethernet controllers listen on.
inline constexpr uint16_t kLanPort = 5104;

struct LanServerOptions {
    std::string address = "127.0.0.2";
    uint16_t port = kLanPort;    // 0 picks a free port (tests)
    LogSink requestLog;          // one line per request
    LogSink events;              // one line per connection opened and closed
    size_t maxConnections = 32;  // beyond it, the connection quiet the longest makes room
    // A connection from which nothing arrives for this long is dropped, whether it sits between
    // requests or in the middle of one; 0 keeps connections however long they are quiet.
    uint32_t idleTimeoutMs = 600000;
    // Where every conversation is recorded, both directions as they cross the socket; null: none.
    PcapWriter* recording = nullptr;
};

class LanServer {
  public:
    explicit LanServer(Controller& controller, LanServerOptions options = {});
    ~LanServer();
    LanServer(const LanServer&) = delete;
    LanServer& operator=(const LanServer&) = delete;

    // Binds and listens on address:port and starts serving. False, with a message, when the
    // address is not IPv4 text or cannot be bound.
    bool Start(const std::string& address, uint16_t port, std::string* error);
    bool Start(std::string* error) { return Start(options_.address, options_.port, error); }
    // Closes the listening socket and every connection and joins every thread.
    void Stop();

    bool Running() const { return listener_ != os::kNoSocket; }
    const std::string& Address() const { return address_; }
    uint16_t Port() const { return port_; }

    void SetFaults(std::vector<Fault> faults) { faults_.Set(std::move(faults)); }
    void AddFault(Fault fault) { faults_.Add(std::move(fault)); }
    uint64_t RequestCount() const { return faults_.RequestCount(); }
    uint64_t ConnectionsAccepted() const { return accepted_; }
    // Requests refused for a field the protocol does not allow; each ended its connection.
    uint64_t ProtocolErrors() const { return protocolErrors_; }
    // Connections dropped after the idle limit, and ones dropped to admit a new client.
    uint64_t ConnectionsTimedOut() const { return timedOut_; }
    uint64_t ConnectionsEvicted() const { return evicted_; }

  private:
    struct Connection {
        os::Socket socket = os::kNoSocket;
        std::string peer;
        std::thread thread;
        std::atomic<bool> done{false};
        std::atomic<bool> evicted{false};     // shut down to make room; its thread is ending
        std::atomic<int64_t> lastHeardMs{0};  // NowMs() when its last bytes arrived
    };
    class Session;

    void AcceptLoop();
    void Serve(Connection* connection);
    void ReapLocked();  // joins and closes the connections that have ended
    // Shuts down the connection quiet the longest, if any; true when one was.
    bool EvictLocked(const std::string& newcomer);
    static int64_t NowMs();
    // Waits up to `ms`, returning early when the server stops; false when it stopped.
    bool Pause(uint32_t ms);
    void Event(const std::string& line);

    Controller& controller_;
    LanServerOptions options_;
    FaultPlan faults_;

    os::Socket listener_ = os::kNoSocket;
    std::string address_;
    uint16_t port_ = 0;
    std::thread acceptThread_;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;  // connections_ and the stop signal
    std::condition_variable stopped_;
    std::list<std::unique_ptr<Connection>> connections_;
    std::atomic<uint64_t> accepted_{0};
    std::atomic<uint64_t> protocolErrors_{0};
    std::atomic<uint64_t> timedOut_{0};
    std::atomic<uint64_t> evicted_{0};
};

// The first loopback address from 127.0.0.2 upward on which `port` can be bound, or "" when none
// of 127.0.0.2 to 127.0.0.254 is free. Another process may take it before it is used: prefer
// StartOnFreeLoopback, which binds for real.
std::string FindFreeLoopbackAddress(uint16_t port = kLanPort);

// Starts `server` on the first loopback address from 127.0.0.2 upward where `port` is free.
bool StartOnFreeLoopback(LanServer& server, uint16_t port, std::string* address,
                         std::string* error);

}  // namespace zpx::emu
