"""Locating ZPX.so / ZPX.dll and declaring the prototypes of the exports the package calls."""
from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import threading
from ctypes import POINTER, c_char_p, c_int32, c_uint8, c_uint32, c_void_p
from typing import List, Optional, Sequence, Tuple

from .errors import LibraryNotFoundError, errcheck
from .records import ZPX_ControllerInfoRecord, ZPX_DeviceInfo, ZPX_InfoQuery

ENV_VAR = "ZPX_LIBRARY"
_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))
_PACKAGE_NAMES = ("ZPX.so", "libzpx.so", "ZPX.dll")

_u32p = POINTER(c_uint32)
_i32p = POINTER(c_int32)
_info_p = POINTER(ZPX_DeviceInfo)

# name -> (restype, argtypes). Every status export returns uint32_t; the handle is a void*.
_PROTOTYPES = {
    "ZPX_LibraryVersionEx": (c_uint32, [c_void_p, _u32p]),
    "ZPX_OpenController": (c_void_p, [c_char_p, _u32p]),
    "ZPX_CloseController": (c_uint32, [c_void_p]),
    "ZPX_GetControllerType": (c_uint32, [c_void_p, _u32p]),
    "ZPX_GetInterfaceType": (c_uint32, [c_void_p, _u32p, _u32p, _u32p]),
    "ZPX_StartController": (c_uint32, [c_void_p]),
    "ZPX_StopController": (c_uint32, [c_void_p]),
    "ZPX_GetControllerStatus": (c_uint32, [c_void_p, _u32p]),
    "ZPX_ClearError": (c_uint32, [c_void_p, c_uint32]),
    "ZPX_GetError": (c_uint32, [c_void_p, _u32p]),
    "ZPX_WriteMemory": (c_uint32, [c_void_p, c_uint32, c_uint32, c_uint32, c_uint32, c_void_p]),
    "ZPX_ReadMemory": (c_uint32, [c_void_p, c_uint32, c_uint32, c_uint32, c_uint32, c_void_p]),
    "ZPX_GetMemorySize": (c_uint32, [c_void_p, c_int32, _u32p]),
    "ZPX_GetControllerEPLD": (c_uint32, [c_void_p, _u32p]),
    "ZPX_GetControllerFlash": (c_uint32, [c_void_p, _u32p]),
    "ZPX_GetControllerSerialNumber": (c_uint32, [c_void_p, _u32p, _u32p]),
    "ZPX_GetPodSerialNumber": (c_uint32, [c_void_p, c_uint32, _u32p, _u32p]),
    "ZPX_GetFrequencyRange": (c_uint32, [c_void_p, _u32p, _u32p]),
    "ZPX_SetCtrlFrequency": (c_uint32, [c_void_p, c_uint32, c_int32]),
    "ZPX_GetCurrentFrequency": (c_uint32, [c_void_p, _u32p]),
    "ZPX_SetPodPowerOn": (c_uint32, [c_void_p]),
    "ZPX_SetPodPowerOff": (c_uint32, [c_void_p]),
    "ZPX_PodPowered": (c_uint32, [c_void_p, _u32p]),
    "ZPX_ActivatePod": (c_uint32, [c_void_p, c_uint32]),
    "ZPX_PodActivated": (c_uint32, [c_void_p, _u32p]),
    "ZPX_DeActivatePod": (c_uint32, [c_void_p]),
    "ZPX_AddNewTapInfo": (c_uint32, [c_void_p, c_uint32, c_int32, c_int32]),
    "ZPX_SetTapVoltageEx": (c_uint32, [c_void_p]),
    "ZPX_GetTapVoltageEx": (c_uint32, [c_void_p, c_uint32, _u32p, _u32p]),
    "ZPX_SetTapIoPins": (c_uint32, [c_void_p, c_uint32, c_uint32, c_uint32]),
    "ZPX_GetTapIoPins": (c_uint32, [c_void_p, c_uint32, _u32p, _u32p]),
    "ZPX_CreateDeviceInfo": (_info_p, [c_void_p, _u32p]),
    "ZPX_DestroyDeviceInfo": (c_uint32, [c_void_p, _info_p]),
    "ZPX_GetControllerInfo": (c_uint32, [c_void_p, POINTER(POINTER(ZPX_ControllerInfoRecord))]),
    "ZPX_ControllerInfoNew": (c_uint32, [c_void_p, POINTER(ZPX_InfoQuery)]),
    "ZPX_GetPodType": (c_uint32, [c_void_p, _i32p]),
    "ZPX_GetTapType": (c_uint32, [c_void_p, c_int32, _i32p]),
    "ZPX_GetOutputVoltRange": (c_uint32, [c_void_p, c_int32, _i32p, _i32p]),
    "ZPX_GetThresholdVoltRange": (c_uint32, [c_void_p, c_int32, _i32p, _i32p]),
    "ZPX_GetTransceiverSerialNumber": (c_uint32, [c_void_p, _u32p, _u32p]),
    "ZPX_GetCntrWaitTime": (c_uint32, [c_void_p, _u32p]),
    "ZPX_ControllerSerialNumberPeek": (c_uint32, [c_char_p, _u32p, _u32p]),
    "ZPX_SetRunMode": (c_uint32, [c_void_p, c_uint32]),
    "ZPX_SetRepeaterMode": (c_uint32, [c_void_p, c_uint32]),
    "ZPX_SetImmMode": (c_uint32, [c_void_p, c_uint32]),
    "ZPX_SetVPPMode": (c_uint32, [c_void_p, c_uint32]),
    "ZPX_SetTapEnable": (c_uint32, [c_void_p, c_uint32]),
    "ZPX_GetTapEnable": (c_uint32, [c_void_p, _u32p]),
    "ZPX_SetLearnMode": (c_uint32, [c_void_p, c_uint32]),
    "ZPX_GetLearnMode": (c_uint32, [c_void_p, _u32p]),
    "ZPX_GetButton": (c_uint32, [c_void_p, _u32p]),
    "ZPX_SetCntCounter": (c_uint32, [c_void_p]),
    "ZPX_SetContModeCounter": (c_uint32, [c_void_p, c_uint32]),
    "ZPX_GetContModeCounter": (c_uint32, [c_void_p, _u32p]),
    "ZPX_WriteCtrlCounter": (c_uint32, [c_void_p, c_uint32, c_uint32]),
    "ZPX_ReadCtrlCounter": (c_uint32, [c_void_p, c_uint32, _u32p]),
    "ZPX_SetPodExtenderMode": (c_uint32, [c_void_p, c_uint32]),
    "ZPX_GetPodExtenderMode": (c_uint32, [c_void_p, _u32p]),
    "ZPX_SetIpAddress": (c_uint32, [c_void_p, c_uint32]),
    "ZPX_GetIpAddress": (c_uint32, [c_void_p, _u32p]),
    "ZPX_SetMACAddress": (c_uint32, [c_void_p, c_uint32, c_uint32]),
    "ZPX_GetMACAddress": (c_uint32, [c_void_p, _u32p, _u32p]),
    "ZPX_SetDHCP": (c_uint32, [c_void_p, c_uint32]),
    "ZPX_GetDHCP": (c_uint32, [c_void_p, _u32p]),
    "ZPX_GetFPGAVersion": (c_uint32, [c_void_p, _u32p]),
    "ZPX_GetFirmwareVersion": (c_uint32, [c_void_p, _u32p]),
    "ZPX_UpdateFirmware": (c_uint32, [c_void_p, c_uint32, c_uint32, c_uint8, c_uint8, c_void_p]),
    "ZPX_UpdateFPGA": (c_uint32, [c_void_p, c_uint32, c_uint32, c_uint8, c_uint8, c_void_p]),
}


def _system_candidates() -> List[str]:
    names: List[str] = []
    found = ctypes.util.find_library("zpx")
    if found:
        names.append(found)
    names.append("ZPX.dll" if sys.platform == "win32" else "libzpx.so")
    return names


def load(
    env_value: Optional[str] = None,
    package_dir: Optional[str] = _PACKAGE_DIR,
    system_names: Optional[Sequence[str]] = None,
) -> ctypes.CDLL:
    """Load the first library that opens: ``env_value`` (default: $ZPX_LIBRARY), a ZPX.so,
    libzpx.so or ZPX.dll in ``package_dir``, then the system's names. Raises
    LibraryNotFoundError naming every place tried and why it failed."""
    if env_value is None:
        env_value = os.environ.get(ENV_VAR)
    candidates: List[Tuple[str, str]] = []
    if env_value:
        candidates.append((f"${ENV_VAR}={env_value}", env_value))
    else:
        candidates.append((f"${ENV_VAR}", ""))
    if package_dir is not None:
        for name in _PACKAGE_NAMES:
            path = os.path.join(package_dir, name)
            candidates.append((path, path))
    for name in _system_candidates() if system_names is None else system_names:
        candidates.append((f"system library path: {name}", name))

    tried: List[Tuple[str, str]] = []
    for place, target in candidates:
        if not target:
            tried.append((place, "not set"))
            continue
        if os.sep in target and not os.path.exists(target):
            tried.append((place, "no such file"))
            continue
        try:
            lib = ctypes.CDLL(target)
        except OSError as exc:
            tried.append((place, str(exc) or type(exc).__name__))
            continue
        try:
            _declare(lib)
        except AttributeError as exc:  # some other library of that name
            tried.append((place, f"not a ZPX library ({exc})"))
            continue
        return lib
    raise LibraryNotFoundError(tried)


# The image updates pass the controller's own verdict through as their result; the package
# tells it apart from the library's codes itself.
_OWN_RESULTS = frozenset({"ZPX_UpdateFirmware", "ZPX_UpdateFPGA"})


def _declare(lib: ctypes.CDLL) -> None:
    for name, (restype, argtypes) in _PROTOTYPES.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes
        if restype is c_uint32 and name not in _OWN_RESULTS:
            fn.errcheck = errcheck  # every other status export raises ZpxError for non-zero


_lib: Optional[ctypes.CDLL] = None
_lock = threading.Lock()


def library() -> ctypes.CDLL:
    """The process-wide library, loaded on first use."""
    global _lib
    with _lock:
        if _lib is None:
            _lib = load()
        return _lib
