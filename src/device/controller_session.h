// The per-controller session record behind a ZPX_Handle.
//
// Fields carry the names the controller documentation gives them, in its order. Everything the
// session owns is held by an RAII type, so that every failure path of opening releases it;
// closing still performs its steps in the documented order (close.cpp), because that order is
// observable on the wire and in the status file.
//
// The record is the vocabulary the logic floors share. What belongs to the way the controller is
// reached (chunkSize, legacyDriver, the transfer buffer, the VXI board's clock bytes) lives in
// the back-end, which answers for it. The record holds no logic.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "transport/backend.h"
#include "transport/backend_table.h"
#include "zpx/zpx.h"

namespace zpx {

// Controller types 1 to 3 are the models of the 51x4 family.
constexpr bool Is51x4Model(int32_t controllerType) {
    return controllerType >= 1 && controllerType <= 3;
}

inline constexpr size_t kNameCapacity = 256;    // whole name, NUL included
inline constexpr size_t kWorkingNameMax = 127;  // characters in front of the family suffix
inline constexpr int kSettleSlots = 6;

// One node of the TAP information list: the voltages asked for one TAP, in tenths of a volt.
struct TapInfo {
    uint32_t tap = 0;  // TAP index 0 to 3
    int32_t output = 0;
    int32_t threshold = 0;
    std::unique_ptr<TapInfo> next;
};

// The information record handed to callers, with the blocks it points to: a value per TAP, then
// a closing 0. The blocks live beside the record, so refreshing it allocates nothing.
struct ControllerInfoHolder {
    static constexpr size_t kBlockEntries = 5;
    ZPX_ControllerInfoRecord record{};
    int32_t tapStates[kBlockEntries] = {};
    int32_t minOutput[kBlockEntries] = {};
    int32_t maxOutput[kBlockEntries] = {};
};

struct ControllerSession {
    ControllerSession() = default;
    ControllerSession(const ControllerSession&) = delete;
    ControllerSession& operator=(const ControllerSession&) = delete;

    char name[kNameCapacity] = {};
    std::unique_ptr<uint8_t[]> tapTypes;
    int32_t deviceIndex = -1;
    int32_t auxIndex = -1;
    int32_t controllerType = -1;
    int32_t podType = -2;
    uint32_t tapCount = 0;
    int32_t interfaceKind = -1;
    uint32_t family = kFamily51x4;
    uint32_t controlCopy = 0;
    uint32_t register1Copy = 0;
    uint32_t register2Copy = 0;
    uint32_t register3Copy = 0;
    uint32_t extStatus = 0;
    uint32_t lastStatus = 0;
    uint32_t lastError = 0;
    uint32_t lastRegister2 = 0;
    int32_t tckKhz = 1;
    int32_t extenderMode = -1;
    std::atomic<int32_t> inUse{-1};
    uint8_t hwRevision = 0;
    uint8_t flashCode = 0;
    uint16_t alarmIds[kSettleSlots] = {};
    std::unique_ptr<ControllerInfoHolder> controllerInfo;
    // The opened back-end: it owns the driver device handle, or the socket with the peer
    // address, or the VXI driver table, with the chunk size, the legacy flag and the staging
    // buffer of its path.
    std::unique_ptr<transport::Backend> backend;
    // The row of the back-end table the session was opened through: what the logic needs to
    // know of its way to the controller.
    const transport::BackEndRow* backEndRow = nullptr;
    std::unique_ptr<TapInfo> tapInfoList;
};

}  // namespace zpx
