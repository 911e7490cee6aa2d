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

#include "zpx/version.h"

/* On Windows the exports come from ZPX.dll: programs import them (through libzpx.dll.a or ZPX.lib);
 * only the library's own build exports them. ZPX_STATIC links the library's objects directly. */
#if defined(_WIN32) && defined(ZPX_BUILDING_LIBRARY)
#define ZPX_API __declspec(dllexport)
#elif defined(_WIN32) && !defined(ZPX_STATIC)
#define ZPX_API __declspec(dllimport)
#elif defined(_WIN32)
#define ZPX_API
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
#define ZPX_STATUS_OUT_OF_RANGE 12u  /* the same code from the TAP voltage exports */
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

/* ZPX_LIBRARY_VERSION, the number ZPX_LibraryVersion reports, and the version's components come
 * from zpx/version.h, which the build generates from the project's version. */

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

/*
 * Request of ZPX_SetTapVoltage: 36 bytes, every field 32-bit little-endian. Voltages in tenths
 * of a volt (33 = 3.3 V).
 */
typedef struct ZPX_TapVoltageRequest {
    uint32_t TapMask;     /* bit i selects TAP index i (0 to 3); higher bits are ignored */
    int32_t Output[4];    /* output voltage per TAP index */
    int32_t Threshold[4]; /* threshold voltage per TAP index */
} ZPX_TapVoltageRequest;

ZPX_STATIC_ASSERT(sizeof(ZPX_TapVoltageRequest) == 36, "ZPX_TapVoltageRequest is 36 bytes");
ZPX_STATIC_ASSERT(offsetof(ZPX_TapVoltageRequest, Output) == 4, "Output at 4");
ZPX_STATIC_ASSERT(offsetof(ZPX_TapVoltageRequest, Threshold) == 20, "Threshold at 20");

/*
 * The session's information record, refreshed by ZPX_GetControllerInfo and owned by the session:
 * it and the blocks it points to stay valid until ZPX_CloseController. 280 bytes on the 64-bit
 * library; ValidMask has one ZPX_RECORD_ bit per field that the last refresh filled.
 * A block holds five int32_t: one per TAP 1 to 4, then 0.
 */
typedef struct ZPX_ControllerInfoRecord {
    uint32_t ValidMask;        /* ZPX_RECORD_... bits */
    uint32_t Reserved0;        /* always 0 */
    uint32_t InterfaceKind;    /* ZPX_INTERFACE_... */
    int32_t ControllerType;    /* -1 unknown, 0 the 5120 family, 1..3 the 51x4 models */
    int32_t MaxFrequencyKhz;   /* -1 for an unknown controller type */
    int32_t MinFrequencyKhz;   /* -1 for an unknown controller type */
    uint32_t MemorySize[6];    /* bytes of controller memories 0..5 */
    int32_t PodType;           /* -2 not yet determined, -1 unrecognised, 0..3 */
    uint32_t TapCount;         /* entries in the three blocks: 4, or 0 without a known pod */
    int32_t* TapStates;        /* 4 fixed TAPs (pod type 0), 0 (type 1), 1 (types 2 and 3) */
    int32_t* MinOutputVoltage; /* tenths of a volt, -1 for a TAP without a range */
    int32_t* MaxOutputVoltage; /* tenths of a volt, -1 for a TAP without a range */
    void* Reserved1;           /* always null */
    uint32_t FrequencyKhz;     /* the test clock in force; 0 when it could not be read */
    uint32_t Reserved2[47];    /* zero */
} ZPX_ControllerInfoRecord;

#define ZPX_RECORD_INTERFACE 0x1u
#define ZPX_RECORD_CONTROLLER_TYPE 0x2u
#define ZPX_RECORD_MAX_FREQUENCY 0x4u
#define ZPX_RECORD_MIN_FREQUENCY 0x8u
#define ZPX_RECORD_MEMORY_SIZE(kind) (0x10u << (kind)) /* kind 0..5 */
#define ZPX_RECORD_POD_TYPE 0x400u
#define ZPX_RECORD_TAP_COUNT 0x800u
#define ZPX_RECORD_TAP_STATES 0x1000u
#define ZPX_RECORD_MIN_OUTPUT 0x2000u
#define ZPX_RECORD_MAX_OUTPUT 0x4000u
#define ZPX_RECORD_FREQUENCY 0x10000u

ZPX_STATIC_ASSERT(sizeof(void*) == 8, "the zpx library and its records are 64-bit");
ZPX_STATIC_ASSERT(sizeof(ZPX_ControllerInfoRecord) == 280, "ZPX_ControllerInfoRecord is 280 bytes");
ZPX_STATIC_ASSERT(offsetof(ZPX_ControllerInfoRecord, InterfaceKind) == 8, "InterfaceKind at 8");
ZPX_STATIC_ASSERT(offsetof(ZPX_ControllerInfoRecord, MaxFrequencyKhz) == 16, "MaxFrequency at 16");
ZPX_STATIC_ASSERT(offsetof(ZPX_ControllerInfoRecord, MemorySize) == 24, "MemorySize at 24");
ZPX_STATIC_ASSERT(offsetof(ZPX_ControllerInfoRecord, PodType) == 48, "PodType at 48");
ZPX_STATIC_ASSERT(offsetof(ZPX_ControllerInfoRecord, TapCount) == 52, "TapCount at 52");
ZPX_STATIC_ASSERT(offsetof(ZPX_ControllerInfoRecord, TapStates) == 56, "TapStates at 56");
ZPX_STATIC_ASSERT(offsetof(ZPX_ControllerInfoRecord, MinOutputVoltage) == 64, "MinOutput at 64");
ZPX_STATIC_ASSERT(offsetof(ZPX_ControllerInfoRecord, MaxOutputVoltage) == 72, "MaxOutput at 72");
ZPX_STATIC_ASSERT(offsetof(ZPX_ControllerInfoRecord, Reserved1) == 80, "Reserved1 at 80");
ZPX_STATIC_ASSERT(offsetof(ZPX_ControllerInfoRecord, FrequencyKhz) == 88, "FrequencyKhz at 88");

/*
 * A query of ZPX_ControllerInfo and ZPX_ControllerInfoNew: 23 32-bit words (92 bytes), owned by
 * the caller. The caller sets RequestMask; the library sets ValidMask, one ZPX_QUERY_ bit per item
 * it answered. Serial numbers: low holds ROM bytes 0 to 3, high bytes 4 to 7.
 */
typedef struct ZPX_InfoQuery {
    uint32_t RequestMask;          /* ZPX_QUERY_... bits, set by the caller */
    uint32_t ValidMask;            /* ZPX_QUERY_... bits, set by the library */
    int32_t ControllerType;        /* ZPX_QUERY_CONTROLLER_TYPE */
    int32_t PodType;               /* ZPX_QUERY_POD_TYPE */
    int32_t Tap[4];                /* ZPX_QUERY_TAP(i): TAP state (ZPX_ControllerInfo) or TAP
                                      type (ZPX_ControllerInfoNew) of TAP i + 1 */
    uint32_t ControllerSerialHigh; /* ZPX_QUERY_CONTROLLER_SERIAL */
    uint32_t ControllerSerialLow;
    uint32_t EpldRevision;          /* ZPX_QUERY_EPLD_REVISION */
    uint32_t FlashCode;             /* ZPX_QUERY_FLASH_CODE */
    uint32_t TransceiverSerialHigh; /* ZPX_QUERY_TRANSCEIVER_SERIAL */
    uint32_t TransceiverSerialLow;
    uint32_t PodSerial[4][2]; /* ZPX_QUERY_POD_SERIAL(p): high, then low, of pod p */
    uint32_t MemorySize2Mib;  /* ZPX_QUERY_MEMORY_SIZE: memory 2 in MiB */
} ZPX_InfoQuery;

#define ZPX_QUERY_CONTROLLER_TYPE 0x1u
#define ZPX_QUERY_POD_TYPE 0x2u
#define ZPX_QUERY_TAP(i) (0x4u << (i)) /* i = 0..3 */
#define ZPX_QUERY_CONTROLLER_SERIAL 0x40u
#define ZPX_QUERY_EPLD_REVISION 0x80u
#define ZPX_QUERY_FLASH_CODE 0x100u
#define ZPX_QUERY_TRANSCEIVER_SERIAL 0x200u
#define ZPX_QUERY_POD_SERIAL(p) (0x400u << (p)) /* p = 0..3 */
#define ZPX_QUERY_MEMORY_SIZE 0x4000u

ZPX_STATIC_ASSERT(sizeof(ZPX_InfoQuery) == 92, "ZPX_InfoQuery is 92 bytes");
ZPX_STATIC_ASSERT(offsetof(ZPX_InfoQuery, ControllerType) == 8, "ControllerType at word 2");
ZPX_STATIC_ASSERT(offsetof(ZPX_InfoQuery, Tap) == 16, "Tap at word 4");
ZPX_STATIC_ASSERT(offsetof(ZPX_InfoQuery, ControllerSerialHigh) == 32, "serial at word 8");
ZPX_STATIC_ASSERT(offsetof(ZPX_InfoQuery, EpldRevision) == 40, "EpldRevision at word 10");
ZPX_STATIC_ASSERT(offsetof(ZPX_InfoQuery, TransceiverSerialHigh) == 48, "transceiver at word 12");
ZPX_STATIC_ASSERT(offsetof(ZPX_InfoQuery, PodSerial) == 56, "PodSerial at word 14");
ZPX_STATIC_ASSERT(offsetof(ZPX_InfoQuery, MemorySize2Mib) == 88, "MemorySize2Mib at word 22");

/* ZPX_AddNewTapInfo and ZPX_AddNewTapInfoMillivolt: derive the threshold from the output. */
#define ZPX_DEFAULT_THRESHOLD 0x7FFFFFFF

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

/* ---- Serial-number registry ----
 * Every controller of the 51x4 family opened since the registry was created (by any process of
 * the same user) is recorded with its working name (the name without its family suffix) and its
 * two serial-number words, high then low as ZPX_GetControllerSerialNumber reports them. Peek and
 * Alloc look a working name up, ignoring case; a name not yet recorded is opened briefly, which
 * records it. 0 with both words stored, or 1 (a null name, an unknown controller); 10 for a null
 * output. Free changes nothing and returns 0.
 */
ZPX_API uint32_t ZPX_ControllerSerialNumberPeek(const char* name, uint32_t* first,
                                                uint32_t* second);
ZPX_API uint32_t ZPX_ControllerSerialNumberAlloc(const char* name, uint32_t* first,
                                                 uint32_t* second);
ZPX_API uint32_t ZPX_ControllerSerialNumberFree(const char* name, uint32_t* first,
                                                uint32_t* second);

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

/* ---- Network settings, versions and image updates ----
 * For the 51x4-family controllers that keep them: over Ethernet and USB every item; FireWire
 * carries no configuration items (3) and takes an image update as an announcement only. The IP
 * address is the controller's u32 as it stands; the MAC address two u32 in argument order. Every
 * failure of an item, a controller of the 5120 family and ISA, PCI and VXI sessions give 3 (with
 * nothing sent); a null output gives 10. The updates take the image length, an ignored word, two
 * bytes the controller's firmware interprets and the image: 0 accepted, 1 a transport failure,
 * 10 an empty or missing image, otherwise the controller's own status unchanged. An Ethernet
 * update waits for the controller's verdict for up to about a minute.
 */
ZPX_API uint32_t ZPX_SetIpAddress(ZPX_Handle handle, uint32_t address);
ZPX_API uint32_t ZPX_SetMACAddress(ZPX_Handle handle, uint32_t first, uint32_t second);
ZPX_API uint32_t ZPX_SetDHCP(ZPX_Handle handle, uint32_t flag);
ZPX_API uint32_t ZPX_GetIpAddress(ZPX_Handle handle, uint32_t* address);
ZPX_API uint32_t ZPX_GetMACAddress(ZPX_Handle handle, uint32_t* first, uint32_t* second);
ZPX_API uint32_t ZPX_GetDHCP(ZPX_Handle handle, uint32_t* flag);
ZPX_API uint32_t ZPX_GetFPGAVersion(ZPX_Handle handle, uint32_t* version);
ZPX_API uint32_t ZPX_GetFirmwareVersion(ZPX_Handle handle, uint32_t* version);
ZPX_API uint32_t ZPX_UpdateFirmware(ZPX_Handle handle, uint32_t length, uint32_t ignored,
                                    uint8_t first, uint8_t second, const uint8_t* image);
ZPX_API uint32_t ZPX_UpdateFPGA(ZPX_Handle handle, uint32_t length, uint32_t ignored, uint8_t first,
                                uint8_t second, const uint8_t* image);

/* ---- Pod power and activation ----
 * ZPX_SetPodPowerOn powers a pod of the 51x4 family up in two steps (about 0.7 s), then
 * identifies the pod and its TAPs. Failures give 1 (ZPX_ResetSystem and ZPX_SwitchOffBoard: 10).
 * A null output or DeviceInfo gives 10 with nothing sent (ZPX_PodActivated: 2).
 * ZPX_ResetController is the same entry point as ZPX_ResetSystem.
 */
ZPX_API uint32_t ZPX_SetPodPowerOn(ZPX_Handle handle);
ZPX_API uint32_t ZPX_PodPowered(ZPX_Handle handle, uint32_t* state);
ZPX_API uint32_t ZPX_SetPodPowerOff(ZPX_Handle handle);
ZPX_API uint32_t ZPX_ActivatePod(ZPX_Handle handle, uint32_t mode);
ZPX_API uint32_t ZPX_PodActivated(ZPX_Handle handle, uint32_t* active);
ZPX_API uint32_t ZPX_DeActivatePod(ZPX_Handle handle);
ZPX_API uint32_t ZPX_EnablePod(ZPX_Handle handle, ZPX_DeviceInfo* info, uint32_t mode);
ZPX_API uint32_t ZPX_DisablePod(ZPX_Handle handle, const ZPX_DeviceInfo* info);
ZPX_API uint32_t ZPX_ResetSystem(ZPX_Handle handle);
ZPX_API uint32_t ZPX_ResetController(ZPX_Handle handle);
ZPX_API uint32_t ZPX_SwitchOffBoard(ZPX_Handle handle);

/* ---- Pod extender (pods of type 2 and 3) ---- */
ZPX_API uint32_t ZPX_SetPodExtenderMode(ZPX_Handle handle, uint32_t mode);
ZPX_API uint32_t ZPX_GetPodExtenderMode(ZPX_Handle handle, uint32_t* mode);

/* ---- TAP voltages and TAP information ----
 * Voltages in tenths of a volt (ZPX_AddNewTapInfoMillivolt: millivolts). TAP numbers are 1 to 4
 * (0 = every TAP for the add exports); ZPX_GetTapInfo takes the TAP index 0 to 3. A voltage out
 * of range gives 12. A null request or output gives 10 with nothing sent (a null DeviceInfo: 2).
 */
ZPX_API uint32_t ZPX_AddNewTapInfo(ZPX_Handle handle, uint32_t tap, int32_t output,
                                   int32_t threshold);
ZPX_API uint32_t ZPX_AddNewTapInfoMillivolt(ZPX_Handle handle, uint32_t tap, int32_t outputMv,
                                            int32_t thresholdMv);
ZPX_API uint32_t ZPX_GetTapInfo(ZPX_Handle handle, int32_t tapIndex, uint32_t* output,
                                uint32_t* threshold);
ZPX_API uint32_t ZPX_SetTapVoltageEx(ZPX_Handle handle);
ZPX_API uint32_t ZPX_GetTapVoltageEx(ZPX_Handle handle, uint32_t tap, uint32_t* output,
                                     uint32_t* threshold);
ZPX_API uint32_t ZPX_SetTapVoltage(ZPX_Handle handle, const ZPX_DeviceInfo* info,
                                   const ZPX_TapVoltageRequest* request);
ZPX_API uint32_t ZPX_GetTapVoltage(ZPX_Handle handle, const ZPX_DeviceInfo* info, uint32_t tap,
                                   uint32_t* output, uint32_t* threshold);

/* ---- TAP I/O pins and parallel mode ----
 * Four pins per TAP, pin 0 in bit 0; the multi-TAP exports carry TAP index i in bits 4i..4i+3.
 * TAP numbers are 1 to 4; another gives 10 with nothing sent. A null output or DeviceInfo gives
 * 10 with nothing sent.
 */
ZPX_API uint32_t ZPX_SetTapIoPins(ZPX_Handle handle, uint32_t tap, uint32_t data, uint32_t control);
ZPX_API uint32_t ZPX_GetTapIoPins(ZPX_Handle handle, uint32_t tap, uint32_t* data,
                                  uint32_t* control);
ZPX_API uint32_t ZPX_RWTapIoPins(ZPX_Handle handle, int32_t tap, uint32_t mask, uint32_t data,
                                 uint32_t control, uint32_t* result);
ZPX_API uint32_t ZPX_SetIoPins(ZPX_Handle handle, const ZPX_DeviceInfo* info, uint32_t tapMask,
                               uint32_t data, uint32_t control);
ZPX_API uint32_t ZPX_GetIoPins(ZPX_Handle handle, const ZPX_DeviceInfo* info, uint32_t tapMask,
                               uint32_t* data, uint32_t* control);
ZPX_API uint32_t ZPX_EnableTapParallelMode(ZPX_Handle handle, uint32_t tap);
ZPX_API uint32_t ZPX_DisableTapParallelMode(ZPX_Handle handle, uint32_t tap);
ZPX_API uint32_t ZPX_WriteTapParallelMode(ZPX_Handle handle, uint32_t value, uint32_t* bit);

/* ---- Device information ----
 * ZPX_CreateDeviceInfo returns a record the caller owns (status through *status, which may be
 * null) and gives back with ZPX_DestroyDeviceInfo; ZPX_ExtractDeviceInfo fills its pod part.
 * The controller kind comes from the kernel driver's identification: a session without a driver
 * that answers it (an older driver, Ethernet) describes a 5120-family controller, and the pod
 * part needs the driver's pod sense for such a record. Destroying a record this library did not
 * create, or one already destroyed, gives 10 and releases nothing.
 */
ZPX_API ZPX_DeviceInfo* ZPX_CreateDeviceInfo(ZPX_Handle handle, uint32_t* status);
ZPX_API uint32_t ZPX_ExtractDeviceInfo(ZPX_Handle handle, ZPX_DeviceInfo* info);
ZPX_API uint32_t ZPX_DestroyDeviceInfo(ZPX_Handle handle, ZPX_DeviceInfo* info);

/* ---- Controller information records ----
 * A null record pointer output gives 2, a null query 10. ZPX_GetTapType answers TAP numbers 1 to
 * the number of TAPs and stores nothing otherwise (a null output included); the range getters
 * take a TAP index below that number, and give 10 for another index or a null output, as
 * ZPX_GetPodType does for a null output.
 */
ZPX_API uint32_t ZPX_GetControllerInfo(ZPX_Handle handle, ZPX_ControllerInfoRecord** record);
ZPX_API uint32_t ZPX_ControllerInfo(ZPX_Handle handle, const ZPX_DeviceInfo* info,
                                    ZPX_InfoQuery* query);
ZPX_API uint32_t ZPX_ControllerInfoNew(ZPX_Handle handle, ZPX_InfoQuery* query);
ZPX_API uint32_t ZPX_GetPodType(ZPX_Handle handle, int32_t* podType);
ZPX_API uint32_t ZPX_GetTapType(ZPX_Handle handle, int32_t tap, int32_t* type);
ZPX_API uint32_t ZPX_GetOutputVoltRange(ZPX_Handle handle, int32_t tapIndex, int32_t* minimum,
                                        int32_t* maximum);
ZPX_API uint32_t ZPX_GetThresholdVoltRange(ZPX_Handle handle, int32_t tapIndex, int32_t* minimum,
                                           int32_t* maximum);

#ifdef __cplusplus
}
#endif

#endif /* ZPX_ZPX_H */
