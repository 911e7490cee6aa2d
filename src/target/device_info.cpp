#include "target/device_info.h"

#include <memory>
#include <mutex>
#include <set>

#include "core/immortal.h"
#include "device/access.h"
#include "device/controller_session.h"
#include "device/identity.h"
#include "target/pod.h"
#include "target/pod_link.h"
#include "target/tap_voltages.h"

namespace zpx::target {

using transport::kSelectRegister;

namespace {

constexpr uint32_t kMemoryKinds = 6;
constexpr int32_t kStatePresent = 0;
constexpr int32_t kStateAbsent = -1;
constexpr int32_t kStateFixed = 4;

// The records this library handed out and has not taken back, so that a record given back twice,
// or one it never made, is refused instead of freed. Never destroyed: a record may be given back
// from another static object's destructor at exit. A tree, not a hash set: once every record is
// back it holds no memory, so a library unloaded after its records were freed leaves nothing.
class LiveRecords {
  public:
    void Add(const ZPX_DeviceInfo* record) {
        std::lock_guard lock(mutex_);
        records_.insert(record);
    }
    bool Remove(const ZPX_DeviceInfo* record) {
        std::lock_guard lock(mutex_);
        return records_.erase(record) != 0;
    }

  private:
    std::mutex mutex_;
    std::set<const ZPX_DeviceInfo*> records_;
};

LiveRecords& Live() {
    static Immortal<LiveRecords> records;
    return records.get();
}

// The pod kind bits of register 3; a code of 2 tells nothing and leaves the kind as it is.
void DecodePodKind(uint32_t value, ZPX_DeviceInfo& info) {
    switch (value & 3) {
        case 0:
            info.PodKind = 0;
            break;
        case 1:
            info.PodKind = 1;
            break;
        case 3:
            info.PodKind = -1;
            break;
        default:
            break;
    }
}

// The controller part: kind, memory sizes, clock range.
Result FillController(ControllerSession& s, ZPX_DeviceInfo& info) {
    // The driver's identification, asked again, refreshes what the session knows of its driver;
    // without an answer (no driver answers on the VXI and Ethernet paths) the controller counts
    // as one of the 5120 family.
    const device::DriverIdentity identity = device::AskDriverIdentity(s);
    info.ControllerKind = identity.controllerType;
    s.backend->SetLegacyDriver(identity.legacyDriver);
    if (info.ControllerKind == 1) {
        uint32_t value = 0;
        if (device::ReadIdentityByte(s, &value).failed()) return kFail;
        info.ControllerKind = device::ModelFromIdentityByte(value);
    }
    for (uint32_t kind = 0; kind < kMemoryKinds; ++kind) {
        if (device::LookupMemorySize(s, static_cast<int32_t>(kind), &info.MemorySize[kind])
                .failed()) {
            return kFail;
        }
    }
    const device::FrequencyLimits limits = device::FrequencyLimitsOf(info.ControllerKind);
    info.MaxFrequencyKhz = limits.maximumKhz;
    info.MinFrequencyKhz = limits.minimumKhz;
    return kOk;
}

void SetVoltageRanges(ZPX_DeviceInfo& info) {
    VoltageRange range{-1, -1, -1, -1};
    if (info.PodKind == 0) range = VoltageRangeOf(kTapFixed);
    if (info.PodKind == 1) range = VoltageRangeOf(0);
    info.MaxOutputVoltage = range.maxOutput;
    info.MinOutputVoltage = range.minOutput;
    info.MaxThresholdVoltage = range.maxThreshold;
    info.MinThresholdVoltage = range.minThreshold;
}

}  // namespace

Result CreateDeviceInfo(ControllerSession& s, ZPX_DeviceInfo** record) {
    auto info = std::make_unique<ZPX_DeviceInfo>();
    info->ControllerKind = -1;
    info->PodKind = -1;
    for (int32_t& state : info->TapState)
        state = kStateAbsent;
    // The pod part is filled by ExtractDeviceInfo; until then its ranges are unknown.
    SetVoltageRanges(*info);
    if (FillController(s, *info).failed()) return kFail;
    Live().Add(info.get());
    *record = info.release();
    return kOk;
}

Result ExtractDeviceInfo(ControllerSession& s, ZPX_DeviceInfo& info) {
    if (DetectPodKind(s, info).failed()) return kFail;
    FillTapStates(s, info);
    SetVoltageRanges(info);
    return kOk;
}

Result DestroyDeviceInfo(ZPX_DeviceInfo* info) {
    if (info == nullptr) return kOk;
    if (!Live().Remove(info)) return kFail;
    delete info;
    return kOk;
}

Result DetectPodKind(ControllerSession& s, ZPX_DeviceInfo& info) {
    uint32_t value = 0;
    if (Is51x4Model(info.ControllerKind)) {
        if (device::ReadIdentityByte(s, &value).failed()) return kFail;
        DecodePodKind(value, info);
        return kOk;
    }
    if (info.ControllerKind == 0) {
        uint32_t sense = 0;
        if (device::QueryPodSense(s, &sense).failed()) return kFail;
        if (sense == 0) {
            info.PodKind = 0;
            return kOk;
        }
        // A board that cannot tell its pod kind through register 3 learns it from the TAPs.
        if (s.backEndRow->recordPodKindFromTaps) return kOk;
        if (device::ReadRegister(s, kSelectRegister, &value).failed()) return kFail;
        DecodePodKind(value, info);
    }
    return kOk;
}

void FillTapStates(ControllerSession& s, ZPX_DeviceInfo& info) {
    if (info.PodKind == 0) {
        for (int32_t& state : info.TapState)
            state = kStateFixed;
        return;
    }
    const bool fromTaps = s.backEndRow->recordPodKindFromTaps;
    if (info.PodKind != 1 && !fromTaps) return;
    bool anyPresent = false;
    for (uint32_t i = 0; i < kTapCount; ++i) {
        TapPins pins{};
        const bool present = ReadTapIoPins(s, i, &pins).ok() && pins.identity == 0;
        info.TapState[i] = present ? kStatePresent : kStateAbsent;
        anyPresent = anyPresent || present;
    }
    // Such a board learns its pod kind from the TAPs that answer.
    if (fromTaps && anyPresent) info.PodKind = 1;
}

}  // namespace zpx::target
