// The objects shared with the user's other processes, as each operating-system layer provides
// them: the open counters, the open lock and the serial registry. The bookkeeping around them
// (attaching once, detaching only while no call uses them) is shared by every system.
#pragma once

#include <cstdint>

namespace zpx::platform::os {

// What a process holds while it is attached: its views of the objects (null where one is not
// available) and whatever the system keeps open for them.
struct SharedAttachment {
    void* counters = nullptr;             // the four u32 open counters
    void* lock = nullptr;                 // the open lock
    uint8_t* registry = nullptr;          // kSerialRegistrySize bytes
    intptr_t held[4] = {-1, -1, -1, -1};  // descriptors or handles, -1 when none
};

// What the objects' names end in: "" for programs, "." and the tag in test programs.
const char* SharedNameSuffix();

// Creates the objects when this is the first process, opens them otherwise, and maps them. Never
// waits on the open lock: a process may attach while another holds it for a long open.
SharedAttachment AttachShared();
// Unmaps the views and closes what AttachShared opened.
void DetachShared(SharedAttachment& attachment);

// Adds `delta` to counter `index` in one atomic step; returns the value held before.
uint32_t CounterAdd(void* counters, unsigned index, int32_t delta);
// The open lock, recursive for its owning thread; a lock whose owner died is taken over.
bool LockShared(void* lock, uint32_t timeoutMs);
void UnlockShared(void* lock);

}  // namespace zpx::platform::os
