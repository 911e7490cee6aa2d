// How the emulator's servers stop: their accepting first, then every connection.
#pragma once

#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "os.h"

namespace zpx::emu {

// The next connection on `listener`; kNoSocket once the server stops or accepting has failed for
// good. Running out of descriptors is waited out a little rather than spun on.
inline os::Socket AcceptNext(os::Socket listener, const std::atomic<bool>& stopping,
                             std::string* peer) {
    while (!stopping) {
        os::AcceptFailure failure = os::AcceptFailure::kNone;
        const os::Socket socket = os::Accept(listener, stopping, peer, &failure);
        if (socket != os::kNoSocket) return socket;
        if (failure == os::AcceptFailure::kFatal) break;
        if (failure == os::AcceptFailure::kOutOfResources)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return os::kNoSocket;
}

// Shutting the listening socket down wakes the blocked accept (where the system has no such
// wake-up, the accept loop sees its stopping flag instead). The socket is closed only once no
// thread uses it, so that its handle cannot be reused under a running call.
inline void StopAccepting(os::Socket* listener, std::thread* acceptThread) {
    os::ShutdownBoth(*listener);
    if (acceptThread->joinable()) acceptThread->join();
    os::Close(*listener);
    *listener = os::kNoSocket;
}

// Ends every connection: under `mutex` each one is taken out of `connections` and `wake` shuts
// its sockets down; then, outside the lock (a connection may need it to finish), `finish` joins
// its threads and closes its sockets.
template <class Connection, class Wake, class Finish>
void EndConnections(std::mutex& mutex, std::list<std::unique_ptr<Connection>>& connections,
                    Wake wake, Finish finish) {
    std::list<std::unique_ptr<Connection>> closing;
    {
        std::lock_guard lock(mutex);
        for (auto& c : connections)
            wake(*c);
        closing.swap(connections);
    }
    for (auto& c : closing)
        finish(*c);
}

}  // namespace zpx::emu
