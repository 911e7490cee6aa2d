#include "device_server.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "serving.h"

namespace zpx::emu {

DeviceServer::~DeviceServer() {
    Stop();
}

void DeviceServer::Add(std::string node, DriverStandIn* driver) {
    devices_.push_back({std::move(node), driver});
}

void DeviceServer::AddBoard(std::string name, VxiBoard* board) {
    devices_.push_back({std::move(name), nullptr, board});
}

std::string DeviceServer::Nodes() const {
    std::string nodes;
    for (const Device& d : devices_) {
        if (d.driver != nullptr) nodes.append(nodes.empty() ? "" : ",").append(d.node);
    }
    return nodes;
}

bool DeviceServer::Device::Request(const void* client, const DeviceRequestRecord& head, uint8_t* in,
                                   uint8_t* out) const {
    if (driver != nullptr)
        return driver->Request(head.code, in, head.inLength, out, head.outLength);
    // The board's calls work on one buffer, in and out.
    return head.sameBuffer != 0 && head.inLength == head.outLength &&
           board->Call(client, head.code, out, head.outLength) == VxiBoard::kOk;
}

bool DeviceServer::Start(std::string* error) {
    listener_ = os::ListenLocal(&path_, error);
    if (listener_ == os::kNoSocket) return false;
    acceptThread_ = std::thread([this] { AcceptLoop(); });
    return true;
}

void DeviceServer::Stop() {
    if (listener_ == os::kNoSocket) return;
    stopping_ = true;
    StopAccepting(&listener_, &acceptThread_);
    EndConnections(
        mutex_, connections_, [](Connection& c) { os::ShutdownBoth(c.socket); },
        [](Connection& c) {
            c.thread.join();
            os::Close(c.socket);
        });
    os::RemoveLocal(path_);
}

void DeviceServer::AcceptLoop() {
    while (!stopping_) {
        std::string peer;
        const os::Socket socket = AcceptNext(listener_, stopping_, &peer);
        if (socket == os::kNoSocket) return;
        std::lock_guard lock(mutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            if (!(*it)->done) {
                ++it;
                continue;
            }
            (*it)->thread.join();
            os::Close((*it)->socket);
            it = connections_.erase(it);
        }
        auto connection = std::make_unique<Connection>();
        connection->socket = socket;
        Connection* raw = connection.get();
        connections_.push_back(std::move(connection));
        raw->thread = std::thread([this, raw] { Serve(raw); });
    }
}

DeviceServer::Device* DeviceServer::Claim(const char* node, int32_t* error) {
    std::lock_guard lock(mutex_);
    for (Device& d : devices_) {
        if (d.node != node) continue;
        // One client at a time, as the driver has it; the board admits its clients itself.
        *error = d.open ? EBUSY : 0;
        if (d.open) return nullptr;
        d.open = d.driver != nullptr;
        return &d;
    }
    *error = ENOENT;
    return nullptr;
}

// One open of a device: its requests until the program closes it.
void DeviceServer::Serve(Connection* connection) {
    const os::Socket socket = connection->socket;
    DeviceOpenRecord open{};
    int32_t error = EPROTO;
    Device* device = nullptr;
    if (os::ReceiveAll(socket, &open, sizeof open, stopping_) && open.magic == kDeviceLinkMagic) {
        open.node[sizeof open.node - 1] = '\0';
        device = Claim(open.node, &error);
    }
    // A board's link is named as the library it stands behind; a node by its path.
    const std::string shown = device != nullptr && device->board != nullptr
                                  ? std::string(open.node)
                                  : std::string("/dev/").append(open.node);
    if (events_) events_(shown + (device ? ": opened" : ": open refused"));
    if (os::SendAll(socket, &error, sizeof error, stopping_) && device != nullptr) {
        std::vector<uint8_t> in, out;
        for (DeviceRequestRecord head{}; os::ReceiveAll(socket, &head, sizeof head, stopping_);) {
            if (head.inLength > kDeviceLinkMaxBuffer || head.outLength > kDeviceLinkMaxBuffer)
                break;
            in.resize(head.inLength);
            if (!os::ReceiveAll(socket, in.data(), in.size(), stopping_)) break;
            // One buffer when the program passed one, as the driver would see it.
            uint8_t* outData = nullptr;
            if (head.sameBuffer != 0) {
                in.resize(std::max(head.inLength, head.outLength));
                outData = in.data();
            } else if (head.outLength > 0) {
                out.assign(head.outLength, 0);
                outData = out.data();
            }
            uint8_t* const inData = head.inLength > 0 ? in.data() : nullptr;
            const bool done = device->Request(connection, head, inData, outData);
            const DeviceReplyRecord reply{done ? 0 : EIO, done ? head.outLength : 0};
            if (!os::SendAll(socket, &reply, sizeof reply, stopping_) ||
                (done && !os::SendAll(socket, outData, head.outLength, stopping_)))
                break;
        }
        if (device->board != nullptr) device->board->Gone(connection);
        std::lock_guard lock(mutex_);
        device->open = false;
    }
    if (device != nullptr && events_) events_(shown + ": closed");
    os::ShutdownBoth(socket);
    connection->done = true;
}

}  // namespace zpx::emu
