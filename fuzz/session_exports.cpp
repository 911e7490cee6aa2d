#include "session_exports.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace zpx::fuzz {
namespace {

// The longest memory block or image a call moves: past the 131072-byte pieces of the USB driver,
// so a block takes more than one piece on every back-end.
constexpr uint32_t kMaxBlock = 0x3FFFF;
constexpr uint32_t kMaxImage = 0xFFF;

int32_t Signed(uint32_t v) {
    return static_cast<int32_t>(v);
}

// The caller's view of the session: its own DeviceInfo, the one the library created for it (or
// null), and one the library already released.
struct Caller {
    ZPX_Handle h;
    ZPX_DeviceInfo own{};
    ZPX_DeviceInfo* created = nullptr;
    ZPX_DeviceInfo* released = nullptr;

    // A DeviceInfo argument: the caller's, the library's when there is one, or null.
    ZPX_DeviceInfo* Info(uint32_t choice) {
        switch (choice & 3) {
            case 0:
                return nullptr;
            case 1:
                return created != nullptr ? created : &own;
            default:
                return &own;
        }
    }
};

// Reads every field of a DeviceInfo the library created, so that a record shorter than its
// layout shows.
void Touch(const ZPX_DeviceInfo* info) {
    if (info == nullptr) return;
    volatile int32_t sink = 0;
    sink = sink + info->ControllerKind + info->PodKind + info->MaxFrequencyKhz +
           info->MinFrequencyKhz + info->MaxOutputVoltage + info->MinOutputVoltage +
           info->MaxThresholdVoltage + info->MinThresholdVoltage;
    for (int32_t t : info->TapState)
        sink = sink + t;
    for (uint32_t m : info->MemorySize)
        sink = sink + static_cast<int32_t>(m);
}

// Walks the session's information record as a caller would: every block as far as the TAP count
// says it reaches, plus its closing entry.
void WalkRecord(const ZPX_ControllerInfoRecord* r) {
    ZPX_FUZZ_CHECK(r->TapCount == 0 || r->TapCount == 4, "TapCount " + std::to_string(r->TapCount));
    ZPX_FUZZ_CHECK(r->Reserved0 == 0 && r->Reserved1 == nullptr, "reserved fields");
    volatile int32_t sink = 0;
    for (const int32_t* block : {r->TapStates, r->MinOutputVoltage, r->MaxOutputVoltage}) {
        if (block == nullptr) continue;
        for (uint32_t i = 0; i <= r->TapCount; ++i)
            sink = sink + block[i];
    }
}

void MemoryWrite(Caller& c, uint32_t a, uint32_t b) {
    const uint32_t length = a & kMaxBlock;
    const uint32_t memory = (a >> 18) & 7;  // 6 and 7 are no memory
    std::vector<uint8_t> data(length);
    for (uint32_t i = 0; i < length; ++i)
        data[i] = static_cast<uint8_t>(i * 7 + b);
    switch ((a >> 21) & 3) {
        case 0:
            ZPX_WriteCtrlMemory(c.h, memory, b, length, data.data());
            break;
        case 1:
            ZPX_WriteCtrlMemoryNa(c.h, memory, length, data.data());
            break;
        case 2:
            ZPX_WriteMemory(c.h, a >> 23, memory, b, length, data.data());
            break;
        default:
            ZPX_WriteMemoryEx(c.h, a >> 23, memory, length, data.data());
            break;
    }
}

void MemoryRead(Caller& c, uint32_t a, uint32_t b) {
    const uint32_t length = a & kMaxBlock;
    const uint32_t memory = (a >> 18) & 7;
    // Exactly the bytes asked for, on the heap, so that one byte more is a reported overflow.
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[length == 0 ? 1 : length]);
    switch ((a >> 21) & 3) {
        case 0:
            ZPX_ReadCtrlMemory(c.h, memory, b, length, buffer.get());
            break;
        case 1:
            ZPX_ReadCtrlMemoryNa(c.h, memory, length, buffer.get());
            break;
        case 2:
            ZPX_ReadMemory(c.h, a >> 23, memory, b, length, buffer.get());
            break;
        default:
            ZPX_ReadMemoryEx(c.h, a >> 23, memory, length, buffer.get());
            break;
    }
}

void Call(Caller& c, uint8_t which, uint32_t a, uint32_t b) {
    ZPX_Handle h = c.h;
    uint32_t u = 0, v = 0, w = 0;
    int32_t i = 0, j = 0;
    switch (which % 44) {
        case 0:
            ZPX_GetControllerType(h, &u);
            ZPX_GetInterfaceType(h, &u, &v, &w);
            ZPX_BufferingUseful(h, &u);
            ZPX_LibraryVersionEx(h, &u);
            break;
        case 1:
            ZPX_StartController(h);
            break;
        case 2:
            ZPX_BootController(h, a);
            break;
        case 3:
            ZPX_StopController(h);
            break;
        case 4:
            ZPX_GetControllerStatus(h, &u);
            break;
        case 5:
            ZPX_SetRunMode(h, a);
            ZPX_SetRepeaterMode(h, b);
            ZPX_SetImmMode(h, a >> 8);
            ZPX_SetVPPMode(h, b >> 8);
            break;
        case 6:
            ZPX_ClearError(h, a);
            ZPX_GetError(h, &u);
            break;
        case 7:
            ZPX_SetTapEnable(h, a);
            ZPX_GetTapEnable(h, &u);
            break;
        case 8:
            ZPX_SetLearnMode(h, a);
            ZPX_GetLearnMode(h, &u);
            ZPX_GetButton(h, &v);
            break;
        case 9:
            ZPX_SetCntCounter(h);
            ZPX_SetContModeCounter(h, a);
            ZPX_GetContModeCounter(h, &u);
            break;
        case 10:
            MemoryWrite(c, a, b);
            break;
        case 11:
            MemoryRead(c, a, b);
            break;
        case 12:
            if (b & 1)
                ZPX_WriteCtrlCounter(h, a & 7, b);
            else
                ZPX_WriteCounter(h, b >> 1, a & 7, b);
            break;
        case 13:
            if (b & 1)
                ZPX_ReadCtrlCounter(h, a & 7, &u);
            else
                ZPX_ReadCounter(h, b >> 1, a & 7, &u);
            break;
        case 14:
            ZPX_GetMemorySize(h, Signed(a), &u);
            break;
        case 15:
            ZPX_GetControllerEPLD(h, &u);
            ZPX_GetControllerFlash(h, &v);
            ZPX_GetCntrWaitTime(h, &w);
            break;
        case 16:
            ZPX_GetControllerSerialNumber(h, &u, &v);
            break;
        case 17:
            ZPX_GetTransceiverSerialNumber(h, &u, &v);
            break;
        case 18:
            ZPX_GetPodSerialNumber(h, a & 7, &u, &v);  // 4 to 7 are no pod
            break;
        case 19:
            ZPX_BoardValid(h, a, &u);
            break;
        case 20:
            ZPX_GetFrequencyRange(h, &u, &v);
            ZPX_GetCurrentFrequency(h, &w);
            break;
        case 21:
            if (a & 2)
                ZPX_SetCtrlFrequency(h, a & 1, Signed(b));
            else
                ZPX_CheckCtrlFrequency(h, a & 1, Signed(b));
            break;
        case 22:
            if (a & 4)
                ZPX_SetFrequency(h, c.Info(a >> 8), a & 1, Signed(b));
            else
                ZPX_CheckFrequency(h, c.Info(a >> 8), a & 1, Signed(b));
            break;
        case 23:
            switch (a & 3) {
                case 0:
                    ZPX_SetIpAddress(h, b);
                    break;
                case 1:
                    ZPX_SetMACAddress(h, a, b);
                    break;
                default:
                    ZPX_SetDHCP(h, b);
                    break;
            }
            break;
        case 24:
            ZPX_GetIpAddress(h, &u);
            ZPX_GetMACAddress(h, &u, &v);
            ZPX_GetDHCP(h, &w);
            ZPX_GetFPGAVersion(h, &u);
            ZPX_GetFirmwareVersion(h, &v);
            break;
        case 25: {
            const uint32_t length = a & kMaxImage;
            std::unique_ptr<uint8_t[]> image(new uint8_t[length == 0 ? 1 : length]);
            for (uint32_t k = 0; k < length; ++k)
                image[k] = static_cast<uint8_t>(b + k);
            const uint8_t first = static_cast<uint8_t>(b), second = static_cast<uint8_t>(b >> 8);
            if (a & 0x1000)
                ZPX_UpdateFirmware(h, length, b, first, second, image.get());
            else
                ZPX_UpdateFPGA(h, length, b, first, second, image.get());
            break;
        }
        case 26:
            ZPX_SetPodPowerOn(h);
            break;
        case 27:
            ZPX_PodPowered(h, &u);
            if (a & 1) ZPX_SetPodPowerOff(h);
            break;
        case 28:
            ZPX_ActivatePod(h, a);
            ZPX_PodActivated(h, &u);
            if (b & 1) ZPX_DeActivatePod(h);
            break;
        case 29:
            if (a & 1)
                ZPX_EnablePod(h, c.Info(b), a >> 1);
            else
                ZPX_DisablePod(h, c.Info(b));
            break;
        case 30:
            switch (a % 3) {
                case 0:
                    ZPX_ResetSystem(h);
                    break;
                case 1:
                    ZPX_ResetController(h);
                    break;
                default:
                    ZPX_SwitchOffBoard(h);
                    break;
            }
            break;
        case 31:
            ZPX_SetPodExtenderMode(h, a);
            ZPX_GetPodExtenderMode(h, &u);
            break;
        case 32:
            if (a & 0x80000000u)
                ZPX_AddNewTapInfoMillivolt(h, a & 7, Signed(b), Signed(a << 8) >> 8);
            else
                ZPX_AddNewTapInfo(h, a & 7, Signed(b),
                                  (a & 8) ? ZPX_DEFAULT_THRESHOLD : Signed(a << 8) >> 12);
            break;
        case 33:
            ZPX_GetTapInfo(h, Signed(a), &u, &v);
            ZPX_SetTapVoltageEx(h);
            ZPX_GetTapVoltageEx(h, b & 7, &u, &v);
            break;
        case 34: {
            ZPX_TapVoltageRequest request{};
            request.TapMask = a;
            for (int k = 0; k < 4; ++k) {
                request.Output[k] = static_cast<int8_t>(b >> (8 * k));
                request.Threshold[k] = static_cast<int8_t>(a >> (8 * k));
            }
            if (b & 0x100)
                ZPX_SetTapVoltage(h, c.Info(a >> 4), (a & 0x4000) ? nullptr : &request);
            else
                ZPX_GetTapVoltage(h, c.Info(a >> 4), b & 7, &u, &v);
            break;
        }
        case 35:
            ZPX_SetTapIoPins(h, a & 7, b & 0xFFFF, b >> 16);
            ZPX_GetTapIoPins(h, (a >> 3) & 7, &u, &v);
            ZPX_RWTapIoPins(h, Signed(a) >> 6, a >> 8, b, b >> 4, &w);
            break;
        case 36:
            if (a & 1)
                ZPX_SetIoPins(h, c.Info(a >> 1), a >> 3, b & 0xFFFF, b >> 16);
            else
                ZPX_GetIoPins(h, c.Info(a >> 1), a >> 3, &u, &v);
            break;
        case 37:
            ZPX_EnableTapParallelMode(h, a & 7);
            ZPX_WriteTapParallelMode(h, b, &u);
            ZPX_DisableTapParallelMode(h, (a >> 3) & 7);
            break;
        case 38:
            switch (a & 3) {
                case 0:
                    if (c.created != nullptr) {
                        ZPX_DestroyDeviceInfo(h, c.created);
                        c.released = c.created;
                    }
                    c.created = ZPX_CreateDeviceInfo(h, (b & 1) ? &u : nullptr);
                    if (c.created == c.released) c.released = nullptr;  // the address came back
                    Touch(c.created);
                    break;
                case 1:
                    ZPX_ExtractDeviceInfo(h, (b & 1) && c.created ? c.created : &c.own);
                    Touch(c.created);
                    break;
                case 2:
                    // Neither a record of the caller nor one already released is the library's.
                    ZPX_DestroyDeviceInfo(h, (b & 1) && c.released ? c.released : &c.own);
                    break;
                default:
                    if (c.created != nullptr) {
                        ZPX_DestroyDeviceInfo(h, c.created);
                        c.released = c.created;
                        c.created = nullptr;
                    }
                    break;
            }
            break;
        case 39: {
            ZPX_ControllerInfoRecord* record = nullptr;
            if (ZPX_GetControllerInfo(h, &record) == ZPX_STATUS_OK) {
                ZPX_FUZZ_CHECK(record != nullptr, "GetControllerInfo answered 0 with no record");
                WalkRecord(record);
            }
            break;
        }
        case 40: {
            auto query = std::make_unique<ZPX_InfoQuery>();
            std::memset(query.get(), 0xA5, sizeof *query);
            query->RequestMask = a;
            if (b & 1)
                ZPX_ControllerInfoNew(h, query.get());
            else
                ZPX_ControllerInfo(h, c.created != nullptr && (b & 2) ? c.created : &c.own,
                                   query.get());
            break;
        }
        case 41:
            ZPX_GetPodType(h, &i);
            ZPX_GetTapType(h, Signed(a), &j);
            ZPX_GetOutputVoltRange(h, Signed(b), &i, &j);
            ZPX_GetThresholdVoltRange(h, Signed(b >> 3), &i, &j);
            break;
        case 42:
            // The caller fills its own record with whatever it likes.
            c.own.ControllerKind = static_cast<int8_t>(a);
            c.own.PodKind = static_cast<int8_t>(a >> 8);
            for (int k = 0; k < 4; ++k)
                c.own.TapState[k] = static_cast<int8_t>(b >> (8 * k));
            c.own.MaxFrequencyKhz = Signed(a >> 16) * 1000;
            c.own.MinFrequencyKhz = static_cast<int8_t>(a >> 16);
            c.own.MaxOutputVoltage = static_cast<int8_t>(b);
            c.own.MinOutputVoltage = static_cast<int8_t>(b >> 8);
            c.own.MaxThresholdVoltage = static_cast<int8_t>(b >> 16);
            c.own.MinThresholdVoltage = static_cast<int8_t>(b >> 24);
            for (int k = 0; k < 6; ++k)
                c.own.MemorySize[k] = a * static_cast<uint32_t>(k + 1);
            break;
        default:
            ZPX_GetPodExtenderMode(h, &u);
            ZPX_GetTapVoltageEx(h, a, &u, &v);
            break;
    }
}

}  // namespace

void RunExports(ZPX_Handle handle, ByteReader& calls) {
    Caller caller{handle};
    while (!calls.empty()) {
        const uint8_t which = calls.Byte();
        const uint32_t a = calls.U32();
        const uint32_t b = calls.U32();
        Call(caller, which, a, b);
    }
    if (caller.created != nullptr) ZPX_DestroyDeviceInfo(handle, caller.created);
}

bool OpenRunClose(const char* name, const uint8_t* calls, size_t callBytes) {
    uint32_t status = 0;
    ZPX_Handle h = ZPX_OpenController(name, &status);
    if (h == nullptr) return false;
    ByteReader callReader(calls, callBytes);
    RunExports(h, callReader);
    ZPX_CloseController(h);
    return true;
}

}  // namespace zpx::fuzz
