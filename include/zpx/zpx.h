/*
 * zpx: device-interface library for boundary-scan test controllers.
 *
 * Flat C interface. Every export that works on a controller takes the handle returned by
 * ZPX_OpenController first and returns a status code (ZPX_STATUS_...); results travel through
 * pointer arguments. The header compiles as C (C99 or later) and as C++.
 */
#ifndef ZPX_ZPX_H
#define ZPX_ZPX_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define ZPX_API __declspec(dllexport)
#else
#define ZPX_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#define ZPX_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
extern "C" {
#else
#define ZPX_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* Opaque handle of an opened controller. */
typedef struct ZPX_Controller* ZPX_Handle;

/* Status codes returned by the exports. */
#define ZPX_STATUS_OK 0u             /* success */
#define ZPX_STATUS_FAILED 1u         /* the operation failed */
#define ZPX_STATUS_NULL_HANDLE 2u    /* null handle (or a checked output pointer is null) */
#define ZPX_STATUS_BUSY 3u           /* another call on the same handle is running */
#define ZPX_STATUS_INVALID 10u       /* invalid argument, or the request to the controller failed */
#define ZPX_STATUS_NOT_AVAILABLE 11u /* out of memory, or not available for this controller */
#define ZPX_STATUS_CANNOT_OPEN 12u   /* device cannot be opened or identified */
#define ZPX_STATUS_LEGACY_INDEX 13u  /* the single-open legacy device path takes index 0 only */
#define ZPX_STATUS_NO_USB 14u        /* the operating system has no USB support */
#define ZPX_STATUS_OS_UNSUPPORTED 15u /* the operating system is not supported */
#define ZPX_STATUS_DEVICE_BUSY 16u    /* another client holds the device */

/* Interface kinds reported by ZPX_GetInterfaceType. */
#define ZPX_INTERFACE_ISA 0u
#define ZPX_INTERFACE_PCI 1u
#define ZPX_INTERFACE_USB 2u
#define ZPX_INTERFACE_VXI 3u
#define ZPX_INTERFACE_ETHERNET 4u
#define ZPX_INTERFACE_FIREWIRE 5u

/* Number that ZPX_LibraryVersion reports: 2066 reads as version 2.0.6.6. */
#define ZPX_LIBRARY_VERSION 2066u

/*
 * Description of a controller and its pod, allocated by the library and owned by the caller.
 * 72 bytes, every field 32-bit little-endian; the layout is part of the interface.
 */
typedef struct ZPX_DeviceInfo {
    int32_t ControllerKind;      /* -1 unknown, 0 the 5120 family, 1..3 the 51x4 models */
    int32_t PodKind;             /* -1 unknown, 0 fixed-TAP pod, 1 pod with identified TAPs */
    int32_t TapState[4];         /* per TAP: 0 present, -1 absent, 4 fixed TAP */
    uint32_t MemorySize[6];      /* bytes of controller memories 0..5 */
    int32_t MaxFrequencyKhz;     /* 25000 (5120 family), 40000 (51x4), -1 unknown */
    int32_t MinFrequencyKhz;     /* 100 (5120 family), 1 (51x4), -1 unknown */
    int32_t MaxOutputVoltage;    /* tenths of a volt */
    int32_t MinOutputVoltage;    /* tenths of a volt */
    int32_t MaxThresholdVoltage; /* tenths of a volt */
    int32_t MinThresholdVoltage; /* tenths of a volt */
} ZPX_DeviceInfo;

ZPX_STATIC_ASSERT(sizeof(ZPX_DeviceInfo) == 72, "ZPX_DeviceInfo is 72 bytes");
ZPX_STATIC_ASSERT(offsetof(ZPX_DeviceInfo, PodKind) == 4, "PodKind at 4");
ZPX_STATIC_ASSERT(offsetof(ZPX_DeviceInfo, TapState) == 8, "TapState at 8");
ZPX_STATIC_ASSERT(offsetof(ZPX_DeviceInfo, MemorySize) == 24, "MemorySize at 24");
ZPX_STATIC_ASSERT(offsetof(ZPX_DeviceInfo, MaxFrequencyKhz) == 48, "MaxFrequencyKhz at 48");
ZPX_STATIC_ASSERT(offsetof(ZPX_DeviceInfo, MinFrequencyKhz) == 52, "MinFrequencyKhz at 52");
ZPX_STATIC_ASSERT(offsetof(ZPX_DeviceInfo, MaxOutputVoltage) == 56, "MaxOutputVoltage at 56");
ZPX_STATIC_ASSERT(offsetof(ZPX_DeviceInfo, MinOutputVoltage) == 60, "MinOutputVoltage at 60");
ZPX_STATIC_ASSERT(offsetof(ZPX_DeviceInfo, MaxThresholdVoltage) == 64, "MaxThresholdVoltage at 64");
ZPX_STATIC_ASSERT(offsetof(ZPX_DeviceInfo, MinThresholdVoltage) == 68, "MinThresholdVoltage at 68");

/* ---- Library version and session queries ---- */
ZPX_API uint32_t ZPX_LibraryVersion(ZPX_Handle handle);
ZPX_API uint32_t ZPX_LibraryVersionEx(ZPX_Handle handle, uint32_t* version);
ZPX_API uint32_t ZPX_GetControllerType(ZPX_Handle handle, uint32_t* type);
ZPX_API uint32_t ZPX_GetInterfaceType(ZPX_Handle handle, uint32_t* kind, uint32_t* index,
                                      uint32_t* aux);
ZPX_API uint32_t ZPX_BufferingUseful(ZPX_Handle handle, uint32_t* useful);

/* ---- Opening and closing ---- */
ZPX_API ZPX_Handle ZPX_OpenController(const char* name, uint32_t* status);
ZPX_API uint32_t ZPX_CloseController(ZPX_Handle handle);

/* ---- Run control and status ---- */
ZPX_API uint32_t ZPX_StartController(ZPX_Handle handle);
ZPX_API uint32_t ZPX_BootController(ZPX_Handle handle, uint32_t image);
ZPX_API uint32_t ZPX_StopController(ZPX_Handle handle);
ZPX_API uint32_t ZPX_GetControllerStatus(ZPX_Handle handle, uint32_t* running);
ZPX_API uint32_t ZPX_SetRunMode(ZPX_Handle handle, uint32_t mode);
ZPX_API uint32_t ZPX_SetRepeaterMode(ZPX_Handle handle, uint32_t mode);
ZPX_API uint32_t ZPX_SetImmMode(ZPX_Handle handle, uint32_t mode);
ZPX_API uint32_t ZPX_ClearError(ZPX_Handle handle, uint32_t mask);
ZPX_API uint32_t ZPX_GetError(ZPX_Handle handle, uint32_t* error);
ZPX_API uint32_t ZPX_SetVPPMode(ZPX_Handle handle, uint32_t mode);
ZPX_API uint32_t ZPX_SetTapEnable(ZPX_Handle handle, uint32_t mask);
ZPX_API uint32_t ZPX_GetTapEnable(ZPX_Handle handle, uint32_t* mask);
ZPX_API uint32_t ZPX_SetLearnMode(ZPX_Handle handle, uint32_t on);
ZPX_API uint32_t ZPX_GetLearnMode(ZPX_Handle handle, uint32_t* on);
ZPX_API uint32_t ZPX_GetButton(ZPX_Handle handle, uint32_t* pressed);
ZPX_API uint32_t ZPX_SetCntCounter(ZPX_Handle handle);
ZPX_API uint32_t ZPX_SetContModeCounter(ZPX_Handle handle, uint32_t count);
ZPX_API uint32_t ZPX_GetContModeCounter(ZPX_Handle handle, uint32_t* count);

/* ---- Memory transfer ---- */
ZPX_API uint32_t ZPX_WriteCtrlMemory(ZPX_Handle handle, uint32_t memory, uint32_t address,
                                     uint32_t length, const uint8_t* data);
ZPX_API uint32_t ZPX_WriteCtrlMemoryNa(ZPX_Handle handle, uint32_t memory, uint32_t length,
                                       const uint8_t* data);
ZPX_API uint32_t ZPX_ReadCtrlMemory(ZPX_Handle handle, uint32_t memory, uint32_t address,
                                    uint32_t length, uint8_t* buffer);
ZPX_API uint32_t ZPX_ReadCtrlMemoryNa(ZPX_Handle handle, uint32_t memory, uint32_t length,
                                      uint8_t* buffer);
ZPX_API uint32_t ZPX_WriteMemory(ZPX_Handle handle, uint32_t ignored, uint32_t memory,
                                 uint32_t address, uint32_t length, const uint8_t* data);
ZPX_API uint32_t ZPX_ReadMemory(ZPX_Handle handle, uint32_t ignored, uint32_t memory,
                                uint32_t address, uint32_t length, uint8_t* buffer);
ZPX_API uint32_t ZPX_WriteMemoryEx(ZPX_Handle handle, uint32_t ignored, uint32_t memory,
                                   uint32_t length, const uint8_t* data);
ZPX_API uint32_t ZPX_ReadMemoryEx(ZPX_Handle handle, uint32_t ignored, uint32_t memory,
                                  uint32_t length, uint8_t* buffer);

/* ---- Counters ---- */
ZPX_API uint32_t ZPX_WriteCtrlCounter(ZPX_Handle handle, uint32_t counter, uint32_t value);
ZPX_API uint32_t ZPX_ReadCtrlCounter(ZPX_Handle handle, uint32_t counter, uint32_t* value);
ZPX_API uint32_t ZPX_WriteCounter(ZPX_Handle handle, uint32_t ignored, uint32_t counter,
                                  uint32_t value);
ZPX_API uint32_t ZPX_ReadCounter(ZPX_Handle handle, uint32_t ignored, uint32_t counter,
                                 uint32_t* value);

/* ---- Controller identity and memory sizes ----
 * These return 1 when the controller cannot be read (ZPX_BoardValid: 10) and 10 for a null
 * output. A serial ROM that fails its checksum reads as 0 and 0 with success. The pod number of
 * ZPX_GetPodSerialNumber is 0 to 3; another gives 10 and nothing is sent. A memory kind outside
 * 0 to 5 has size 0.
 */
ZPX_API uint32_t ZPX_GetMemorySize(ZPX_Handle handle, int32_t memoryKind, uint32_t* size);
ZPX_API uint32_t ZPX_GetControllerEPLD(ZPX_Handle handle, uint32_t* revision);
ZPX_API uint32_t ZPX_GetControllerFlash(ZPX_Handle handle, uint32_t* code);
ZPX_API uint32_t ZPX_GetCntrWaitTime(ZPX_Handle handle, uint32_t* waitTime);
ZPX_API uint32_t ZPX_GetControllerSerialNumber(ZPX_Handle handle, uint32_t* high, uint32_t* low);
ZPX_API uint32_t ZPX_GetTransceiverSerialNumber(ZPX_Handle handle, uint32_t* high, uint32_t* low);
ZPX_API uint32_t ZPX_GetPodSerialNumber(ZPX_Handle handle, uint32_t pod, uint32_t* high,
                                        uint32_t* low);
ZPX_API uint32_t ZPX_BoardValid(ZPX_Handle handle, uint32_t ignored, uint32_t* verdict);

/* ---- Clock ----
 * Frequencies are in kHz. ZPX_SetCtrlFrequency and ZPX_CheckCtrlFrequency refuse a frequency
 * below the controller's minimum with 11 and clamp one above its maximum; the Check form writes
 * nothing when the clock already runs at the setting. option (0 or 1) is stored with the setting.
 * Programming arms a 250 ms settle that ZPX_StartController waits for.
 */
ZPX_API uint32_t ZPX_GetFrequencyRange(ZPX_Handle handle, uint32_t* minimumKhz,
                                       uint32_t* maximumKhz);
ZPX_API uint32_t ZPX_SetCtrlFrequency(ZPX_Handle handle, uint32_t option, int32_t khz);
ZPX_API uint32_t ZPX_CheckCtrlFrequency(ZPX_Handle handle, uint32_t option, int32_t khz);
ZPX_API uint32_t ZPX_GetCurrentFrequency(ZPX_Handle handle, uint32_t* khz);
/*
 * ZPX_SetFrequency and ZPX_CheckFrequency take the frequency in kHz, like every other clock
 * export: it is compared with the record's MinFrequencyKhz and MaxFrequencyKhz (both inclusive;
 * outside them 11) and then programmed as khz * 1000 Hz. The session's own limits are not
 * applied and the frequency it remembers for its settle times is not changed. A null record, or
 * a frequency the record lets through but no generator can take (0 or less, above 2147483 kHz),
 * gives 10 with nothing written; 10 also when programming fails.
 */
ZPX_API uint32_t ZPX_SetFrequency(ZPX_Handle handle, const ZPX_DeviceInfo* info, uint32_t option,
                                  int32_t khz);
ZPX_API uint32_t ZPX_CheckFrequency(ZPX_Handle handle, const ZPX_DeviceInfo* info, uint32_t option,
                                    int32_t khz);

#ifdef __cplusplus
}
#endif

#endif /* ZPX_ZPX_H */
