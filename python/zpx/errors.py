"""Status codes of the library and the exceptions raised for them."""
from __future__ import annotations

from typing import Dict, Optional, Type

OK = 0
FAILED = 1
NULL_HANDLE = 2
BUSY = 3
INVALID = 10
NOT_AVAILABLE = 11
CANNOT_OPEN = 12
OUT_OF_RANGE = 12  # the TAP voltage exports report a bad voltage with the open-failure code
LEGACY_INDEX = 13
NO_USB = 14
OS_UNSUPPORTED = 15
DEVICE_BUSY = 16

_NAMES: Dict[int, str] = {
    OK: "OK",
    FAILED: "FAILED",
    NULL_HANDLE: "NULL_HANDLE",
    BUSY: "BUSY",
    INVALID: "INVALID",
    NOT_AVAILABLE: "NOT_AVAILABLE",
    CANNOT_OPEN: "CANNOT_OPEN",
    LEGACY_INDEX: "LEGACY_INDEX",
    NO_USB: "NO_USB",
    OS_UNSUPPORTED: "OS_UNSUPPORTED",
    DEVICE_BUSY: "DEVICE_BUSY",
}

# Code 12 means "out of range" when one of these returned it.
_TAP_VOLTAGE_FUNCTIONS = frozenset(
    {
        "ZPX_AddNewTapInfo",
        "ZPX_AddNewTapInfoMillivolt",
        "ZPX_SetTapVoltageEx",
        "ZPX_SetTapVoltage",
        "ZPX_GetTapVoltageEx",
        "ZPX_GetTapVoltage",
        "ZPX_GetTapInfo",
    }
)


# The network-settings exports have one failure code, 3, for everything: a controller or an
# interface that keeps no settings, a busy session, a failed transfer.
_NETWORK_ITEM_FUNCTIONS = frozenset(
    {
        "ZPX_SetIpAddress",
        "ZPX_GetIpAddress",
        "ZPX_SetMACAddress",
        "ZPX_GetMACAddress",
        "ZPX_SetDHCP",
        "ZPX_GetDHCP",
        "ZPX_GetFPGAVersion",
        "ZPX_GetFirmwareVersion",
    }
)


def status_name(code: int, function: Optional[str] = None) -> str:
    """Name of a ZPX_STATUS_ code ("UNKNOWN_<n>" for one the header does not list).

    12 reads as OUT_OF_RANGE when ``function`` is a TAP voltage export, else CANNOT_OPEN; 3 reads
    as ITEM_FAILED when ``function`` is a network-settings export, else BUSY.
    """
    if code == OUT_OF_RANGE and function in _TAP_VOLTAGE_FUNCTIONS:
        return "OUT_OF_RANGE"
    if code == BUSY and function in _NETWORK_ITEM_FUNCTIONS:
        return "ITEM_FAILED"
    return _NAMES.get(code, f"UNKNOWN_{code}")


class ZpxError(Exception):
    """A failure of the package: a non-zero status from an export, or an argument refused before
    anything reached the controller.

    ``code`` is the raw status (10 for an argument refused here, as the library itself reports an
    invalid argument), ``name`` its name, ``function`` the export that returned it ("" when none
    was called). ``method``, ``controller`` and ``call`` say which Python call on which controller
    failed; the message carries all of them so that a log line alone tells what happened."""

    def __init__(self, code: int, name: Optional[str] = None, function: str = "",
                 method: str = "", controller: str = "", detail: str = "") -> None:
        self.code = int(code)
        self.name = name if name is not None else status_name(self.code, function)
        self.function = function
        self.method = method
        self.controller = controller
        self.detail = detail
        super().__init__(self._text())

    def _text(self) -> str:
        where = " ".join(p for p in (self.controller, self.method) if p)
        if self.detail:
            what = f"{self.detail} (status {self.code}, {self.name})"
        elif self.function:
            what = f"{self.function} returned status {self.code} ({self.name})"
        else:
            what = f"status {self.code} ({self.name})"
        return f"{where}: {what}" if where else what

    def add_context(self, method: str, controller: str) -> None:
        """Name the Python call and the controller. The outermost call wins: a method that
        fails inside another one is reported as the call the caller made."""
        self.method = method
        self.controller = controller or self.controller
        self.args = (self._text(),)

    def __reduce__(self):  # keep every field across pickling (multiprocessing)
        return (type(self), (self.code, self.name, self.function, self.method, self.controller,
                             self.detail))


class ZpxFailed(ZpxError):
    """1: the operation failed."""


class ZpxNullHandle(ZpxError):
    """2: a null handle or a checked null output."""


class ZpxClosed(ZpxNullHandle):
    """A call on a controller that was closed; nothing is passed to the library (code 2, as the
    library answers a null handle)."""


class ZpxBusy(ZpxError):
    """3: another call on the same handle is running."""


class ZpxInvalid(ZpxError):
    """10: invalid argument, or the request to the controller failed."""


class ZpxNotAvailable(ZpxError):
    """11: out of memory, or not available for this controller."""


class ZpxCannotOpen(ZpxError):
    """12: the device cannot be opened or identified."""


class ZpxOutOfRange(ZpxCannotOpen):
    """12 from a TAP voltage export: the voltage is out of range."""


class ZpxLegacyIndex(ZpxError):
    """13: the single-open legacy device path takes index 0 only."""


class ZpxNoUsb(ZpxError):
    """14: the operating system has no USB support."""


class ZpxOsUnsupported(ZpxError):
    """15: the operating system is not supported."""


class ZpxDeviceBusy(ZpxError):
    """16: another client holds the device."""


class ZpxItemFailed(ZpxError):
    """3 from a network-settings export: this controller or interface keeps no network settings,
    the session was busy, or the item did not travel."""


class ZpxArgumentError(ZpxError, ValueError, TypeError):
    """An argument refused before anything was sent: a wrong type, a value out of the range the
    controller takes, a transfer past the end of a memory. Code 10, as the library gives for an
    invalid argument; also a ValueError and a TypeError, so that callers written against those
    keep working."""

    def __init__(self, code: int = 10, name: Optional[str] = "INVALID", function: str = "",
                 method: str = "", controller: str = "", detail: str = "") -> None:
        super().__init__(code, name, function, method, controller, detail)


class ZpxTimeout(ZpxError, TimeoutError):
    """A wait of the package's own ran out (code 1, as a failed operation); also a TimeoutError."""

    def __init__(self, code: int = FAILED, name: Optional[str] = "TIMEOUT", function: str = "",
                 method: str = "", controller: str = "", detail: str = "") -> None:
        super().__init__(code, name, function, method, controller, detail)


def bad_argument(detail: str) -> ZpxArgumentError:
    """The error for an argument this package refuses, ``detail`` saying which and why."""
    return ZpxArgumentError(detail=detail)


class ZpxImageRejected(ZpxError):
    """An image update the controller answered with a status of its own (kept in ``code``; it is
    the controller's number, not one of the library's codes)."""


_CLASSES: Dict[int, Type[ZpxError]] = {
    FAILED: ZpxFailed,
    NULL_HANDLE: ZpxNullHandle,
    BUSY: ZpxBusy,
    INVALID: ZpxInvalid,
    NOT_AVAILABLE: ZpxNotAvailable,
    CANNOT_OPEN: ZpxCannotOpen,
    LEGACY_INDEX: ZpxLegacyIndex,
    NO_USB: ZpxNoUsb,
    OS_UNSUPPORTED: ZpxOsUnsupported,
    DEVICE_BUSY: ZpxDeviceBusy,
}


def error_for(code: int, function: str = "") -> ZpxError:
    """The exception for ``code`` as returned by ``function``."""
    name = status_name(code, function)
    if name == "OUT_OF_RANGE":
        cls: Type[ZpxError] = ZpxOutOfRange
    elif name == "ITEM_FAILED":
        cls = ZpxItemFailed
    else:
        cls = _CLASSES.get(code, ZpxError)
    return cls(code, name, function)


def check(code: int, function: str) -> None:
    """Raise the matching exception unless ``code`` is ZPX_STATUS_OK."""
    if code != OK:
        raise error_for(code, function)


def errcheck(result: int, func, arguments) -> int:
    """ctypes errcheck of the exports that return a status: raise on anything but 0."""
    if result != OK:
        raise error_for(result, func.__name__)
    return result


class LibraryNotFoundError(ZpxError, OSError):
    """No ZPX library could be loaded; ``tried`` lists each place and why it failed."""

    def __init__(self, tried: "list[tuple[str, str]]") -> None:
        self.tried = list(tried)
        lines = "\n".join(f"  {place}: {why}" for place, why in self.tried)
        super().__init__(FAILED, "LIBRARY_NOT_FOUND",
                         detail="cannot load the ZPX library; tried:\n" + lines)

    def _text(self) -> str:
        return self.detail

    def __reduce__(self):
        return (type(self), (self.tried,))
