// zpx-emu's end of device_link.h: a local socket on which programs open the device nodes it
// serves and send their driver requests, each node answered by its driver stand-in, one open at a
// time; and on which the emulated VXI driver library carries its calls to the board.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device_link.h"
#include "driver_stand_in.h"
#include "os.h"
#include "vxi_board.h"

namespace zpx::emu {

class DeviceServer {
  public:
    explicit DeviceServer(LogSink events) : events_(std::move(events)) {}
    ~DeviceServer();
    DeviceServer(const DeviceServer&) = delete;
    DeviceServer& operator=(const DeviceServer&) = delete;

    // `node`, the name under /dev, is answered by `driver`; before Start.
    void Add(std::string node, DriverStandIn* driver);
    // The VXI driver library's calls, on the link named `name`, are answered by `board`, which
    // admits its clients itself; before Start.
    void AddBoard(std::string name, VxiBoard* board);
    // Listens on a socket of its own in a new temporary folder; false with the reason when it
    // cannot (on systems without local sockets, always).
    bool Start(std::string* error);
    // The socket's path, for the programs' environment.
    const std::string& Path() const { return path_; }
    // The device nodes served, separated by commas, for the programs' environment.
    std::string Nodes() const;
    // Closes every connection, joins its thread, and removes the socket and its folder.
    void Stop();

  private:
    struct Device {
        std::string node;
        DriverStandIn* driver = nullptr;
        VxiBoard* board = nullptr;
        bool open = false;  // a driver's node: a connection has it open
        bool Request(const void* client, const DeviceRequestRecord& head, uint8_t* in,
                     uint8_t* out) const;
    };
    struct Connection {
        os::Socket socket = os::kNoSocket;
        std::thread thread;
        std::atomic<bool> done{false};
    };
    void AcceptLoop();
    void Serve(Connection* connection);
    Device* Claim(const char* node, int32_t* error);

    LogSink events_;
    std::vector<Device> devices_;
    std::string path_;
    os::Socket listener_ = os::kNoSocket;
    std::thread acceptThread_;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;  // the devices' open flags and the connections
    std::list<std::unique_ptr<Connection>> connections_;
};

}  // namespace zpx::emu
