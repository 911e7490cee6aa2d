"""Python access to the zpx boundary-scan controller library (ZPX.so / ZPX.dll) over ctypes.

    import zpx
    with zpx.open("ETH127.0.0.2") as ctl:
        ctl.frequency_khz = 10000
        ctl.add_tap(zpx.ALL_TAPS, 3.3)   # volts; TAPs are numbered 1 to 4
        ...

Every failure is raised as a ZpxError naming the method, the controller and the arguments.

The library is found through $ZPX_LIBRARY, then beside this package, then the system's
library path.
"""
from ._library import load as load_library
from .controller import ALL_TAPS, DEFAULT_THRESHOLD, Controller, open, serial_number_of
from .errors import (
    LibraryNotFoundError,
    ZpxArgumentError,
    ZpxBusy,
    ZpxCannotOpen,
    ZpxClosed,
    ZpxDeviceBusy,
    ZpxError,
    ZpxFailed,
    ZpxImageRejected,
    ZpxInvalid,
    ZpxItemFailed,
    ZpxLegacyIndex,
    ZpxNoUsb,
    ZpxNotAvailable,
    ZpxNullHandle,
    ZpxOsUnsupported,
    ZpxOutOfRange,
    ZpxTimeout,
    error_for,
    status_name,
)
from .records import (
    ControllerInfo,
    DeviceInfo,
    ImageVersion,
    Interface,
    LibraryVersion,
    Memory,
    PodKind,
    PodPower,
    SerialNumber,
    TapVoltage,
)

# The one place the package's version is written; pyproject.toml reads it from here.
__version__ = "2.0.6"

__all__ = [
    "ALL_TAPS", "DEFAULT_THRESHOLD", "Controller", "ControllerInfo", "DeviceInfo", "ImageVersion",
    "Interface", "LibraryNotFoundError", "LibraryVersion", "Memory", "PodKind", "PodPower",
    "SerialNumber", "TapVoltage", "ZpxArgumentError", "ZpxBusy", "ZpxCannotOpen", "ZpxClosed",
    "ZpxDeviceBusy", "ZpxError", "ZpxFailed", "ZpxImageRejected", "ZpxInvalid", "ZpxItemFailed",
    "ZpxLegacyIndex", "ZpxNoUsb", "ZpxNotAvailable", "ZpxNullHandle", "ZpxOsUnsupported",
    "ZpxOutOfRange", "ZpxTimeout", "error_for", "load_library", "open", "serial_number_of", "status_name",
]
