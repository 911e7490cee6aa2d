// The status codes the exports answer with. Only the exports hand them out: everything below
// them fails with a Result or an Outcome, and each export maps those to its codes here.
#pragma once

#include <cstdint>

#include "core/result.h"
#include "transport/backend_table.h"
#include "zpx/zpx.h"

namespace zpx {

enum class [[nodiscard]] Status : uint32_t{
    kOk = ZPX_STATUS_OK,
    kFailed = ZPX_STATUS_FAILED,
    kNullHandle = ZPX_STATUS_NULL_HANDLE,
    kBusy = ZPX_STATUS_BUSY,
    kInvalid = ZPX_STATUS_INVALID,
    kNotAvailable = ZPX_STATUS_NOT_AVAILABLE,
    kCannotOpen = ZPX_STATUS_CANNOT_OPEN,
    kOutOfRange = ZPX_STATUS_OUT_OF_RANGE,
    kLegacyIndex = ZPX_STATUS_LEGACY_INDEX,
    kNoUsb = ZPX_STATUS_NO_USB,
    kOsUnsupported = ZPX_STATUS_OS_UNSUPPORTED,
    kDeviceBusy = ZPX_STATUS_DEVICE_BUSY,
};

constexpr uint32_t Code(Status status) {
    return static_cast<uint32_t>(status);
}

// A value an export answers with in place of a status: the library version, or a controller's
// own verdict on an image, which is passed on unchanged.
constexpr Status Answer(uint32_t value) {
    return static_cast<Status>(value);
}

// A plain result: ok, or the export's own code for a failure.
constexpr Status StatusOf(Result result, Status failure) {
    return result.ok() ? Status::kOk : failure;
}

// An outcome: ok, or the code of its reason.
constexpr Status StatusOf(Outcome outcome) {
    constexpr Status kOfReason[] = {Status::kFailed, Status::kInvalid, Status::kNotAvailable,
                                    Status::kOutOfRange};
    return outcome.ok() ? Status::kOk : kOfReason[static_cast<size_t>(outcome.reason())];
}
static_assert(StatusOf(Outcome(Reason::kOutOfRange)) == Status::kOutOfRange);

// Why an open failed, as ZPX_OpenController reports it.
constexpr Status StatusOf(transport::OpenFailure failure) {
    constexpr Status kOfFailure[] = {
        Status::kFailed,      Status::kInvalid, Status::kNotAvailable,  Status::kCannotOpen,
        Status::kLegacyIndex, Status::kNoUsb,   Status::kOsUnsupported, Status::kDeviceBusy};
    return kOfFailure[static_cast<size_t>(failure)];
}
static_assert(StatusOf(transport::OpenFailure::kDeviceBusy) == Status::kDeviceBusy);

}  // namespace zpx
