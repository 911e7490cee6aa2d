// The table of back-ends: one row per way a controller of a family is reached. A row says which
// name prefix picks it, how the rest of the name opens it (an open function in the back-end's own
// file), and what the logic above needs to know about it; the logic asks the row instead of
// deciding by the interface kind. Adding a back-end is adding its file and its row.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "transport/backend.h"
#include "transport/open_slot.h"

namespace zpx::transport {

// How opening settles the controller type and what is known of the driver.
enum class Identification : uint8_t {
    k5120Board,  // the board serves the 5120 family through an older driver; nothing is asked
    k51x4Path,   // a 51x4-family controller (the model from register 3), a current driver
    kAskDriver,  // the driver's identification decides
};

// Why a back-end did not open.
enum class OpenFailure : uint8_t {
    kFailed,         // no such back-end, the driver library unusable, the connection refused
    kBadName,        // the text behind the prefix is malformed
    kNoRoom,         // no room for another session: the handle table is full
    kCannotOpen,     // the device did not open, or its single-open slot was taken
    kLegacyIndex,    // a device index the oldest system generation's drivers do not have
    kNoUsb,          // the running system has no USB support
    kOsUnsupported,  // the running system cannot run the indexed drivers of this bus
    kDeviceBusy,     // another client holds the device
};

// What opening a kernel-driver row needs: its device paths and the system generations it runs on.
struct DriverPaths {
    // The single-open path of the oldest system generation and its slot; null: none (FireWire).
    const char* legacyPath;
    OpenCounter counter;
    const char* indexedPath;     // printf pattern with the device index
    const char* indexZeroPath;   // the path of index 0 where it differs (ISA), or null
    const char* indexZeroName;   // the name a session of index 0 then goes by, or null
    const char* unnumberedName;  // the name a session opened without an index goes by, or null
    bool needsUsbSupport;        // the running system must support USB
    bool needsIndexedDrivers;    // outside the oldest generation, the system must run its drivers
    bool legacyBusyIsBusy;       // a legacy device held by another client says so (else: not open)
};

// What an open gives the session.
struct OpenedBackEnd {
    std::unique_ptr<Backend> backend;
    int32_t deviceIndex = -1;
    // The name the session goes by instead of the caller's, or null (an unnumbered board of the
    // 5120 family takes the name of its index 0).
    const char* name = nullptr;
};

struct BackEndRow {
    std::string_view prefix;
    ControllerFamily family;
    InterfaceKind kind;
    uint32_t chunkSize;
    Identification identification;
    // The 5120 family's boards that cannot tell their pod's kind through register 3: pod
    // identification learns it from the TAPs that answer (the ISA and VXI boards).
    bool podKindFromTaps;
    // The device-information record learns the pod kind from the TAPs too (the ISA board).
    bool recordPodKindFromTaps;
    const DriverPaths* driver;  // null for the back-ends without a kernel driver
    // Opens from the name's text behind the prefix; false with *failure set when it cannot.
    bool (*open)(const BackEndRow& row, std::string_view rest, OpenedBackEnd* opened,
                 OpenFailure* failure);
};

// The row whose prefix starts `working` (letter case ignored) among the rows of `family`; the
// prefix length in *prefixLength. Null when no prefix of the family matches.
const BackEndRow* FindBackEnd(std::string_view working, ControllerFamily family,
                              size_t* prefixLength);

}  // namespace zpx::transport
