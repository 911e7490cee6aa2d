/**
 * @file zpx.h
 * @brief zpx: device-interface library for boundary-scan test controllers.
 *
 * Flat C interface. Every export that works on a controller takes the handle returned by
 * ZPX_OpenController() first and returns a status code (@ref zpx_status); results travel through
 * pointer arguments. The header compiles as C (C99 or later) and as C++.
 *
 * Units at every export: frequencies in kHz, voltages in tenths of a volt (33 = 3.3 V) except
 * where an export says millivolts, lengths and memory sizes in bytes.
 */
#ifndef ZPX_ZPX_H
#define ZPX_ZPX_H

#include <stddef.h>
#include <stdint.h>

#include "zpx/version.h"

/**
 * @defgroup zpx_linking Linking
 * @brief How the declarations reach the library's exports.
 *
 * On Linux the exports come from ZPX.so (linked as -lzpx). On Windows they come from ZPX.dll:
 * programs import them through libzpx.dll.a or ZPX.lib; only the library's own build exports
 * them, and a program that links the library's objects directly defines ZPX_STATIC.
 * @{
 */

/**
 * @def ZPX_API
 * @brief Marks an export of the library: dllimport for programs on Windows (dllexport in the
 *        library's own build, nothing with ZPX_STATIC), default visibility elsewhere.
 */
#if defined(_WIN32) && defined(ZPX_BUILDING_LIBRARY)
#define ZPX_API __declspec(dllexport)
#elif defined(_WIN32) && !defined(ZPX_STATIC)
#define ZPX_API __declspec(dllimport)
#elif defined(_WIN32)
#define ZPX_API
#else
#define ZPX_API __attribute__((visibility("default")))
#endif

/**
 * @def ZPX_STATIC_ASSERT
 * @brief Compile-time check of a record's layout, in C++ (static_assert), C11
 *        (_Static_assert) and C99 (an array whose size would be negative) alike.
 * @param cond The condition that must hold.
 * @param msg  The message the compiler gives when it does not (C99 names the line instead).
 */
#ifdef __cplusplus
#define ZPX_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
extern "C" {
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define ZPX_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#else
/** @cond */
#define ZPX_STATIC_ASSERT_NAME2(line) zpx_layout_check_##line
#define ZPX_STATIC_ASSERT_NAME(line) ZPX_STATIC_ASSERT_NAME2(line)
/** @endcond */
#define ZPX_STATIC_ASSERT(cond, msg) typedef char ZPX_STATIC_ASSERT_NAME(__LINE__)[(cond) ? 1 : -1]
#endif

/** @} */

/**
 * @brief Opaque handle of an opened controller.
 * @ingroup zpx_open
 *
 * Returned by ZPX_OpenController() and passed first to every export that works on the
 * controller; it is no longer valid once ZPX_CloseController() has been called on it.
 */
typedef struct ZPX_Controller* ZPX_Handle;

/**
 * @defgroup zpx_status Status codes
 * @brief The uint32_t results of the exports.
 *
 * Every export that takes a handle runs its work inside the same frame: a null handle, or one
 * that names no open controller, gives #ZPX_STATUS_NULL_HANDLE, and a call made while another
 * call on the same handle runs gives #ZPX_STATUS_BUSY at once, without waiting and without doing
 * anything. Calls on different handles run in parallel. Each export's description lists the
 * codes it can give; an export whose work runs out of memory gives #ZPX_STATUS_FAILED unless its
 * description names another code. Codes 13 to 16 come from ZPX_OpenController() only. The two
 * image updates (ZPX_UpdateFirmware(), ZPX_UpdateFPGA()) also pass on the controller's own
 * nonzero verdict, which may coincide with any of these codes.
 * @{
 */
#define ZPX_STATUS_OK 0u              /**< Success. */
#define ZPX_STATUS_FAILED 1u          /**< The operation failed (a controller access, the link). */
#define ZPX_STATUS_NULL_HANDLE 2u     /**< Null or unknown handle (or a checked output is null). */
#define ZPX_STATUS_BUSY 3u            /**< Another call on the same handle is running. */
#define ZPX_STATUS_INVALID 10u        /**< Invalid argument, or a controller request failed. */
#define ZPX_STATUS_NOT_AVAILABLE 11u  /**< Out of memory, or not available for this controller. */
#define ZPX_STATUS_CANNOT_OPEN 12u    /**< The device cannot be opened or identified. */
#define ZPX_STATUS_OUT_OF_RANGE 12u   /**< From the TAP voltage exports: a voltage out of range. */
#define ZPX_STATUS_LEGACY_INDEX 13u   /**< A single-open legacy device path takes index 0 only. */
#define ZPX_STATUS_NO_USB 14u         /**< The operating system has no USB support. */
#define ZPX_STATUS_OS_UNSUPPORTED 15u /**< The operating system is not supported. */
#define ZPX_STATUS_DEVICE_BUSY 16u    /**< Another client holds the device. */
/** @} */

/**
 * @defgroup zpx_interface Interface kinds
 * @ingroup zpx_session
 * @brief The back-ends a controller is reached over, as ZPX_GetInterfaceType() and
 *        ZPX_ControllerInfoRecord::InterfaceKind report them.
 * @{
 */
#define ZPX_INTERFACE_ISA 0u      /**< ISA card, through its kernel driver. */
#define ZPX_INTERFACE_PCI 1u      /**< PCI card, through its kernel driver. */
#define ZPX_INTERFACE_USB 2u      /**< USB, through its kernel driver. */
#define ZPX_INTERFACE_VXI 3u      /**< VXI, through the VXI board's driver library. */
#define ZPX_INTERFACE_ETHERNET 4u /**< Ethernet: one TCP connection to port 5104. */
#define ZPX_INTERFACE_FIREWIRE 5u /**< FireWire, through its kernel driver. */
/** @} */

/* ZPX_LIBRARY_VERSION, the number ZPX_LibraryVersion reports, and the version's components come
 * from zpx/version.h, which the build generates from the project's version. */

/**
 * @brief Description of a controller and its pod, allocated by the library and owned by the
 *        caller.
 * @ingroup zpx_device_info
 *
 * ZPX_CreateDeviceInfo() allocates it and fills the controller part, ZPX_ExtractDeviceInfo()
 * fills the pod part, and ZPX_DestroyDeviceInfo() releases it. The record holds no reference to
 * a session: the exports that take one trust its fields as they stand. 72 bytes, every field
 * 32-bit little-endian; the layout is part of the interface.
 */
typedef struct ZPX_DeviceInfo {
    /** Controller kind: -1 unknown, 0 the 5120 family, 1 to 3 the models of the 51x4 family. */
    int32_t ControllerKind;
    /** Pod kind: -1 unknown, 0 an older pod with four fixed TAPs, 1 a pod with identified TAPs. */
    int32_t PodKind;
    /** Per TAP index 0 to 3: 0 present, -1 absent, 4 one of the fixed TAPs of a pod of kind 0. */
    int32_t TapState[4];
    uint32_t MemorySize[6];      /**< Size in bytes of controller memories 0 to 5. */
    int32_t MaxFrequencyKhz;     /**< kHz: 25000 (5120 family), 40000 (51x4), -1 unknown. */
    int32_t MinFrequencyKhz;     /**< kHz: 100 (5120 family), 1 (51x4), -1 unknown. */
    int32_t MaxOutputVoltage;    /**< Tenths of a volt: 50 (pod kind 0), 36 (kind 1), else -1. */
    int32_t MinOutputVoltage;    /**< Tenths of a volt: 33 (pod kind 0), 10 (kind 1), else -1. */
    int32_t MaxThresholdVoltage; /**< Tenths of a volt: 50 (pod kind 0), 41 (kind 1), else -1. */
    int32_t MinThresholdVoltage; /**< Tenths of a volt: 33 (pod kind 0), 0 (kind 1), else -1. */
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

/**
 * @brief Request of ZPX_SetTapVoltage(): 36 bytes, every field 32-bit little-endian.
 * @ingroup zpx_tap_voltages
 *
 * Voltages in tenths of a volt (33 = 3.3 V).
 */
typedef struct ZPX_TapVoltageRequest {
    uint32_t TapMask;     /**< Bit i selects TAP index i (0 to 3); higher bits are ignored. */
    int32_t Output[4];    /**< Output voltage per TAP index, tenths of a volt. */
    int32_t Threshold[4]; /**< Threshold voltage per TAP index, tenths of a volt. */
} ZPX_TapVoltageRequest;

ZPX_STATIC_ASSERT(sizeof(ZPX_TapVoltageRequest) == 36, "ZPX_TapVoltageRequest is 36 bytes");
ZPX_STATIC_ASSERT(offsetof(ZPX_TapVoltageRequest, Output) == 4, "Output at 4");
ZPX_STATIC_ASSERT(offsetof(ZPX_TapVoltageRequest, Threshold) == 20, "Threshold at 20");

/**
 * @brief The session's information record, refreshed by ZPX_GetControllerInfo() and owned by
 *        the session.
 * @ingroup zpx_info
 *
 * It and the blocks it points to stay valid until ZPX_CloseController(). 280 bytes on the 64-bit
 * library; ValidMask has one ZPX_RECORD_ bit per field that the last refresh filled (a field
 * whose bit is clear may still hold an older value). A block holds five int32_t: one per TAP 1
 * to 4, then 0.
 */
typedef struct ZPX_ControllerInfoRecord {
    uint32_t ValidMask;     /**< ZPX_RECORD_... bits of the fields the last refresh filled. */
    uint32_t Reserved0;     /**< Always 0. */
    uint32_t InterfaceKind; /**< ZPX_INTERFACE_... (#ZPX_RECORD_INTERFACE). */
    /** -1 unknown, 0 the 5120 family, 1 to 3 the 51x4 models (#ZPX_RECORD_CONTROLLER_TYPE). */
    int32_t ControllerType;
    int32_t MaxFrequencyKhz; /**< kHz; -1 for an unknown controller type. */
    int32_t MinFrequencyKhz; /**< kHz; -1 for an unknown controller type. */
    /** Bytes of controller memories 0 to 5 (#ZPX_RECORD_MEMORY_SIZE(kind) per memory). */
    uint32_t MemorySize[6];
    /** -2 not yet determined, -1 unrecognised, 0 to 3 the pod types (#ZPX_RECORD_POD_TYPE). */
    int32_t PodType;
    uint32_t TapCount; /**< Entries in the three blocks: 4, or 0 without a known pod. */
    /** TAP-state block: 4 (fixed TAPs, pod type 0), 0 (pod type 1), 1 (pod types 2 and 3). */
    int32_t* TapStates;
    int32_t* MinOutputVoltage; /**< Block, tenths of a volt; -1 for a TAP without a range. */
    int32_t* MaxOutputVoltage; /**< Block, tenths of a volt; -1 for a TAP without a range. */
    void* Reserved1;           /**< Always null. */
    uint32_t FrequencyKhz;     /**< The test clock in force, kHz; 0 when it could not be read. */
    uint32_t Reserved2[47];    /**< Zero. */
} ZPX_ControllerInfoRecord;

/**
 * @defgroup zpx_record_bits Information record bits
 * @ingroup zpx_info
 * @brief Bits of ZPX_ControllerInfoRecord::ValidMask, one per field.
 * @{
 */
#define ZPX_RECORD_INTERFACE 0x1u       /**< InterfaceKind (always set). */
#define ZPX_RECORD_CONTROLLER_TYPE 0x2u /**< ControllerType (always set). */
#define ZPX_RECORD_MAX_FREQUENCY 0x4u   /**< MaxFrequencyKhz (always set). */
#define ZPX_RECORD_MIN_FREQUENCY 0x8u   /**< MinFrequencyKhz (always set). */
/**
 * @brief MemorySize[kind], set when the size of that memory could be looked up.
 * @param kind Memory number, 0 to 5.
 */
#define ZPX_RECORD_MEMORY_SIZE(kind) (0x10u << (kind))
#define ZPX_RECORD_POD_TYPE 0x400u    /**< PodType (always set). */
#define ZPX_RECORD_TAP_COUNT 0x800u   /**< TapCount, when the pod type is 0 to 3. */
#define ZPX_RECORD_TAP_STATES 0x1000u /**< TapStates, when its block exists. */
#define ZPX_RECORD_MIN_OUTPUT 0x2000u /**< MinOutputVoltage, when both voltage blocks exist. */
#define ZPX_RECORD_MAX_OUTPUT 0x4000u /**< MaxOutputVoltage, when both voltage blocks exist. */
#define ZPX_RECORD_FREQUENCY 0x10000u /**< FrequencyKhz (always set; 0 when it was not read). */
/** @} */

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

/**
 * @brief A query of ZPX_ControllerInfo() and ZPX_ControllerInfoNew(): 23 32-bit words
 *        (92 bytes), owned by the caller.
 * @ingroup zpx_info
 *
 * The caller sets RequestMask; the library sets ValidMask, one ZPX_QUERY_ bit per item it
 * answered. Serial numbers: low holds ROM bytes 0 to 3, high bytes 4 to 7.
 */
typedef struct ZPX_InfoQuery {
    uint32_t RequestMask;   /**< ZPX_QUERY_... bits, set by the caller. */
    uint32_t ValidMask;     /**< ZPX_QUERY_... bits, set by the library. */
    int32_t ControllerType; /**< #ZPX_QUERY_CONTROLLER_TYPE: -1, 0, or 1 to 3. */
    int32_t PodType;        /**< #ZPX_QUERY_POD_TYPE. */
    /** #ZPX_QUERY_TAP(i): TAP state (ZPX_ControllerInfo()) or TAP type (ZPX_ControllerInfoNew())
     *  of TAP i + 1. */
    int32_t Tap[4];
    uint32_t ControllerSerialHigh;  /**< #ZPX_QUERY_CONTROLLER_SERIAL: ROM bytes 4 to 7. */
    uint32_t ControllerSerialLow;   /**< #ZPX_QUERY_CONTROLLER_SERIAL: ROM bytes 0 to 3. */
    uint32_t EpldRevision;          /**< #ZPX_QUERY_EPLD_REVISION: 0 to 15. */
    uint32_t FlashCode;             /**< #ZPX_QUERY_FLASH_CODE. */
    uint32_t TransceiverSerialHigh; /**< #ZPX_QUERY_TRANSCEIVER_SERIAL: ROM bytes 4 to 7. */
    uint32_t TransceiverSerialLow;  /**< #ZPX_QUERY_TRANSCEIVER_SERIAL: ROM bytes 0 to 3. */
    uint32_t PodSerial[4][2];       /**< #ZPX_QUERY_POD_SERIAL(p): high, then low, of pod p. */
    uint32_t MemorySize2Mib;        /**< #ZPX_QUERY_MEMORY_SIZE: memory 2 in MiB. */
} ZPX_InfoQuery;

/**
 * @defgroup zpx_query_bits Information query bits
 * @ingroup zpx_info
 * @brief Bits of ZPX_InfoQuery::RequestMask and ZPX_InfoQuery::ValidMask, one per item.
 * @{
 */
#define ZPX_QUERY_CONTROLLER_TYPE 0x1u /**< ControllerType. */
#define ZPX_QUERY_POD_TYPE 0x2u        /**< PodType. */
/**
 * @brief Tap[i].
 * @param i TAP index, 0 to 3 (TAP i + 1).
 */
#define ZPX_QUERY_TAP(i) (0x4u << (i))
#define ZPX_QUERY_CONTROLLER_SERIAL 0x40u   /**< The two ControllerSerial words. */
#define ZPX_QUERY_EPLD_REVISION 0x80u       /**< EpldRevision. */
#define ZPX_QUERY_FLASH_CODE 0x100u         /**< FlashCode. */
#define ZPX_QUERY_TRANSCEIVER_SERIAL 0x200u /**< The two TransceiverSerial words. */
/**
 * @brief PodSerial[p].
 * @param p Pod number, 0 to 3.
 */
#define ZPX_QUERY_POD_SERIAL(p) (0x400u << (p))
#define ZPX_QUERY_MEMORY_SIZE 0x4000u /**< MemorySize2Mib. */
/** @} */

ZPX_STATIC_ASSERT(sizeof(ZPX_InfoQuery) == 92, "ZPX_InfoQuery is 92 bytes");
ZPX_STATIC_ASSERT(offsetof(ZPX_InfoQuery, ControllerType) == 8, "ControllerType at word 2");
ZPX_STATIC_ASSERT(offsetof(ZPX_InfoQuery, Tap) == 16, "Tap at word 4");
ZPX_STATIC_ASSERT(offsetof(ZPX_InfoQuery, ControllerSerialHigh) == 32, "serial at word 8");
ZPX_STATIC_ASSERT(offsetof(ZPX_InfoQuery, EpldRevision) == 40, "EpldRevision at word 10");
ZPX_STATIC_ASSERT(offsetof(ZPX_InfoQuery, TransceiverSerialHigh) == 48, "transceiver at word 12");
ZPX_STATIC_ASSERT(offsetof(ZPX_InfoQuery, PodSerial) == 56, "PodSerial at word 14");
ZPX_STATIC_ASSERT(offsetof(ZPX_InfoQuery, MemorySize2Mib) == 88, "MemorySize2Mib at word 22");

/**
 * @brief Threshold argument of ZPX_AddNewTapInfo() and ZPX_AddNewTapInfoMillivolt() that derives
 *        the threshold from the output: 15 (1.5 V) for an output of 30 (3.0 V) or more, otherwise
 *        half the output, rounded down.
 * @ingroup zpx_tap_voltages
 */
#define ZPX_DEFAULT_THRESHOLD 0x7FFFFFFF

/**
 * @defgroup zpx_session Library version and session queries
 * @brief The library's version, and what an open session knows of its controller.
 * @{
 */

/**
 * @brief Reports the library's version number.
 *
 * Unlike the other exports, a successful call returns the number itself, not a status code:
 * the four components of the version as decimal digits, major first (#ZPX_LIBRARY_VERSION;
 * 2066 reads as version 2.0.6.6).
 *
 * @param[in] handle An open controller.
 * @return The version number; #ZPX_STATUS_NULL_HANDLE (2) when @p handle is null or names no
 *         open controller; #ZPX_STATUS_BUSY (3) when another call on @p handle is running.
 */
ZPX_API uint32_t ZPX_LibraryVersion(ZPX_Handle handle);

/**
 * @brief Reports the library's version number through an output.
 *
 * @param[in]  handle  An open controller.
 * @param[out] version Receives the version number (#ZPX_LIBRARY_VERSION).
 * @retval ZPX_STATUS_OK          Stored.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_INVALID     @p version is null (found before the busy test, so even while
 *                                another call on @p handle runs).
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 */
ZPX_API uint32_t ZPX_LibraryVersionEx(ZPX_Handle handle, uint32_t* version);

/**
 * @brief Reports the controller type found when the controller was opened.
 *
 * @param[in]  handle An open controller.
 * @param[out] type   Receives the type: 0xFFFFFFFF (-1) unknown, 0 a controller of the 5120
 *                    family, 1 to 3 the three models of the 51x4 family.
 * @retval ZPX_STATUS_OK          Stored.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     @p type is null.
 */
ZPX_API uint32_t ZPX_GetControllerType(ZPX_Handle handle, uint32_t* type);

/**
 * @brief Reports the back-end of the session and the device index taken from its name.
 *
 * Each output may be null; the others are still stored.
 *
 * @param[in]  handle An open controller.
 * @param[out] kind   Receives the interface kind (@ref zpx_interface), or null.
 * @param[out] index  Receives the device index of the name (PCI2 gives 2), 0xFFFFFFFF when the
 *                    back-end has none (Ethernet, VXI, the single-open legacy device paths), or
 *                    null.
 * @param[out] aux    Receives a second index that no back-end sets: always 0xFFFFFFFF; or null.
 * @retval ZPX_STATUS_OK          Stored (also when all three outputs are null).
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 */
ZPX_API uint32_t ZPX_GetInterfaceType(ZPX_Handle handle, uint32_t* kind, uint32_t* index,
                                      uint32_t* aux);

/**
 * @brief Reports whether buffering is useful for the controller: 1 for every opened controller.
 *
 * @param[in]  handle An open controller.
 * @param[out] useful Receives 1; a null pointer is accepted and left alone.
 * @retval ZPX_STATUS_OK          Done.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 */
ZPX_API uint32_t ZPX_BufferingUseful(ZPX_Handle handle, uint32_t* useful);

/** @} */

/**
 * @defgroup zpx_open Opening and closing
 * @brief Opening a controller by name, and giving it back.
 * @{
 */

/**
 * @brief Opens a controller by name.
 *
 * The name is a back-end prefix, matched ignoring case (PCI, USB, ISA, VXIPCI, ETH or FW),
 * then:
 * - for PCI, USB, ISA and FW, optional white space and an optional unsigned decimal device index
 *   (none means 0): PCI, USB 1, FW2;
 * - for ETH, the controller's IPv4 address right behind the prefix: ETH192.0.2.7 (TCP port 5104);
 * - for VXIPCI, the interface board and the VXI logical address: VXIPCI2,24 (none means board 0,
 *   address 8);
 *
 * and an optional family suffix after the last comma: a suffix whose first four characters are
 * 5120 selects the 5120 family (ISA0,5120 or VXIPCI2,24,5120), any other suffix or none the 51x4
 * family. ISA and VXIPCI belong to the 5120 family only. The name in front of the suffix (the
 * working name) is at most 127 characters, the whole name at most 255 and an Ethernet address
 * at most 31.
 *
 * Opening takes a lock shared by every process that uses the library (waiting up to 20 s),
 * opens the back-end, identifies the controller, restores its two status registers and, for the
 * 51x4 family, records the controller's serial number for ZPX_ControllerSerialNumberPeek().
 *
 * Status codes stored in @p status:
 * - #ZPX_STATUS_OK (0): opened.
 * - #ZPX_STATUS_FAILED (1): the working name starts with no prefix of its family, or the
 *   Ethernet address cannot be read or connected to.
 * - #ZPX_STATUS_INVALID (10): @p name is null or too long, the text after the prefix is not one
 *   unsigned decimal number, or the VXI address is malformed.
 * - #ZPX_STATUS_NOT_AVAILABLE (11): out of memory, or no more sessions can be opened.
 * - #ZPX_STATUS_CANNOT_OPEN (12): the device cannot be opened, the single-open legacy device path
 *   is taken by another open, the controller cannot be identified, or the lock shared between
 *   processes was not obtained within 20 s.
 * - #ZPX_STATUS_LEGACY_INDEX (13): the single-open legacy device path takes index 0 only.
 * - #ZPX_STATUS_NO_USB (14): a USB name on an operating system without USB support.
 * - #ZPX_STATUS_OS_UNSUPPORTED (15): the operating system cannot run the device drivers.
 * - #ZPX_STATUS_DEVICE_BUSY (16): the operating system refused the device because another client
 *   holds it.
 *
 * @param[in]  name   NUL-terminated controller name.
 * @param[out] status Receives 0 or one of the codes above; may be null.
 * @return The handle of the opened controller, or null when the open failed.
 */
ZPX_API ZPX_Handle ZPX_OpenController(const char* name, uint32_t* status);

/**
 * @brief Closes a controller and releases everything the library holds for it.
 *
 * Waits for every settle time still running (the longest is 500 ms), releases the information
 * record of ZPX_GetControllerInfo() and the TAP information list, closes the back-end and keeps
 * the two status registers where the controller's driver cannot (the status file "KVCtrl.dat"
 * beside the library). The handle is invalid afterwards. The caller must not close a handle
 * while another call on it is running.
 *
 * @param[in] handle An open controller.
 * @retval ZPX_STATUS_OK          Closed.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 */
ZPX_API uint32_t ZPX_CloseController(ZPX_Handle handle);

/** @} */

/**
 * @defgroup zpx_serial Serial-number registry
 * @brief Serial numbers of 51x4-family controllers, looked up by controller name across
 *        processes.
 *
 * Every controller of the 51x4 family opened since the registry was created (by any process of
 * the same user) is recorded with its working name (the name without its family suffix) and its
 * two serial-number words, high then low as ZPX_GetControllerSerialNumber() reports them. The
 * registry lasts while any process has the library loaded and holds up to 32 entries; later
 * controllers are not recorded. These exports take a name, not a handle, and use the same lock
 * as ZPX_OpenController().
 * @{
 */

/**
 * @brief Looks a controller's serial number up by its working name.
 *
 * The name is compared with the recorded ones ignoring case; the first match wins. A name not
 * yet recorded is opened briefly as a 51x4-family controller (which records it) and looked up
 * again.
 *
 * @param[in]  name   Working name, without a family suffix (USB0, ETH192.0.2.7).
 * @param[out] first  Receives the first word: the high word of the controller's serial number
 *                    (ROM bytes 4 to 7).
 * @param[out] second Receives the second word: the low word (ROM bytes 0 to 3).
 * @retval ZPX_STATUS_OK      Both words stored.
 * @retval ZPX_STATUS_FAILED  @p name is null, or no entry could be found or made (the controller
 *                            cannot be opened as one of the 51x4 family, the registry is full or
 *                            missing, or the lock was not obtained within 20 s); nothing stored.
 * @retval ZPX_STATUS_INVALID @p first or @p second is null; nothing looked up.
 */
ZPX_API uint32_t ZPX_ControllerSerialNumberPeek(const char* name, uint32_t* first,
                                                uint32_t* second);

/**
 * @brief Does exactly what ZPX_ControllerSerialNumberPeek() does.
 *
 * @param[in]  name   Working name, without a family suffix.
 * @param[out] first  Receives the high word of the serial number.
 * @param[out] second Receives the low word of the serial number.
 * @retval ZPX_STATUS_OK      Both words stored.
 * @retval ZPX_STATUS_FAILED  @p name is null, or no entry could be found or made.
 * @retval ZPX_STATUS_INVALID @p first or @p second is null.
 */
ZPX_API uint32_t ZPX_ControllerSerialNumberAlloc(const char* name, uint32_t* first,
                                                 uint32_t* second);

/**
 * @brief Changes nothing: registry entries are never removed.
 *
 * @param[in] name   Ignored.
 * @param[in] first  Ignored.
 * @param[in] second Ignored.
 * @retval ZPX_STATUS_OK Always.
 */
ZPX_API uint32_t ZPX_ControllerSerialNumberFree(const char* name, uint32_t* first,
                                                uint32_t* second);

/** @} */

/**
 * @defgroup zpx_run Run control and status
 * @brief Starting, booting and stopping the controller's sequencer; its modes, status, error
 *        bits, TAP enables, learn mode, button and continuous-mode counter.
 *
 * These work on controller registers 0 to 4. A change is made on the session's copy of the
 * register (the bits of the field replaced, the rest kept) and the whole copy is written; the
 * copy keeps the change even when the write fails. Fields are passed and reported in place
 * (learn mode on is 0x04, not 1); what the mode values mean is the controller firmware's.
 * @{
 */

/**
 * @brief Starts the controller's sequencer.
 *
 * First waits for the settle times still running after a reset (500 ms), a TAP voltage change
 * (150 ms), the pod power-up (300 ms) and a clock change (250 ms), then sets the run bits 1..0 of
 * register 0, and arms a wait of one test-clock period that ZPX_GetControllerStatus() observes.
 *
 * @param[in] handle An open controller.
 * @retval ZPX_STATUS_OK          Started.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     Register 0 could not be written.
 */
ZPX_API uint32_t ZPX_StartController(ZPX_Handle handle);

/**
 * @brief Boots the controller from one of its images.
 *
 * Writes register 3 with the image number times 8, then register 0 with 0, 2 and 0 again,
 * stopping at the first failure. The session's copy of register 0 is not changed.
 *
 * @param[in] handle An open controller.
 * @param[in] image  Boot image number.
 * @retval ZPX_STATUS_OK          Done.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     A register write failed.
 */
ZPX_API uint32_t ZPX_BootController(ZPX_Handle handle, uint32_t image);

/**
 * @brief Stops the controller's sequencer: clears the run bits 1..0 of register 0.
 *
 * @param[in] handle An open controller.
 * @retval ZPX_STATUS_OK          Done.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     Register 0 could not be written.
 */
ZPX_API uint32_t ZPX_StopController(ZPX_Handle handle);

/**
 * @brief Reports whether the controller runs.
 *
 * Waits for the test-clock period armed by ZPX_StartController(), then reads register 0. When
 * its run bits read 0 twice in a row the controller has stopped: the call then waits two
 * test-clock periods and 32 µs, clears the run bits of the session's copy, and arms a wait of
 * six periods that the memory reads observe before they collect results.
 *
 * @param[in]  handle  An open controller.
 * @param[out] running Receives bits 1..0 of register 0: nonzero while the controller runs, 0 when
 *                     it has stopped.
 * @retval ZPX_STATUS_OK          Stored.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     @p running is null, or register 0 could not be read.
 */
ZPX_API uint32_t ZPX_GetControllerStatus(ZPX_Handle handle, uint32_t* running);

/**
 * @brief Sets the run mode: bits 3..2 of register 0.
 *
 * @param[in] handle An open controller.
 * @param[in] mode   The run mode in place, mask 0x0C; other bits are ignored.
 * @retval ZPX_STATUS_OK          Done.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     Register 0 could not be written.
 */
ZPX_API uint32_t ZPX_SetRunMode(ZPX_Handle handle, uint32_t mode);

/**
 * @brief Sets the repeater mode: bits 5..4 of register 0.
 *
 * @param[in] handle An open controller.
 * @param[in] mode   The repeater mode in place, mask 0x30; other bits are ignored.
 * @retval ZPX_STATUS_OK          Done.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     Register 0 could not be written.
 */
ZPX_API uint32_t ZPX_SetRepeaterMode(ZPX_Handle handle, uint32_t mode);

/**
 * @brief Sets the immediate mode: bits 7..6 of register 0.
 *
 * @param[in] handle An open controller.
 * @param[in] mode   The immediate mode in place, mask 0xC0; other bits are ignored.
 * @retval ZPX_STATUS_OK          Done.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     Register 0 could not be written.
 */
ZPX_API uint32_t ZPX_SetImmMode(ZPX_Handle handle, uint32_t mode);

/**
 * @brief Clears bits of register 1, the error register.
 *
 * Register 1 also holds the VPP mode (bits 7..6) and the pod bit (bit 5); the mask clears
 * whatever it names.
 *
 * @param[in] handle An open controller.
 * @param[in] mask   The bits to clear (0xFF clears every bit).
 * @retval ZPX_STATUS_OK          Done.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     Register 1 could not be written.
 */
ZPX_API uint32_t ZPX_ClearError(ZPX_Handle handle, uint32_t mask);

/**
 * @brief Reads register 1, the error register, whole.
 *
 * @param[in]  handle An open controller.
 * @param[out] error  Receives the register's value.
 * @retval ZPX_STATUS_OK          Stored.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     @p error is null, or register 1 could not be read.
 */
ZPX_API uint32_t ZPX_GetError(ZPX_Handle handle, uint32_t* error);

/**
 * @brief Sets the programming-voltage (VPP) mode: bits 7..6 of register 1.
 *
 * @param[in] handle An open controller.
 * @param[in] mode   The VPP mode in place, mask 0xC0; other bits are ignored.
 * @retval ZPX_STATUS_OK          Done.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     Register 1 could not be written.
 */
ZPX_API uint32_t ZPX_SetVPPMode(ZPX_Handle handle, uint32_t mode);

/**
 * @brief Sets the TAP enables: bits 7..4 of register 2, one per TAP.
 *
 * @param[in] handle An open controller.
 * @param[in] mask   The enables in place, mask 0xF0; bits 3..0 of the register are kept.
 * @retval ZPX_STATUS_OK          Done.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     Register 2 could not be written.
 */
ZPX_API uint32_t ZPX_SetTapEnable(ZPX_Handle handle, uint32_t mask);

/**
 * @brief Reads the TAP enables: bits 7..4 of register 2.
 *
 * @param[in]  handle An open controller.
 * @param[out] mask   Receives register 2 AND 0xF0.
 * @retval ZPX_STATUS_OK          Stored.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     @p mask is null, or register 2 could not be read.
 */
ZPX_API uint32_t ZPX_GetTapEnable(ZPX_Handle handle, uint32_t* mask);

/**
 * @brief Switches learn mode: bit 2 of register 2.
 *
 * @param[in] handle An open controller.
 * @param[in] on     0x04 switches learn mode on, 0 off; other bits are ignored.
 * @retval ZPX_STATUS_OK          Done.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     Register 2 could not be written.
 */
ZPX_API uint32_t ZPX_SetLearnMode(ZPX_Handle handle, uint32_t on);

/**
 * @brief Reads learn mode: bit 2 of register 2.
 *
 * @param[in]  handle An open controller.
 * @param[out] on     Receives register 2 AND 0x04: 0x04 on, 0 off.
 * @retval ZPX_STATUS_OK          Stored.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     @p on is null, or register 2 could not be read.
 */
ZPX_API uint32_t ZPX_GetLearnMode(ZPX_Handle handle, uint32_t* on);

/**
 * @brief Reads the button: bit 0 of register 2.
 *
 * @param[in]  handle  An open controller.
 * @param[out] pressed Receives register 2 AND 0x01.
 * @retval ZPX_STATUS_OK          Stored.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     @p pressed is null, or register 2 could not be read.
 */
ZPX_API uint32_t ZPX_GetButton(ZPX_Handle handle, uint32_t* pressed);

/**
 * @brief Sets the counter-control bit: bit 1 of register 2.
 *
 * @param[in] handle An open controller.
 * @retval ZPX_STATUS_OK          Done.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     Register 2 could not be written.
 */
ZPX_API uint32_t ZPX_SetCntCounter(ZPX_Handle handle);

/**
 * @brief Writes the 16-bit continuous-mode counter, register 4.
 *
 * @param[in] handle An open controller.
 * @param[in] count  The counter value.
 * @retval ZPX_STATUS_OK          Done.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     Register 4 could not be written.
 */
ZPX_API uint32_t ZPX_SetContModeCounter(ZPX_Handle handle, uint32_t count);

/**
 * @brief Reads the 16-bit continuous-mode counter, register 4.
 *
 * @param[in]  handle An open controller.
 * @param[out] count  Receives the counter value.
 * @retval ZPX_STATUS_OK          Stored.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     @p count is null, or register 4 could not be read.
 */
ZPX_API uint32_t ZPX_GetContModeCounter(ZPX_Handle handle, uint32_t* count);

/** @} */

/**
 * @defgroup zpx_memory Memory transfer
 * @brief Writing test vectors into the controller's memories and reading results back.
 *
 * The controller has six memories, numbered 0 to 5, each read and written as a stream at the
 * position of its address counter, which the controller advances with every byte: memories 0,
 * 1 and 2 have counters 0, 1 and 2, memories 3, 4 and 5 share counter 3. The addressed exports
 * load the counter with the address first; the others continue where the counter stands, that
 * is where the previous transfer of the same memory ended. Lengths are in bytes; a transfer
 * travels in pieces of the back-end's size (4 KiB to 128 KiB), and pieces already transferred
 * stay transferred when a later one fails. A length of 0 succeeds. The reads first wait for the
 * controller's last periods after ZPX_GetControllerStatus() found it stopped.
 * @{
 */

/**
 * @brief Writes a block into a memory from an address.
 *
 * @param[in] handle  An open controller.
 * @param[in] memory  Memory number, 0 to 5.
 * @param[in] address Value loaded into the memory's address counter first.
 * @param[in] length  Bytes to write.
 * @param[in] data    The @p length bytes.
 * @retval ZPX_STATUS_OK          Written.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     @p memory is above 5 or @p data is null (nothing sent), or
 *                                loading the counter or the transfer failed.
 */
ZPX_API uint32_t ZPX_WriteCtrlMemory(ZPX_Handle handle, uint32_t memory, uint32_t address,
                                     uint32_t length, const uint8_t* data);

/**
 * @brief Writes a block into a memory where its address counter stands.
 *
 * The memory number is not checked: a larger one travels to the controller as given.
 *
 * @param[in] handle An open controller.
 * @param[in] memory Memory number, 0 to 5.
 * @param[in] length Bytes to write.
 * @param[in] data   The @p length bytes.
 * @retval ZPX_STATUS_OK          Written.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     @p data is null (nothing sent), or the transfer failed.
 */
ZPX_API uint32_t ZPX_WriteCtrlMemoryNa(ZPX_Handle handle, uint32_t memory, uint32_t length,
                                       const uint8_t* data);

/**
 * @brief Reads a block from a memory from an address.
 *
 * For memory 5 the address counter is loaded with @p address + 1 (ZPX_ReadMemory() loads the
 * address as given).
 *
 * @param[in]  handle  An open controller.
 * @param[in]  memory  Memory number, 0 to 5.
 * @param[in]  address Value loaded into the memory's address counter first.
 * @param[in]  length  Bytes to read.
 * @param[out] buffer  Receives the @p length bytes.
 * @retval ZPX_STATUS_OK          Read.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     @p memory is above 5 or @p buffer is null (nothing sent), or
 *                                loading the counter or the transfer failed.
 */
ZPX_API uint32_t ZPX_ReadCtrlMemory(ZPX_Handle handle, uint32_t memory, uint32_t address,
                                    uint32_t length, uint8_t* buffer);

/**
 * @brief Reads a block from a memory where its address counter stands.
 *
 * The memory number is not checked: a larger one travels to the controller as given.
 *
 * @param[in]  handle An open controller.
 * @param[in]  memory Memory number, 0 to 5.
 * @param[in]  length Bytes to read.
 * @param[out] buffer Receives the @p length bytes.
 * @retval ZPX_STATUS_OK          Read.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     @p buffer is null (nothing sent), or the transfer failed.
 */
ZPX_API uint32_t ZPX_ReadCtrlMemoryNa(ZPX_Handle handle, uint32_t memory, uint32_t length,
                                      uint8_t* buffer);

/**
 * @brief Writes a block into a memory from an address, as ZPX_WriteCtrlMemory() does.
 *
 * @param[in] handle  An open controller.
 * @param[in] ignored Accepted and ignored.
 * @param[in] memory  Memory number, 0 to 5.
 * @param[in] address Value loaded into the memory's address counter first.
 * @param[in] length  Bytes to write.
 * @param[in] data    The @p length bytes.
 * @retval ZPX_STATUS_OK          Written.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     @p memory is above 5 or @p data is null (nothing sent), or
 *                                loading the counter or the transfer failed.
 */
ZPX_API uint32_t ZPX_WriteMemory(ZPX_Handle handle, uint32_t ignored, uint32_t memory,
                                 uint32_t address, uint32_t length, const uint8_t* data);

/**
 * @brief Reads a block from a memory from an address, as ZPX_ReadCtrlMemory() does but without
 *        its step of one for memory 5.
 *
 * @param[in]  handle  An open controller.
 * @param[in]  ignored Accepted and ignored.
 * @param[in]  memory  Memory number, 0 to 5.
 * @param[in]  address Value loaded into the memory's address counter first.
 * @param[in]  length  Bytes to read.
 * @param[out] buffer  Receives the @p length bytes.
 * @retval ZPX_STATUS_OK          Read.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     @p memory is above 5 or @p buffer is null (nothing sent), or
 *                                loading the counter or the transfer failed.
 */
ZPX_API uint32_t ZPX_ReadMemory(ZPX_Handle handle, uint32_t ignored, uint32_t memory,
                                uint32_t address, uint32_t length, uint8_t* buffer);

/**
 * @brief Writes a block into a memory where its address counter stands, as
 *        ZPX_WriteCtrlMemoryNa() does.
 *
 * @param[in] handle  An open controller.
 * @param[in] ignored Accepted and ignored.
 * @param[in] memory  Memory number, 0 to 5 (not checked).
 * @param[in] length  Bytes to write.
 * @param[in] data    The @p length bytes.
 * @retval ZPX_STATUS_OK          Written.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     @p data is null (nothing sent), or the transfer failed.
 */
ZPX_API uint32_t ZPX_WriteMemoryEx(ZPX_Handle handle, uint32_t ignored, uint32_t memory,
                                   uint32_t length, const uint8_t* data);

/**
 * @brief Reads a block from a memory where its address counter stands, as
 *        ZPX_ReadCtrlMemoryNa() does.
 *
 * @param[in]  handle  An open controller.
 * @param[in]  ignored Accepted and ignored.
 * @param[in]  memory  Memory number, 0 to 5 (not checked).
 * @param[in]  length  Bytes to read.
 * @param[out] buffer  Receives the @p length bytes.
 * @retval ZPX_STATUS_OK          Read.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     @p buffer is null (nothing sent), or the transfer failed.
 */
ZPX_API uint32_t ZPX_ReadMemoryEx(ZPX_Handle handle, uint32_t ignored, uint32_t memory,
                                  uint32_t length, uint8_t* buffer);

/** @} */

/**
 * @defgroup zpx_counters Counters
 * @brief Loading and reading the controller's address and other counters.
 *
 * Counter numbers for writes: 0 to 3 the address counters of memories 0, 1, 2 and of memories
 * 3 to 5; 4 the immediate address counter; 5 a further counter that only current drivers and
 * Ethernet controllers have. Counter numbers for reads are a set of their own: 0 is the
 * immediate address counter on older drivers, VXI and Ethernet; 1 and 2 exist on current drivers
 * and Ethernet only; a current driver receives the number unchanged. A number that the back-end
 * does not know is not refused: a write goes to counter 0 of an older driver or as an empty
 * packet over Ethernet, and a read succeeds with the value 0.
 * @{
 */

/**
 * @brief Loads a counter.
 *
 * @param[in] handle  An open controller.
 * @param[in] counter Write counter number, 0 to 5.
 * @param[in] value   The value.
 * @retval ZPX_STATUS_OK          Loaded.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     The request to the controller failed.
 */
ZPX_API uint32_t ZPX_WriteCtrlCounter(ZPX_Handle handle, uint32_t counter, uint32_t value);

/**
 * @brief Reads a counter.
 *
 * @param[in]  handle  An open controller.
 * @param[in]  counter Read counter number, 0 to 2.
 * @param[out] value   Receives the value (0 first, and 0 for a counter the back-end does not
 *                     know).
 * @retval ZPX_STATUS_OK          Stored.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     @p value is null, or the request to the controller failed.
 */
ZPX_API uint32_t ZPX_ReadCtrlCounter(ZPX_Handle handle, uint32_t counter, uint32_t* value);

/**
 * @brief Loads a counter, as ZPX_WriteCtrlCounter() does.
 *
 * @param[in] handle  An open controller.
 * @param[in] ignored Accepted and ignored.
 * @param[in] counter Write counter number, 0 to 5.
 * @param[in] value   The value.
 * @retval ZPX_STATUS_OK          Loaded.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     The request to the controller failed.
 */
ZPX_API uint32_t ZPX_WriteCounter(ZPX_Handle handle, uint32_t ignored, uint32_t counter,
                                  uint32_t value);

/**
 * @brief Reads a counter, as ZPX_ReadCtrlCounter() does.
 *
 * @param[in]  handle  An open controller.
 * @param[in]  ignored Accepted and ignored.
 * @param[in]  counter Read counter number, 0 to 2.
 * @param[out] value   Receives the value.
 * @retval ZPX_STATUS_OK          Stored.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     @p value is null, or the request to the controller failed.
 */
ZPX_API uint32_t ZPX_ReadCounter(ZPX_Handle handle, uint32_t ignored, uint32_t counter,
                                 uint32_t* value);

/** @} */

/**
 * @defgroup zpx_identity Controller identity and memory sizes
 * @brief Logic revision, flash code, serial numbers, memory sizes, wait time and the board test.
 *
 * These report 1 when the controller cannot be read (ZPX_BoardValid(): 10) and 10 for a null
 * output. A serial ROM holds eight bytes checked with CRC-8/MAXIM; one that fails its check reads
 * as 0 and 0 with success. Serial numbers are read from the ROM on every call: low holds ROM
 * bytes 0 to 3, high bytes 4 to 7, the first byte in the lowest bits.
 * @{
 */

/**
 * @brief Reports the size of one of the controller's memories.
 *
 * The size comes from a table chosen by the controller type and, on the 51x4 family, the flash
 * code, which the first call reads from the controller.
 *
 * @param[in]  handle     An open controller.
 * @param[in]  memoryKind Memory number, 0 to 5; another has size 0.
 * @param[out] size       Receives the size in bytes (0: the controller has no such memory).
 * @retval ZPX_STATUS_OK          Stored.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_FAILED      The flash code could not be read.
 * @retval ZPX_STATUS_INVALID     @p size is null.
 */
ZPX_API uint32_t ZPX_GetMemorySize(ZPX_Handle handle, int32_t memoryKind, uint32_t* size);

/**
 * @brief Reports the revision of the controller's EPLD logic.
 *
 * A nonzero revision is kept by the session and not read again.
 *
 * @param[in]  handle   An open controller.
 * @param[out] revision Receives the revision, 0 to 15.
 * @retval ZPX_STATUS_OK          Stored.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_FAILED      The controller could not be read.
 * @retval ZPX_STATUS_INVALID     @p revision is null.
 */
ZPX_API uint32_t ZPX_GetControllerEPLD(ZPX_Handle handle, uint32_t* revision);

/**
 * @brief Reports the controller's flash code.
 *
 * A nonzero flash code already known to the session is reported without reading it again.
 *
 * @param[in]  handle An open controller.
 * @param[out] code   Receives the flash code, one byte.
 * @retval ZPX_STATUS_OK          Stored.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_FAILED      The controller could not be read.
 * @retval ZPX_STATUS_INVALID     @p code is null.
 */
ZPX_API uint32_t ZPX_GetControllerFlash(ZPX_Handle handle, uint32_t* code);

/**
 * @brief Reports the controller's wait time: 640 for the 5120 family, 1000 for any other type.
 *
 * The flash code is read first when the session does not know it yet. The unit is the
 * controller's.
 *
 * @param[in]  handle   An open controller.
 * @param[out] waitTime Receives the wait time.
 * @retval ZPX_STATUS_OK          Stored.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_FAILED      The flash code could not be read; nothing stored.
 * @retval ZPX_STATUS_INVALID     @p waitTime is null.
 */
ZPX_API uint32_t ZPX_GetCntrWaitTime(ZPX_Handle handle, uint32_t* waitTime);

/**
 * @brief Reads the controller's own serial ROM (about 100 ms).
 *
 * @param[in]  handle An open controller.
 * @param[out] high   Receives ROM bytes 4 to 7 (0 when the ROM fails its check).
 * @param[out] low    Receives ROM bytes 0 to 3 (0 when the ROM fails its check).
 * @retval ZPX_STATUS_OK          Stored.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_FAILED      The controller could not be read.
 * @retval ZPX_STATUS_INVALID     @p high or @p low is null.
 */
ZPX_API uint32_t ZPX_GetControllerSerialNumber(ZPX_Handle handle, uint32_t* high, uint32_t* low);

/**
 * @brief Reads the transceiver's serial ROM (about 130 ms).
 *
 * @param[in]  handle An open controller.
 * @param[out] high   Receives ROM bytes 4 to 7 (0 when the ROM fails its check).
 * @param[out] low    Receives ROM bytes 0 to 3 (0 when the ROM fails its check).
 * @retval ZPX_STATUS_OK          Stored.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_FAILED      The controller could not be read.
 * @retval ZPX_STATUS_INVALID     @p high or @p low is null.
 */
ZPX_API uint32_t ZPX_GetTransceiverSerialNumber(ZPX_Handle handle, uint32_t* high, uint32_t* low);

/**
 * @brief Reads the serial ROM of one pod.
 *
 * A pod that never answers holds the session for about 2.6 s before the call fails.
 *
 * @param[in]  handle An open controller.
 * @param[in]  pod    Pod number, 0 to 3.
 * @param[out] high   Receives ROM bytes 4 to 7 (0 when the ROM fails its check).
 * @param[out] low    Receives ROM bytes 0 to 3, byte 0 being 1 (0 when the ROM fails its
 *                    check).
 * @retval ZPX_STATUS_OK          Stored.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_FAILED      The controller could not be read, or the pod's ROM did not
 *                                answer.
 * @retval ZPX_STATUS_INVALID     @p pod is above 3, or @p high or @p low is null; nothing sent.
 */
ZPX_API uint32_t ZPX_GetPodSerialNumber(ZPX_Handle handle, uint32_t pod, uint32_t* high,
                                        uint32_t* low);

/**
 * @brief Runs the board test on the upper four bits of the clock's range register.
 *
 * The test writes the bits and reads them back; the clock setting in the lower four bits is
 * written back unchanged.
 *
 * @param[in]  handle  An open controller.
 * @param[in]  ignored Accepted and ignored.
 * @param[out] verdict Receives 0 when the bits came back rotated left by one (the board's
 *                     answer), 2 when they came back inverted, 1 for anything else.
 * @retval ZPX_STATUS_OK          Stored.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     @p verdict is null, or the register could not be read or
 *                                written.
 */
ZPX_API uint32_t ZPX_BoardValid(ZPX_Handle handle, uint32_t ignored, uint32_t* verdict);

/** @} */

/**
 * @defgroup zpx_clock Clock
 * @brief Limits, setting, checking and reading back the test-clock frequency.
 *
 * Frequencies are in kHz. The 5120 family runs from 100 kHz to 25 MHz on a 100 kHz grid (a
 * request is rounded down to it); the 51x4 family runs from 1 kHz to 40 MHz from a synthesizer
 * of 200 kHz steps followed by a divider by a power of two, the request rounded down to the step
 * of its divider. Programming arms a 250 ms settle that ZPX_StartController() and
 * ZPX_CloseController() wait for.
 *
 * ZPX_SetCtrlFrequency() and ZPX_CheckCtrlFrequency() refuse a frequency below the controller's
 * minimum with 11 and clamp one above its maximum; the Check form writes nothing, and arms
 * nothing, when the clock already runs at the setting. @p option (0 or 1) is stored with the
 * setting.
 * @{
 */

/**
 * @brief Reports the frequency limits of the controller type; nothing is read from the
 *        controller.
 *
 * @param[in]  handle     An open controller.
 * @param[out] minimumKhz Receives the lowest frequency, kHz: 100 (5120 family), 1 (51x4 family),
 *                        0xFFFFFFFF (-1) for an unknown controller type.
 * @param[out] maximumKhz Receives the highest frequency, kHz: 25000 (5120 family), 40000 (51x4
 *                        family), 0xFFFFFFFF (-1) for an unknown controller type.
 * @retval ZPX_STATUS_OK          Stored.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     @p minimumKhz or @p maximumKhz is null.
 */
ZPX_API uint32_t ZPX_GetFrequencyRange(ZPX_Handle handle, uint32_t* minimumKhz,
                                       uint32_t* maximumKhz);

/**
 * @brief Programs the test clock.
 *
 * The accepted frequency (after clamping) becomes the session's clock for its settle times, even
 * when programming it then fails.
 *
 * @param[in] handle An open controller.
 * @param[in] option 0 or 1, stored with the setting (on the 51x4 family, 1 replaces the divider
 *                   setting, and the frequency then read back is the synthesizer's divided by
 *                   128); its effect on the clock is the controller's.
 * @param[in] khz    Frequency in kHz; above the controller's maximum it is clamped to it.
 * @retval ZPX_STATUS_OK            Programmed.
 * @retval ZPX_STATUS_NULL_HANDLE   @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY          Another call on @p handle is running.
 * @retval ZPX_STATUS_NOT_AVAILABLE @p khz is below the controller's minimum; nothing changed.
 * @retval ZPX_STATUS_INVALID       Programming failed, or the controller type has no clock.
 */
ZPX_API uint32_t ZPX_SetCtrlFrequency(ZPX_Handle handle, uint32_t option, int32_t khz);

/**
 * @brief Programs the test clock unless it already runs at the setting.
 *
 * Reads both clock registers first and writes them only when they differ from the setting.
 *
 * @param[in] handle An open controller.
 * @param[in] option 0 or 1, stored with the setting and compared with the one in force.
 * @param[in] khz    Frequency in kHz; above the controller's maximum it is clamped to it.
 * @retval ZPX_STATUS_OK            In force, or programmed.
 * @retval ZPX_STATUS_NULL_HANDLE   @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY          Another call on @p handle is running.
 * @retval ZPX_STATUS_NOT_AVAILABLE @p khz is below the controller's minimum; nothing changed.
 * @retval ZPX_STATUS_INVALID       Reading or programming failed, or the controller type has no
 *                                  clock.
 */
ZPX_API uint32_t ZPX_CheckCtrlFrequency(ZPX_Handle handle, uint32_t option, int32_t khz);

/**
 * @brief Reads the test-clock frequency in force back from the controller.
 *
 * @param[in]  handle An open controller.
 * @param[out] khz    Receives the frequency in whole kHz, rounded down (10 kHz requested on the
 *                    51x4 family reads back as 9); 0 when the call fails.
 * @retval ZPX_STATUS_OK          Stored.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     @p khz is null, the clock registers could not be read, or the
 *                                controller type has no clock.
 */
ZPX_API uint32_t ZPX_GetCurrentFrequency(ZPX_Handle handle, uint32_t* khz);

/**
 * @brief Programs the test clock within the limits of a device information record.
 *
 * The frequency is compared with the record's MinFrequencyKhz and MaxFrequencyKhz (both
 * inclusive) and then programmed as khz * 1000 Hz. The session's own limits are not applied and
 * the frequency it keeps for its settle times is not changed.
 *
 * @param[in] handle An open controller.
 * @param[in] info   Record whose clock range applies.
 * @param[in] option 0 or 1, stored with the setting.
 * @param[in] khz    Frequency in kHz, like every other clock export.
 * @retval ZPX_STATUS_OK            Programmed.
 * @retval ZPX_STATUS_NULL_HANDLE   @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY          Another call on @p handle is running.
 * @retval ZPX_STATUS_NOT_AVAILABLE @p khz is outside the record's limits; nothing written.
 * @retval ZPX_STATUS_INVALID       @p info is null, or the record lets through a frequency no
 *                                  generator can take (0 or less, above 2147483 kHz), both with
 *                                  nothing written; or programming failed.
 */
ZPX_API uint32_t ZPX_SetFrequency(ZPX_Handle handle, const ZPX_DeviceInfo* info, uint32_t option,
                                  int32_t khz);

/**
 * @brief Programs the test clock within the limits of a device information record unless it
 *        already runs at the setting.
 *
 * @param[in] handle An open controller.
 * @param[in] info   Record whose clock range applies.
 * @param[in] option 0 or 1, stored with the setting and compared with the one in force.
 * @param[in] khz    Frequency in kHz.
 * @retval ZPX_STATUS_OK            In force, or programmed.
 * @retval ZPX_STATUS_NULL_HANDLE   @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY          Another call on @p handle is running.
 * @retval ZPX_STATUS_NOT_AVAILABLE @p khz is outside the record's limits; nothing written.
 * @retval ZPX_STATUS_INVALID       @p info is null, or the record lets through a frequency no
 *                                  generator can take (0 or less, above 2147483 kHz), both with
 *                                  nothing written; or reading or programming failed.
 */
ZPX_API uint32_t ZPX_CheckFrequency(ZPX_Handle handle, const ZPX_DeviceInfo* info, uint32_t option,
                                    int32_t khz);

/** @} */

/**
 * @defgroup zpx_network Network settings, versions and image updates
 * @brief The network settings, firmware and FPGA versions and image updates of 51x4-family
 *        controllers.
 *
 * For the 51x4-family controllers that keep them: over Ethernet and USB every item; FireWire
 * carries no configuration items (3) and takes an image update as an announcement only. The IP
 * address is the controller's u32 as it stands; the MAC address two u32 in argument order. Every
 * failure of an item, a busy session, a controller of the 5120 family and ISA, PCI and VXI
 * sessions give 3 (with nothing sent); a null output gives 10. On failure the outputs are not
 * written. A new setting takes effect as the controller's firmware decides; the library neither
 * reconnects nor changes the address it talks to.
 * @{
 */

/**
 * @brief Sets the controller's IP address.
 *
 * @param[in] handle  An open controller.
 * @param[in] address The address, sent as given.
 * @retval ZPX_STATUS_OK          Sent.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running, the controller or its
 *                                back-end keeps no network settings, or sending failed.
 */
ZPX_API uint32_t ZPX_SetIpAddress(ZPX_Handle handle, uint32_t address);

/**
 * @brief Sets the controller's MAC address.
 *
 * @param[in] handle An open controller.
 * @param[in] first  First part of the address, sent as given.
 * @param[in] second Second part of the address, sent as given.
 * @retval ZPX_STATUS_OK          Sent.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running, the controller or its
 *                                back-end keeps no network settings, or sending failed.
 */
ZPX_API uint32_t ZPX_SetMACAddress(ZPX_Handle handle, uint32_t first, uint32_t second);

/**
 * @brief Sets the controller's DHCP flag.
 *
 * @param[in] handle An open controller.
 * @param[in] flag   The flag, sent as given.
 * @retval ZPX_STATUS_OK          Sent.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running, the controller or its
 *                                back-end keeps no network settings, or sending failed.
 */
ZPX_API uint32_t ZPX_SetDHCP(ZPX_Handle handle, uint32_t flag);

/**
 * @brief Reads the controller's IP address.
 *
 * @param[in]  handle  An open controller.
 * @param[out] address Receives the address as the controller keeps it.
 * @retval ZPX_STATUS_OK          Stored.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running, the controller or its
 *                                back-end keeps no network settings, or the exchange failed.
 * @retval ZPX_STATUS_INVALID     @p address is null.
 */
ZPX_API uint32_t ZPX_GetIpAddress(ZPX_Handle handle, uint32_t* address);

/**
 * @brief Reads the controller's MAC address.
 *
 * @param[in]  handle An open controller.
 * @param[out] first  Receives the first part of the address.
 * @param[out] second Receives the second part of the address.
 * @retval ZPX_STATUS_OK          Stored.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running, the controller or its
 *                                back-end keeps no network settings, or the exchange failed.
 * @retval ZPX_STATUS_INVALID     @p first or @p second is null.
 */
ZPX_API uint32_t ZPX_GetMACAddress(ZPX_Handle handle, uint32_t* first, uint32_t* second);

/**
 * @brief Reads the controller's DHCP flag.
 *
 * @param[in]  handle An open controller.
 * @param[out] flag   Receives the flag as the controller keeps it.
 * @retval ZPX_STATUS_OK          Stored.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running, the controller or its
 *                                back-end keeps no network settings, or the exchange failed.
 * @retval ZPX_STATUS_INVALID     @p flag is null.
 */
ZPX_API uint32_t ZPX_GetDHCP(ZPX_Handle handle, uint32_t* flag);

/**
 * @brief Reads the version of the controller's FPGA logic.
 *
 * @param[in]  handle  An open controller.
 * @param[out] version Receives the version as the controller reports it.
 * @retval ZPX_STATUS_OK          Stored.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running, the controller or its
 *                                back-end keeps no network settings, or the exchange failed.
 * @retval ZPX_STATUS_INVALID     @p version is null.
 */
ZPX_API uint32_t ZPX_GetFPGAVersion(ZPX_Handle handle, uint32_t* version);

/**
 * @brief Reads the version of the controller's firmware.
 *
 * @param[in]  handle  An open controller.
 * @param[out] version Receives the version as the controller reports it.
 * @retval ZPX_STATUS_OK          Stored.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running, the controller or its
 *                                back-end keeps no network settings, or the exchange failed.
 * @retval ZPX_STATUS_INVALID     @p version is null.
 */
ZPX_API uint32_t ZPX_GetFirmwareVersion(ZPX_Handle handle, uint32_t* version);

/**
 * @brief Loads a new firmware image into the controller.
 *
 * A 12-byte header (the image kind, the length, a CRC-16 over the image's whole 32-bit words
 * and the two caller bytes) goes first, then the image: over USB in pieces, after which the
 * controller's verdict is read; over Ethernet in one stream, after which the library waits a
 * second and then tries up to 50 times, a second apart, to receive the verdict, each try waiting
 * up to about 20 s, so that the call can hold the session for many minutes. A FireWire
 * controller receives a 12-byte announcement only (the image is not sent), and the call returns
 * 0 once it is sent.
 *
 * @param[in] handle  An open controller.
 * @param[in] length  Length of the image in bytes.
 * @param[in] ignored Accepted and ignored.
 * @param[in] first   First caller byte of the header, interpreted by the controller's firmware.
 * @param[in] second  Second caller byte of the header, interpreted by the controller's firmware.
 * @param[in] image   The @p length bytes of the image.
 * @return #ZPX_STATUS_OK (0) when the controller accepted the image; #ZPX_STATUS_FAILED (1) for
 *         a transport failure; #ZPX_STATUS_NULL_HANDLE (2) when @p handle is null or names no
 *         open controller; #ZPX_STATUS_BUSY (3) when another call on @p handle is running or the
 *         controller or its back-end takes no images (nothing sent); #ZPX_STATUS_INVALID (10)
 *         when @p image is null and @p length is not 0 (nothing sent; an empty image travels as
 *         its header alone); otherwise the controller's own nonzero verdict, unchanged.
 */
ZPX_API uint32_t ZPX_UpdateFirmware(ZPX_Handle handle, uint32_t length, uint32_t ignored,
                                    uint8_t first, uint8_t second, const uint8_t* image);

/**
 * @brief Loads a new FPGA image into the controller, as ZPX_UpdateFirmware() loads a firmware
 *        image.
 *
 * @param[in] handle  An open controller.
 * @param[in] length  Length of the image in bytes.
 * @param[in] ignored Accepted and ignored.
 * @param[in] first   First caller byte of the header, interpreted by the controller's firmware.
 * @param[in] second  Second caller byte of the header, interpreted by the controller's firmware.
 * @param[in] image   The @p length bytes of the image.
 * @return #ZPX_STATUS_OK (0) when the controller accepted the image; #ZPX_STATUS_FAILED (1) for
 *         a transport failure; #ZPX_STATUS_NULL_HANDLE (2) when @p handle is null or names no
 *         open controller; #ZPX_STATUS_BUSY (3) when another call on @p handle is running or the
 *         controller or its back-end takes no images (nothing sent); #ZPX_STATUS_INVALID (10)
 *         when @p image is null and @p length is not 0 (nothing sent; an empty image travels as
 *         its header alone); otherwise the controller's own nonzero verdict, unchanged.
 */
ZPX_API uint32_t ZPX_UpdateFPGA(ZPX_Handle handle, uint32_t length, uint32_t ignored, uint8_t first,
                                uint8_t second, const uint8_t* image);

/** @} */

/**
 * @defgroup zpx_pod Pod power and activation
 * @brief Powering, identifying and activating the pod, and resetting the controller.
 *
 * ZPX_SetPodPowerOn() powers a pod of the 51x4 family up in two steps (about 0.7 s), then
 * identifies the pod and its TAPs. Failures give 1 (ZPX_ResetSystem() and ZPX_SwitchOffBoard():
 * 10). A null output or DeviceInfo gives 10 with nothing sent (ZPX_PodActivated(): 2).
 * ZPX_ResetController() is the same entry point as ZPX_ResetSystem().
 * @{
 */

/**
 * @brief Powers the pod up and identifies it and its TAPs.
 *
 * On the 51x4 family, unless the pod is already powered, register 0x0B is written 1, then after
 * 400 ms 3, and a 300 ms settle is armed, which the identification in the same call waits for.
 * The 5120 family only identifies. An identified pod (type 1 to 3) sets bit 5 of register 1.
 *
 * @param[in] handle An open controller.
 * @retval ZPX_STATUS_OK          Powered and identified.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_FAILED      A register access or the identification failed; steps already
 *                                taken are not undone.
 */
ZPX_API uint32_t ZPX_SetPodPowerOn(ZPX_Handle handle);

/**
 * @brief Reads the pod's power state and identifies a powered pod again.
 *
 * @param[in]  handle An open controller.
 * @param[out] state  Receives 1 when a 51x4-family controller reports its pod unpowered (the call
 *                    then ends there); otherwise 0, and the pod and its TAPs are identified
 *                    again.
 * @retval ZPX_STATUS_OK          Stored.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_FAILED      A register access or the identification failed.
 * @retval ZPX_STATUS_INVALID     @p state is null; nothing sent.
 */
ZPX_API uint32_t ZPX_PodPowered(ZPX_Handle handle, uint32_t* state);

/**
 * @brief Powers the pod off.
 *
 * Below a 100 kHz test clock the call first waits 5 ms. On the 51x4 family register 0x0B is
 * written 0 and the session forgets the pod type and TAP types. Bit 5 of register 1 is cleared.
 *
 * @param[in] handle An open controller.
 * @retval ZPX_STATUS_OK          Done.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_FAILED      A register write failed.
 */
ZPX_API uint32_t ZPX_SetPodPowerOff(ZPX_Handle handle);

/**
 * @brief Activates the pod.
 *
 * Sets bit 5 of register 1 for @p mode 1 or an identified pod (and clears it otherwise), sets
 * the pod-active bit 0 of register 2, then loads and runs the pod start-up program (up to 10 s):
 * on the 5120 family always (a pod of type 0 through a full controller reset), on the 51x4
 * family when its flash code can be read and is below 0xB3.
 *
 * @param[in] handle An open controller.
 * @param[in] mode   1 sets bit 5 of register 1 whatever the pod; other values leave it to the
 *                   pod type.
 * @retval ZPX_STATUS_OK          Activated.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_FAILED      A register access, the reset or the start-up program failed.
 */
ZPX_API uint32_t ZPX_ActivatePod(ZPX_Handle handle, uint32_t mode);

/**
 * @brief Reports whether the pod is active.
 *
 * @param[in]  handle An open controller.
 * @param[out] active Receives 1 when active, 0 when not: on the 51x4 family bit 6 of register
 *                    0x0B, on the 5120 family the session's pod-active bit (nothing is read).
 * @retval ZPX_STATUS_OK          Stored.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller, or @p active is
 *                                null (found before the busy test).
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_FAILED      Register 0x0B could not be read.
 */
ZPX_API uint32_t ZPX_PodActivated(ZPX_Handle handle, uint32_t* active);

/**
 * @brief Deactivates the pod: writes 0 to register 2 (TAP enables and learn mode included).
 *
 * @param[in] handle An open controller.
 * @retval ZPX_STATUS_OK          Done.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_FAILED      Register 2 could not be written.
 */
ZPX_API uint32_t ZPX_DeActivatePod(ZPX_Handle handle);

/**
 * @brief Powers the pod up as a device information record describes it.
 *
 * A record of a 5120-family controller needs nothing. For the 51x4 family, unless the pod is
 * powered already, register 0x0B is written 1, then after 300 ms 3, and the record's PodKind is
 * read from the controller. Register 1 is written whole: 0x20 (the pod bit) when @p mode is 1 or
 * the record's PodKind is 1 or 2, otherwise 0. No settle is armed, and the session's pod and TAP
 * types are not touched.
 *
 * @param[in]     handle An open controller.
 * @param[in,out] info   Record whose ControllerKind and PodKind apply; PodKind is updated.
 * @param[in]     mode   1 sets the pod bit of register 1 whatever the pod.
 * @retval ZPX_STATUS_OK          Powered, or nothing to do.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_FAILED      A register access or the pod-kind read failed, or the record's
 *                                controller kind is unknown.
 * @retval ZPX_STATUS_INVALID     @p info is null; nothing sent.
 */
ZPX_API uint32_t ZPX_EnablePod(ZPX_Handle handle, ZPX_DeviceInfo* info, uint32_t mode);

/**
 * @brief Powers the pod off as a device information record describes it: register 0x0B is
 *        written 0 for a 51x4-family controller; otherwise nothing is sent.
 *
 * @param[in] handle An open controller.
 * @param[in] info   Record whose ControllerKind applies.
 * @retval ZPX_STATUS_OK          Done.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_FAILED      Register 0x0B could not be written.
 * @retval ZPX_STATUS_INVALID     @p info is null; nothing sent.
 */
ZPX_API uint32_t ZPX_DisablePod(ZPX_Handle handle, const ZPX_DeviceInfo* info);

/**
 * @brief Resets the controller's logic and runs the pod start-up program.
 *
 * Writes register 0 with 0, 1 and 0, arms a 500 ms settle (which ZPX_StartController() and the
 * TAP pin exports wait for), waits 200 ms, and runs the start-up program (up to 10 s). The
 * session then forgets the pod type and keeps only the pod bits of its register copies.
 *
 * @param[in] handle An open controller.
 * @retval ZPX_STATUS_OK          Done.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     A register access or the start-up program failed.
 */
ZPX_API uint32_t ZPX_ResetSystem(ZPX_Handle handle);

/**
 * @brief The same entry point as ZPX_ResetSystem(), under a second name.
 *
 * @param[in] handle An open controller.
 * @retval ZPX_STATUS_OK          Done.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     A register access or the start-up program failed.
 */
ZPX_API uint32_t ZPX_ResetController(ZPX_Handle handle);

/**
 * @brief Switches the board's pod signals off: clears the pod-active bit 0 and the TAP enables
 *        7..4 of register 2, keeping bits 3..1. The session's copy is not changed.
 *
 * @param[in] handle An open controller.
 * @retval ZPX_STATUS_OK          Done.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     Register 2 could not be read or written.
 */
ZPX_API uint32_t ZPX_SwitchOffBoard(ZPX_Handle handle);

/** @} */

/**
 * @defgroup zpx_extender Pod extender
 * @brief The extender mode of pods of type 2 and 3, which changes how their TAPs identify
 *        themselves.
 * @{
 */

/**
 * @brief Switches the pod's extender mode.
 *
 * Nothing is sent when the mode is the one the session recorded last.
 *
 * @param[in] handle An open controller.
 * @param[in] mode   The extender mode, as the pod takes it.
 * @retval ZPX_STATUS_OK            Switched, or already in force.
 * @retval ZPX_STATUS_NULL_HANDLE   @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY          Another call on @p handle is running.
 * @retval ZPX_STATUS_NOT_AVAILABLE The pod is not of type 2 or 3; nothing sent.
 * @retval ZPX_STATUS_FAILED        The extender command failed.
 */
ZPX_API uint32_t ZPX_SetPodExtenderMode(ZPX_Handle handle, uint32_t mode);

/**
 * @brief Reports the pod's extender mode; nothing is read from the controller.
 *
 * @param[in]  handle An open controller.
 * @param[out] mode   Receives 0 for a pod of type 0, 1 for type 1, and the mode last switched to
 *                    for types 2 and 3.
 * @retval ZPX_STATUS_OK            Stored.
 * @retval ZPX_STATUS_NULL_HANDLE   @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY          Another call on @p handle is running.
 * @retval ZPX_STATUS_NOT_AVAILABLE The pod is not identified (type -2 or -1); nothing stored.
 * @retval ZPX_STATUS_INVALID       @p mode is null.
 */
ZPX_API uint32_t ZPX_GetPodExtenderMode(ZPX_Handle handle, uint32_t* mode);

/** @} */

/**
 * @defgroup zpx_tap_voltages TAP voltages and TAP information
 * @brief Output and threshold voltages of the TAPs: through the session's TAP list, or directly
 *        with a device information record.
 *
 * Voltages in tenths of a volt (ZPX_AddNewTapInfoMillivolt(): millivolts). TAP numbers are 1 to
 * 4 (0 = every TAP for the add exports); ZPX_GetTapInfo() takes the TAP index 0 to 3. A voltage
 * out of range gives 12. A null request or output gives 10 with nothing sent (a null DeviceInfo:
 * 2). A TAP of type 0 or 1 takes outputs of 10 to 36 (1.0 V to 3.6 V) and thresholds of 0 to 41;
 * a pod of type 0 has no voltage per TAP but chooses one of two fixed outputs, 33 or 50, for all
 * four. A voltage change arms a 150 ms settle that ZPX_StartController() and the TAP pin exports
 * wait for.
 * @{
 */

/**
 * @brief Enters a TAP's voltages in the session's TAP list, which ZPX_SetTapVoltageEx() applies.
 *
 * A TAP keeps one entry: entering it again replaces its voltages. By pod type:
 * - type 0: @p tap must be 0 and the output 33 or 50; all four TAPs get it, the threshold stored
 *   unchanged;
 * - types 1 and 2: one TAP, or with @p tap 0 every TAP of type 0 or 1 (an output of 50 then
 *   counts as 36); the first TAP out of range ends the call, the TAPs before it stay entered;
 * - any other pod type (not yet identified, type 3): nothing is entered and the call succeeds.
 *
 * @param[in] handle    An open controller.
 * @param[in] tap       TAP number 1 to 4, or 0 for every TAP.
 * @param[in] output    Output voltage, tenths of a volt.
 * @param[in] threshold Threshold voltage, tenths of a volt, or #ZPX_DEFAULT_THRESHOLD.
 * @retval ZPX_STATUS_OK            Entered (or nothing to enter).
 * @retval ZPX_STATUS_NULL_HANDLE   @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY          Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID       The TAP is beyond the pod's TAPs, or its type takes no
 *                                  voltages.
 * @retval ZPX_STATUS_NOT_AVAILABLE A single TAP on a pod of type 0.
 * @retval ZPX_STATUS_OUT_OF_RANGE  A voltage is out of range.
 * @retval ZPX_STATUS_FAILED        The entry could not be made (out of memory).
 */
ZPX_API uint32_t ZPX_AddNewTapInfo(ZPX_Handle handle, uint32_t tap, int32_t output,
                                   int32_t threshold);

/**
 * @brief Enters a TAP's voltages in millivolts, as ZPX_AddNewTapInfo() does in tenths of a volt.
 *
 * The voltages are divided by 100, rounded toward zero (3349 mV enters 33).
 *
 * @param[in] handle      An open controller.
 * @param[in] tap         TAP number 1 to 4, or 0 for every TAP.
 * @param[in] outputMv    Output voltage, millivolts.
 * @param[in] thresholdMv Threshold voltage, millivolts, or #ZPX_DEFAULT_THRESHOLD.
 * @retval ZPX_STATUS_OK            Entered (or nothing to enter).
 * @retval ZPX_STATUS_NULL_HANDLE   @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY          Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID       The TAP is beyond the pod's TAPs, or its type takes no
 *                                  voltages.
 * @retval ZPX_STATUS_NOT_AVAILABLE A single TAP on a pod of type 0.
 * @retval ZPX_STATUS_OUT_OF_RANGE  A voltage is out of range.
 * @retval ZPX_STATUS_FAILED        The entry could not be made (out of memory).
 */
ZPX_API uint32_t ZPX_AddNewTapInfoMillivolt(ZPX_Handle handle, uint32_t tap, int32_t outputMv,
                                            int32_t thresholdMv);

/**
 * @brief Reports the voltages entered in the session's TAP list for a TAP.
 *
 * @param[in]  handle    An open controller.
 * @param[in]  tapIndex  TAP index 0 to 3 (the TAP number less one).
 * @param[out] output    Receives the output voltage, tenths of a volt.
 * @param[out] threshold Receives the threshold voltage, tenths of a volt (on a pod of type 0 as
 *                       entered, #ZPX_DEFAULT_THRESHOLD included).
 * @retval ZPX_STATUS_OK          Stored.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     No entry for @p tapIndex, or @p output or @p threshold is null.
 */
ZPX_API uint32_t ZPX_GetTapInfo(ZPX_Handle handle, int32_t tapIndex, uint32_t* output,
                                uint32_t* threshold);

/**
 * @brief Applies the session's TAP list to the pod.
 *
 * An empty list sends nothing. On a pod of type 0 the first entry's output chooses the fixed
 * voltage (33: bit 5 of register 1 cleared; otherwise set). On other pods each entry's voltages
 * go to its TAP in list order, and a 150 ms settle is armed.
 *
 * @param[in] handle An open controller.
 * @retval ZPX_STATUS_OK          Applied.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_FAILED      A voltage frame failed; the entries before it are applied.
 */
ZPX_API uint32_t ZPX_SetTapVoltageEx(ZPX_Handle handle);

/**
 * @brief Reads a TAP's voltages back from the pod.
 *
 * @param[in]  handle    An open controller.
 * @param[in]  tap       TAP number, 1 to 4.
 * @param[out] output    Receives the output voltage, tenths of a volt, rounded down.
 * @param[out] threshold Receives the threshold voltage, tenths of a volt, rounded down.
 * @retval ZPX_STATUS_OK          Stored.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     The TAP's type is not 0 or 1 (or unknown), the read-back
 *                                failed, or @p output or @p threshold is null.
 */
ZPX_API uint32_t ZPX_GetTapVoltageEx(ZPX_Handle handle, uint32_t tap, uint32_t* output,
                                     uint32_t* threshold);

/**
 * @brief Sets TAP voltages directly, within the ranges of a device information record.
 *
 * For each TAP the request selects, the output must lie within the record's MinOutputVoltage
 * and MaxOutputVoltage (the threshold is not checked); TAPs whose TapState is 0 (present) are
 * set, others skipped. Then a 150 ms settle is armed.
 *
 * @param[in] handle  An open controller.
 * @param[in] info    Record whose PodKind, TapState and output range apply.
 * @param[in] request TAPs and their voltages, tenths of a volt.
 * @retval ZPX_STATUS_OK            Set.
 * @retval ZPX_STATUS_NULL_HANDLE   @p handle is null or names no open controller, or @p info is
 *                                  null (found before the busy test).
 * @retval ZPX_STATUS_BUSY          Another call on @p handle is running.
 * @retval ZPX_STATUS_FAILED        Register 2 could not be read.
 * @retval ZPX_STATUS_NOT_AVAILABLE The record's PodKind is not 1.
 * @retval ZPX_STATUS_OUT_OF_RANGE  An output is outside the record's range; the TAPs before it
 *                                  are set.
 * @retval ZPX_STATUS_INVALID       A voltage frame failed, or @p request is null (nothing sent).
 */
ZPX_API uint32_t ZPX_SetTapVoltage(ZPX_Handle handle, const ZPX_DeviceInfo* info,
                                   const ZPX_TapVoltageRequest* request);

/**
 * @brief Reads a TAP's voltages back from the pod, for a device information record.
 *
 * Neither the session's TAP types nor the record's TAP states are consulted.
 *
 * @param[in]  handle    An open controller.
 * @param[in]  info      Record whose PodKind applies.
 * @param[in]  tap       TAP number, 1 to 4.
 * @param[out] output    Receives the output voltage, tenths of a volt, rounded down.
 * @param[out] threshold Receives the threshold voltage, tenths of a volt, rounded down.
 * @retval ZPX_STATUS_OK            Stored.
 * @retval ZPX_STATUS_NULL_HANDLE   @p handle is null or names no open controller, or @p info is
 *                                  null (found before the busy test).
 * @retval ZPX_STATUS_BUSY          Another call on @p handle is running.
 * @retval ZPX_STATUS_NOT_AVAILABLE The record's PodKind is not 1.
 * @retval ZPX_STATUS_INVALID       The read-back failed, or @p output or @p threshold is null.
 */
ZPX_API uint32_t ZPX_GetTapVoltage(ZPX_Handle handle, const ZPX_DeviceInfo* info, uint32_t tap,
                                   uint32_t* output, uint32_t* threshold);

/** @} */

/**
 * @defgroup zpx_tap_pins TAP I/O pins and parallel mode
 * @brief The four spare I/O pins of each TAP, and the TAP parallel mode.
 *
 * Four pins per TAP, pin 0 in bit 0: a data nibble (the pins' values) and a control nibble (a
 * second bit per pin); the multi-TAP exports carry TAP index i in bits 4i..4i+3 and select TAPs
 * with a mask whose bit i stands for TAP index i. TAP numbers are 1 to 4; another gives 10 with
 * nothing sent. A null output or DeviceInfo gives 10 with nothing sent. The per-TAP exports first
 * wait for the settle times still running after a reset (500 ms), a voltage change (150 ms) and
 * the pod power-up (300 ms).
 * @{
 */

/**
 * @brief Sets a TAP's I/O pins.
 *
 * @param[in] handle  An open controller.
 * @param[in] tap     TAP number, 1 to 4.
 * @param[in] data    Data nibble (low four bits used).
 * @param[in] control Control nibble (low four bits used).
 * @retval ZPX_STATUS_OK          Set.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     No TAP types are known for @p tap, or the frame failed.
 * @retval ZPX_STATUS_FAILED      The TAP's type is not 0 or 1.
 */
ZPX_API uint32_t ZPX_SetTapIoPins(ZPX_Handle handle, uint32_t tap, uint32_t data, uint32_t control);

/**
 * @brief Reads a TAP's I/O pins.
 *
 * @param[in]  handle  An open controller.
 * @param[in]  tap     TAP number, 1 to 4.
 * @param[out] data    Receives the data nibble.
 * @param[out] control Receives the control nibble.
 * @retval ZPX_STATUS_OK          Stored.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     No TAP types are known for @p tap, the frame failed, or @p data
 *                                or @p control is null.
 * @retval ZPX_STATUS_FAILED      The TAP's type is not 0 or 1.
 */
ZPX_API uint32_t ZPX_GetTapIoPins(ZPX_Handle handle, uint32_t tap, uint32_t* data,
                                  uint32_t* control);

/**
 * @brief Drives the selected I/O pins of a TAP and reads what they held before, in one frame.
 *
 * Pins outside the mask keep their state.
 *
 * @param[in]  handle  An open controller.
 * @param[in]  tap     TAP number, 1 to 4 (checked before any wait).
 * @param[in]  mask    The pins to drive (low four bits used).
 * @param[in]  data    Data nibble for the selected pins.
 * @param[in]  control Control nibble for the selected pins.
 * @param[out] result  Receives the control bits of the selected pins as they were before the
 *                     exchange.
 * @retval ZPX_STATUS_OK            Stored.
 * @retval ZPX_STATUS_NULL_HANDLE   @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY          Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID       @p tap is outside 1 to 4, no TAP types are known for it, or
 *                                  @p result is null.
 * @retval ZPX_STATUS_NOT_AVAILABLE The TAP's type is not 0 or 1.
 * @retval ZPX_STATUS_FAILED        The frame failed.
 */
ZPX_API uint32_t ZPX_RWTapIoPins(ZPX_Handle handle, int32_t tap, uint32_t mask, uint32_t data,
                                 uint32_t control, uint32_t* result);

/**
 * @brief Sets the I/O pins of several TAPs, for a device information record.
 *
 * TAPs selected by @p tapMask whose TapState in the record is 0 (present) are set, in index
 * order; others are skipped. No settle time is waited for.
 *
 * @param[in] handle  An open controller.
 * @param[in] info    Record whose PodKind and TapState apply.
 * @param[in] tapMask Bit i selects TAP index i.
 * @param[in] data    Data nibbles, TAP index i in bits 4i..4i+3.
 * @param[in] control Control nibbles, TAP index i in bits 4i..4i+3.
 * @retval ZPX_STATUS_OK            Set.
 * @retval ZPX_STATUS_NULL_HANDLE   @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY          Another call on @p handle is running.
 * @retval ZPX_STATUS_NOT_AVAILABLE The record's PodKind is not 1.
 * @retval ZPX_STATUS_INVALID       A frame failed (the TAPs before it are set), or @p info is
 *                                  null.
 */
ZPX_API uint32_t ZPX_SetIoPins(ZPX_Handle handle, const ZPX_DeviceInfo* info, uint32_t tapMask,
                               uint32_t data, uint32_t control);

/**
 * @brief Reads the I/O pins of several TAPs, for a device information record.
 *
 * TAPs selected by @p tapMask whose TapState in the record is 0 (present) are read; the nibbles
 * of other TAPs are 0.
 *
 * @param[in]  handle  An open controller.
 * @param[in]  info    Record whose PodKind and TapState apply.
 * @param[in]  tapMask Bit i selects TAP index i.
 * @param[out] data    Receives the data nibbles, TAP index i in bits 4i..4i+3.
 * @param[out] control Receives the control nibbles, TAP index i in bits 4i..4i+3.
 * @retval ZPX_STATUS_OK            Stored.
 * @retval ZPX_STATUS_NULL_HANDLE   @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY          Another call on @p handle is running.
 * @retval ZPX_STATUS_NOT_AVAILABLE The record's PodKind is not 1.
 * @retval ZPX_STATUS_INVALID       A frame failed (the outputs hold the TAPs before it), or
 *                                  @p info, @p data or @p control is null.
 */
ZPX_API uint32_t ZPX_GetIoPins(ZPX_Handle handle, const ZPX_DeviceInfo* info, uint32_t tapMask,
                               uint32_t* data, uint32_t* control);

/**
 * @brief Puts a TAP into parallel mode, in which register 2 carries four signals to the TAP
 *        directly.
 *
 * @param[in] handle An open controller.
 * @param[in] tap    TAP number, 1 to 4.
 * @retval ZPX_STATUS_OK            Done.
 * @retval ZPX_STATUS_NULL_HANDLE   @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY          Another call on @p handle is running.
 * @retval ZPX_STATUS_NOT_AVAILABLE The pod is not identified (type 1 to 3); nothing sent.
 * @retval ZPX_STATUS_INVALID       @p tap is outside 1 to 4; nothing sent.
 * @retval ZPX_STATUS_FAILED        A register write failed.
 */
ZPX_API uint32_t ZPX_EnableTapParallelMode(ZPX_Handle handle, uint32_t tap);

/**
 * @brief Takes a TAP out of parallel mode and writes the session's copy of register 2 back.
 *
 * @param[in] handle An open controller.
 * @param[in] tap    TAP number, 1 to 4.
 * @retval ZPX_STATUS_OK            Done.
 * @retval ZPX_STATUS_NULL_HANDLE   @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY          Another call on @p handle is running.
 * @retval ZPX_STATUS_NOT_AVAILABLE The pod is not identified (type 1 to 3); nothing sent.
 * @retval ZPX_STATUS_INVALID       @p tap is outside 1 to 4; nothing sent.
 * @retval ZPX_STATUS_FAILED        A register write failed.
 */
ZPX_API uint32_t ZPX_DisableTapParallelMode(ZPX_Handle handle, uint32_t tap);

/**
 * @brief Writes four signals to the TAP in parallel mode and reads its answer.
 *
 * Register 2 is written with the value in bits 7..4 and bit 0 set, then read. Whether a TAP is
 * in parallel mode is not checked.
 *
 * @param[in]  handle An open controller.
 * @param[in]  value  The four signals (low four bits used).
 * @param[out] bit    Receives the TAP's answer, bit 0 of register 2.
 * @retval ZPX_STATUS_OK            Stored.
 * @retval ZPX_STATUS_NULL_HANDLE   @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY          Another call on @p handle is running.
 * @retval ZPX_STATUS_NOT_AVAILABLE The pod is not identified (type 1 to 3); nothing sent.
 * @retval ZPX_STATUS_FAILED        Register 2 could not be written or read.
 * @retval ZPX_STATUS_INVALID       @p bit is null.
 */
ZPX_API uint32_t ZPX_WriteTapParallelMode(ZPX_Handle handle, uint32_t value, uint32_t* bit);

/** @} */

/**
 * @defgroup zpx_device_info Device information
 * @brief Records that describe a controller and its pod, owned by the caller.
 *
 * ZPX_CreateDeviceInfo() returns a record the caller owns (status through *status, which may be
 * null) and gives back with ZPX_DestroyDeviceInfo(); ZPX_ExtractDeviceInfo() fills its pod part.
 * The controller kind comes from the kernel driver's identification: a session without a driver
 * that answers it (an older driver, Ethernet) describes a 5120-family controller, and the pod
 * part needs the driver's pod sense for such a record. Destroying a record this library did not
 * create, or one already destroyed, gives 10 and releases nothing.
 * @{
 */

/**
 * @brief Allocates a device information record and fills its controller part.
 *
 * Filled: ControllerKind, MemorySize and the clock range. PodKind and TapState read -1 and the
 * voltage ranges -1 until ZPX_ExtractDeviceInfo().
 *
 * Status codes stored in @p status:
 * - #ZPX_STATUS_OK (0): created.
 * - #ZPX_STATUS_NULL_HANDLE (2): @p handle is null or names no open controller.
 * - #ZPX_STATUS_BUSY (3): another call on @p handle is running.
 * - #ZPX_STATUS_FAILED (1): the record could not be allocated.
 * - #ZPX_STATUS_INVALID (10): filling it failed; the record is released.
 *
 * @param[in]  handle An open controller.
 * @param[out] status Receives 0 or one of the codes above; may be null.
 * @return The new record, to be released with ZPX_DestroyDeviceInfo(); null when the call
 *         failed.
 */
ZPX_API ZPX_DeviceInfo* ZPX_CreateDeviceInfo(ZPX_Handle handle, uint32_t* status);

/**
 * @brief Fills the pod part of a device information record: PodKind, TapState and the voltage
 *        ranges.
 *
 * May be repeated, for example after ZPX_EnablePod(). A TAP that cannot be read counts as
 * absent.
 *
 * @param[in]     handle An open controller.
 * @param[in,out] info   The record; its ControllerKind decides how the pod is sensed.
 * @retval ZPX_STATUS_OK          Filled.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_FAILED      A register access or the pod query failed; the pod part is as
 *                                it was.
 * @retval ZPX_STATUS_INVALID     @p info is null.
 */
ZPX_API uint32_t ZPX_ExtractDeviceInfo(ZPX_Handle handle, ZPX_DeviceInfo* info);

/**
 * @brief Releases a device information record.
 *
 * @param[in] handle An open controller.
 * @param[in] info   A record from ZPX_CreateDeviceInfo(), or null (accepted; nothing happens).
 * @retval ZPX_STATUS_OK          Released, or @p info is null.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     @p info is not a record of this library, or was released
 *                                already; nothing released.
 */
ZPX_API uint32_t ZPX_DestroyDeviceInfo(ZPX_Handle handle, ZPX_DeviceInfo* info);

/** @} */

/**
 * @defgroup zpx_info Controller information records
 * @brief Identity and configuration in bulk, and per-field getters on the pod and its TAPs.
 *
 * A null record pointer output gives 2, a null query 10. ZPX_GetTapType() answers TAP numbers 1 to
 * the number of TAPs and stores nothing otherwise (a null output included); the range getters
 * take a TAP index below that number, and give 10 for another index or a null output, as
 * ZPX_GetPodType() does for a null output.
 * @{
 */

/**
 * @brief Refreshes the session's information record and hands out a pointer to it.
 *
 * Every call refreshes the same record in place and returns the same pointer; the record and its
 * blocks stay valid until ZPX_CloseController(). A refresh reads the flash code (51x4 family,
 * the first time) and the clock registers; a memory size or frequency that cannot be read leaves
 * its valid bit clear or its value 0, and the call still succeeds. The record must not be read
 * while another call refreshes it or closes the session.
 *
 * @param[in]  handle An open controller.
 * @param[out] record Receives the record's address (null first, and null on failure).
 * @retval ZPX_STATUS_OK          Refreshed.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller, or @p record is
 *                                null (found before the busy test).
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_FAILED      The record could not be allocated.
 */
ZPX_API uint32_t ZPX_GetControllerInfo(ZPX_Handle handle, ZPX_ControllerInfoRecord** record);

/**
 * @brief Answers a query from a device information record, completed by reads from the
 *        controller.
 *
 * The valid mask and the serial-number words are cleared first. The pod kind and TAP states
 * are answered only while the pod is powered (always for a record of the 5120 family); the
 * controller serial number, EPLD revision and flash code only for the 51x4 family; transceiver
 * and pod serial numbers only with a powered pod of kind 1, pod p only when TapState[p] is 0.
 * Serial numbers that read 0 are read again, up to 25 times: a requested pod serial of an absent
 * pod can hold the session for more than a minute. Failures of the transceiver and pod serial
 * reads are not reported: their words stay 0 and their bits are set.
 *
 * @param[in]     handle An open controller.
 * @param[in]     info   Record that supplies the controller kind, pod kind, TAP states and
 *                       memory size.
 * @param[in,out] query  Query: RequestMask set by the caller; the answers and ValidMask are
 *                       filled.
 * @retval ZPX_STATUS_OK          Answered.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     The power state, controller serial number, EPLD revision or
 *                                flash code could not be read (the items answered before keep
 *                                their bits), or @p info or @p query is null.
 */
ZPX_API uint32_t ZPX_ControllerInfo(ZPX_Handle handle, const ZPX_DeviceInfo* info,
                                    ZPX_InfoQuery* query);

/**
 * @brief Answers a query from the session and the controller.
 *
 * As ZPX_ControllerInfo(), but the controller type, pod type and TAP types come from the session;
 * answering them may identify the pod and its TAPs. TAP words carry TAP types.
 *
 * @param[in]     handle An open controller.
 * @param[in,out] query  Query: RequestMask set by the caller; the answers and ValidMask are
 *                       filled.
 * @retval ZPX_STATUS_OK          Answered.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_INVALID     @p query is null (found before the busy test), or the power
 *                                state, controller serial number, EPLD revision or flash code
 *                                could not be read.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 */
ZPX_API uint32_t ZPX_ControllerInfoNew(ZPX_Handle handle, ZPX_InfoQuery* query);

/**
 * @brief Reports the session's pod type; nothing is read from the controller.
 *
 * @param[in]  handle  An open controller.
 * @param[out] podType Receives -2 not yet determined, -1 unrecognised, 0 an older pod with four
 *                     fixed TAPs, 1 to 3 the identified pod types (2 and 3 with an extender).
 * @retval ZPX_STATUS_OK          Stored.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     @p podType is null.
 */
ZPX_API uint32_t ZPX_GetPodType(ZPX_Handle handle, int32_t* podType);

/**
 * @brief Reports the type of a TAP; nothing is read from the controller.
 *
 * @param[in]  handle An open controller.
 * @param[in]  tap    TAP number, 1 to the number of TAPs; for another nothing is stored.
 * @param[out] type   Receives 0 or 1 (TAPs that take voltages and pin frames), 4 (a fixed TAP
 *                    of a pod of type 0) or -1 (no TAP answered); nothing is stored when it is
 *                    null.
 * @retval ZPX_STATUS_OK          Done (stored or not).
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 */
ZPX_API uint32_t ZPX_GetTapType(ZPX_Handle handle, int32_t tap, int32_t* type);

/**
 * @brief Reports the output-voltage range of a TAP by its type; nothing is read from the
 *        controller.
 *
 * @param[in]  handle   An open controller.
 * @param[in]  tapIndex TAP index, below the number of TAPs.
 * @param[out] minimum  Receives the lowest output, tenths of a volt: 10 (TAP type 0 or 1), 33
 *                      (type 4), -1 (any other).
 * @param[out] maximum  Receives the highest output, tenths of a volt: 36 (TAP type 0 or 1), 50
 *                      (type 4), -1 (any other).
 * @retval ZPX_STATUS_OK          Stored.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     @p tapIndex is not below the number of TAPs, or @p minimum or
 *                                @p maximum is null.
 */
ZPX_API uint32_t ZPX_GetOutputVoltRange(ZPX_Handle handle, int32_t tapIndex, int32_t* minimum,
                                        int32_t* maximum);

/**
 * @brief Reports the threshold-voltage range of a TAP by its type; nothing is read from the
 *        controller.
 *
 * @param[in]  handle   An open controller.
 * @param[in]  tapIndex TAP index, below the number of TAPs.
 * @param[out] minimum  Receives the lowest threshold, tenths of a volt: 0 (TAP type 0 or 1), 33
 *                      (type 4), -1 (any other).
 * @param[out] maximum  Receives the highest threshold, tenths of a volt: 41 (TAP type 0 or 1), 50
 *                      (type 4), -1 (any other).
 * @retval ZPX_STATUS_OK          Stored.
 * @retval ZPX_STATUS_NULL_HANDLE @p handle is null or names no open controller.
 * @retval ZPX_STATUS_BUSY        Another call on @p handle is running.
 * @retval ZPX_STATUS_INVALID     @p tapIndex is not below the number of TAPs, or @p minimum or
 *                                @p maximum is null.
 */
ZPX_API uint32_t ZPX_GetThresholdVoltRange(ZPX_Handle handle, int32_t tapIndex, int32_t* minimum,
                                           int32_t* maximum);

/** @} */

#ifdef __cplusplus
}
#endif

#endif /* ZPX_ZPX_H */
