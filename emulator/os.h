// The emulator's calls into the operating system, so that everything else in it builds unchanged
// for Linux and for Windows: the TCP sockets of the LAN server, the local time of a waveform
// header, and the stop request zpx-emu waits for.
//
// A server thread blocks in Accept or Receive until a client turns up or the server stops. On
// Linux the sockets are blocking and the stopping thread wakes a blocked call with ShutdownBoth.
// Windows has no such wake-up for a blocked accept, and closing a socket under a thread that is
// still using it lets the handle be reused by the next socket anyone opens; so there the sockets
// are non-blocking, and a call that has to wait looks at the caller's stop flag every few
// milliseconds. To stop a thread blocked in Accept, Receive or Send, then, set its stop flag,
// ShutdownBoth the socket, and Close it only once the thread has left the call.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace zpx::emu::os {

// kStopRequests: how the user asks zpx-emu to stop, for its usage text.
#ifdef _WIN32
using Socket = uintptr_t;  // SOCKET
inline constexpr const char* kStopRequests = "Ctrl+C or Ctrl+Break";
#else
using Socket = int;
inline constexpr const char* kStopRequests = "SIGINT or SIGTERM";
#endif
// Where the loader looks for a program's shared libraries, and how that list is separated.
// Device nodes are served (through a preload library) on Linux only.
#ifdef _WIN32
inline constexpr const char* kLibraryPathVariable = "PATH";
inline constexpr const char* kPathListSeparator = ";";
inline constexpr bool kServesDeviceNodes = false;
#else
inline constexpr const char* kLibraryPathVariable = "LD_LIBRARY_PATH";
inline constexpr const char* kPathListSeparator = ":";
inline constexpr bool kServesDeviceNodes = true;
#endif
// The file of the shared library of base name `base`: libBASE.so, BASE.dll.
inline std::string SharedLibraryFile(const std::string& base) {
#ifdef _WIN32
    return base + ".dll";
#else
    return "lib" + base + ".so";
#endif
}
// No socket: -1 on Linux, INVALID_SOCKET (all bits set) on Windows.
inline constexpr Socket kNoSocket = static_cast<Socket>(-1);

// An IPv4 address in dotted decimal text, in network byte order. False for anything else.
bool ParseIpv4(const std::string& text, uint32_t* address);

// A TCP socket for a server, not inherited by child processes, or kNoSocket with the reason. It
// may bind an address:port on which connections closed a moment ago still linger, never one that
// another socket is bound to: binding it is how a free port is told from a used one.
Socket OpenTcp(std::string* reason);
bool Bind(Socket socket, uint32_t address, uint16_t port, std::string* reason);
bool Listen(Socket socket, int backlog, std::string* reason);
// A listening socket on address:port (dotted decimal); an empty address takes the first of
// 127.0.0.2 to 127.0.0.254 on which the port is free. The address used goes to *bound; kNoSocket
// with the reason when there is none.
Socket ListenTcp(const std::string& address, uint16_t port, int backlog, std::string* bound,
                 std::string* reason);
// A TCP connection to address:port (network byte order, as ParseIpv4 gives it) with replies
// going out at once, or kNoSocket with the reason.
Socket Connect(uint32_t address, uint16_t port, std::string* reason);
// The port a bound socket holds (port 0 binds a free one), or 0 when it cannot be read.
uint16_t LocalPort(Socket socket);

enum class AcceptFailure {
    kNone,
    kRetry,           // interrupted, or the client gave up before it was taken
    kOutOfResources,  // out of descriptors or buffers: worth trying again later
    kFatal,           // the listening socket is unusable, or the server is stopping
};
// The next connection on `listener`, and its peer as "address:port"; or kNoSocket and why, which
// is also what a stopped wait returns.
Socket Accept(Socket listener, const std::atomic<bool>& stopping, std::string* peer,
              AcceptFailure* failure);

// What Receive returns when nothing arrived within its time limit.
inline constexpr std::ptrdiff_t kTimedOut = -2;
// The bytes received, at most `length`; kTimedOut when no byte arrived for `timeoutMs` (0: no
// limit); otherwise 0 or less once the connection has ended: the peer closed it, it failed, or
// the wait was stopped.
std::ptrdiff_t Receive(Socket socket, void* data, size_t length, uint32_t timeoutMs,
                       const std::atomic<bool>& stopping);
// The bytes sent, maybe fewer than `length`; 0 or less when the connection takes no more: it
// failed, or the wait was stopped. A peer that has gone away is an error here, never a signal
// that ends the process.
std::ptrdiff_t Send(Socket socket, const void* data, size_t length,
                    const std::atomic<bool>& stopping);

// A listening local socket, its path in *path (Linux: a Unix-domain socket in a new temporary
// folder of its own; Windows: a TCP port of 127.0.0.1, "127.0.0.1:PORT"); kNoSocket with the
// reason when it cannot be made. Accept, Receive and Send serve it.
Socket ListenLocal(std::string* path, std::string* reason);
// Removes the socket at `path` and its folder.
void RemoveLocal(const std::string& path);
// A connection to the local socket at `path`; kNoSocket where it cannot be made.
Socket ConnectLocal(const std::string& path);

// All `length` bytes sent, or all received, however many calls that takes; false once the
// connection has ended or the wait was stopped.
inline bool SendAll(Socket socket, const void* data, size_t length,
                    const std::atomic<bool>& stopping) {
    for (auto* p = static_cast<const char*>(data); length > 0;) {
        const std::ptrdiff_t n = Send(socket, p, length, stopping);
        if (n <= 0) return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}
inline bool ReceiveAll(Socket socket, void* data, size_t length,
                       const std::atomic<bool>& stopping) {
    for (auto* p = static_cast<char*>(data); length > 0;) {
        const std::ptrdiff_t n = Receive(socket, p, length, 0, stopping);
        if (n <= 0) return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// Replies go out at once instead of waiting to be merged with later ones.
void SetNoDelay(Socket socket);
// Ends both directions: the peer sees the connection close, and on Linux a call blocked on the
// socket in another thread returns.
void ShutdownBoth(Socket socket);
// Both do nothing for kNoSocket.
void Close(Socket socket);
// Closes the socket so that the peer sees the connection reset instead of closed.
void ResetAndClose(Socket socket);

// A file written in whole records, for recordings: kNoFile when it cannot be created.
using File = int;
inline constexpr File kNoFile = -1;
// Creates (or empties) `path` for writing, or kNoFile with the reason.
File CreateOutputFile(const std::string& path, std::string* reason);
// A piece of a record.
struct Piece {
    const void* data;
    size_t length;
};
// Writes the pieces one after the other, gathered into as few writes as the system allows.
// False when the file takes no more.
bool WritePieces(File file, const Piece* pieces, size_t count);
void CloseFile(File file);

// The file `name` in the folder of the running executable (`argv0` where the system cannot say),
// or "" when there is none.
std::string BesideExecutable(const char* argv0, const std::string& name);
// Sets a variable in this process's environment, which commands it runs inherit.
void SetEnvironment(const std::string& name, const std::string& value);
// Runs `command` (the program, found on the path, and its arguments) with this process's
// environment, standard streams and console, and waits for it: its exit status, 128 + the
// signal's number when a signal ended it, or -1 with the reason when it could not be started.
// A stop request to this process (see CatchStopRequests) is passed on to the command.
int RunCommand(const std::vector<std::string>& command, std::string* reason);

// `time` in the local time zone; false when it cannot be converted.
bool LocalTime(std::time_t time, std::tm* local);

// From here on SIGINT and SIGTERM (on Windows Ctrl+C, Ctrl+Break, closing the console, logging
// off) no longer end the process but wait for WaitForStopRequest. Call it before starting any
// thread, so that each thread inherits the blocked signals.
void CatchStopRequests();
// Blocks until one of those arrives; "SIGINT" for SIGINT or Ctrl+C, "SIGTERM" for the others.
const char* WaitForStopRequest();

}  // namespace zpx::emu::os
