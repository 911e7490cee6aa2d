// The emulator's socket calls (emulator/os.h) served from memory, so that the LAN server's
// request decoder can be fuzzed without the network: one listening socket whose next Accept hands
// out one client connection, which delivers a byte stream in the pieces it was given and then
// closes. The fuzzer build links this in place of emulator/os.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zpx::fuzz::sockets {

// Sets up the connection the next Accept hands out: each piece arrives as one receive, or in
// parts when the server asks for fewer bytes. Everything of the previous connection is forgotten.
void Offer(std::vector<std::vector<uint8_t>> pieces);

// Waits until the server is done with the offered connection: it read the end of the stream, or
// shut the connection down.
void WaitUntilServed();

// Bytes the server sent on the connection.
size_t BytesSent();

// Whether the server read the stream to its end (rather than dropping the connection before).
bool ReadToEnd();

}  // namespace zpx::fuzz::sockets
