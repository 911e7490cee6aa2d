// A way into a running zpx-emu for tests of station scripts: a TCP port on 127.0.0.1 that takes
// one command per line and answers each with one line. What the station cannot see (the pod's
// power and TAP settings, memory contents) can be read, and faults aimed at what they hit can be
// set while the station runs:
//
//   state                      {"running": false, "power_register": 67, ...} (JSON)
//   memory M ADDRESS LENGTH    the bytes in hex
//   fault FAULT                "ok": FAULT as --fault takes it, e.g. fail:read-register-1 (the
//                              next read of register 1) or cut:read-memory:5:200
//
// Anything else is answered "error: ..." and the connection stays open.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "controller.h"
#include "faults.h"
#include "os.h"

namespace zpx::emu {

class ControlServer {
  public:
    // `addFault` sets a fault on the front-end that serves `controller`.
    ControlServer(Controller& controller, std::function<void(Fault)> addFault)
        : controller_(controller), addFault_(std::move(addFault)) {}
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Listens on a free port of 127.0.0.1; false with the reason when it cannot.
    bool Start(std::string* error);
    // "127.0.0.1:PORT".
    std::string Address() const;
    void Stop();

    // The answer to one command line (without its line end).
    std::string Answer(const std::string& command);

  private:
    void Serve();
    std::string State();

    Controller& controller_;
    std::function<void(Fault)> addFault_;
    os::Socket listener_ = os::kNoSocket;
    std::atomic<os::Socket> client_{os::kNoSocket};
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
};

}  // namespace zpx::emu
