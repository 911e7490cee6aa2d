"""The Controller class: one opened controller session."""
from __future__ import annotations

import ctypes
import functools
import ipaddress
import math
import re
import threading
import time
import warnings
from ctypes import byref, c_int32, c_uint8, c_uint32
from typing import Any, Callable, Optional, Tuple, TypeVar, Union

from . import _library
from .errors import (
    ZpxArgumentError,
    ZpxClosed,
    ZpxError,
    ZpxImageRejected,
    ZpxTimeout,
    bad_argument,
    error_for,
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
    ZPX_ControllerInfoRecord,
)

DEFAULT_THRESHOLD = 0x7FFFFFFF  # the library's "derive the threshold" value; add_tap takes None
ALL_TAPS = 0  # add_tap: every TAP at once

Buffer = Union[bytes, bytearray, memoryview]
F = TypeVar("F", bound=Callable[..., Any])

# What each ctypes integer type holds; ctypes itself would wrap a value that does not fit.
_LIMITS = {c_uint32: (0, 0xFFFFFFFF, "u32"), c_int32: (-0x80000000, 0x7FFFFFFF, "i32"),
           c_uint8: (0, 0xFF, "u8")}


def _shown(value: Any) -> str:
    """An argument as an error message shows it: buffers by their size, long text cut short."""
    if isinstance(value, (bytes, bytearray, memoryview)):
        return f"<{memoryview(value).nbytes} bytes>"
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


def _call_text(method: str, kind: str, args: Tuple[Any, ...], kwargs: dict) -> str:
    if kind == "get":
        return method
    if kind == "set":
        return f"{method} = {_shown(args[0])}"
    shown = [_shown(a) for a in args] + [f"{k}={_shown(v)}" for k, v in kwargs.items()]
    return f"{method}({', '.join(shown)})"


def _reported(method: str, kind: str = "call") -> Callable[[F], F]:
    """Every failure inside ``method`` leaves as a ZpxError naming the call and the controller:
    errors of the library get the context added, and a wrong type or value met on the way (by
    ctypes, memoryview and the like) becomes a ZpxArgumentError."""

    def wrap(fn: F) -> F:
        @functools.wraps(fn)
        def reported(self: Any, *args: Any, **kwargs: Any) -> Any:
            try:
                return fn(self, *args, **kwargs)
            except ZpxError as exc:
                exc.add_context(_call_text(method, kind, args, kwargs), self.name)
                raise
            except (TypeError, ValueError, OverflowError, ctypes.ArgumentError) as exc:
                raise ZpxArgumentError(method=_call_text(method, kind, args, kwargs),
                                       controller=self.name, detail=str(exc)) from exc
        return reported  # type: ignore[return-value]

    return wrap


def _whole(name: str, value: Any, low: int, high: int) -> int:
    """``value`` as an int from low to high, or the ZpxArgumentError that names ``name``."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise bad_argument(f"{name} must be a whole number, not {type(value).__name__}")
    if not low <= value <= high:
        raise bad_argument(f"{name} {value} is not {low} to {high}")
    return int(value)


def _tenths(name: str, volts: Any) -> int:
    """Volts as the tenths of a volt the library takes; a value between two tenths is refused
    rather than rounded, since the pod would then drive something the caller did not ask for."""
    if isinstance(volts, bool) or not isinstance(volts, (int, float)) or not math.isfinite(volts):
        raise bad_argument(f"{name} must be a number of volts, not {volts!r}")
    tenths = round(volts * 10)
    if abs(tenths - volts * 10) > 1e-6:
        raise bad_argument(f"{name} {volts} V is not a whole number of tenths of a volt")
    if not -0x80000000 <= tenths <= 0x7FFFFFFF:
        raise bad_argument(f"{name} {volts} V is out of any range")
    return tenths


def _tap(tap: Any) -> int:
    return _whole("tap", tap, 1, 4)


def _deprecated(old: str, new: str) -> None:
    warnings.warn(f"{old} is deprecated; use {new}", DeprecationWarning, stacklevel=4)


def open(name: str) -> "Controller":  # noqa: A001 - mirrors the instrument-package idiom
    """Open controller ``name`` (e.g. "ETH127.0.0.2", "PCI0", "USB1"). Raises a ZpxError naming
    the controller and why it did not open."""
    return Controller(name)


def _controller_name(name: Any) -> bytes:
    if not isinstance(name, str):
        raise bad_argument(f"a controller name is a str, not {type(name).__name__}")
    if "\0" in name:
        raise bad_argument("a controller name holds no NUL character")
    try:
        return name.encode("ascii")
    except UnicodeEncodeError:
        raise bad_argument(f"the controller name {name!r} is not ASCII") from None


def serial_number_of(name: str) -> SerialNumber:
    """The serial number recorded for a 51x4-family controller under its working name (case
    ignored); a controller not yet recorded is opened briefly, which records it. Raises
    ZpxFailed for a controller that cannot be found or opened."""
    try:
        lib = _library.library()
        high, low = c_uint32(0), c_uint32(0)
        lib.ZPX_ControllerSerialNumberPeek(_controller_name(name), byref(high), byref(low))
        return SerialNumber(high.value, low.value)
    except ZpxError as exc:
        exc.add_context(f"serial_number_of({_shown(name)})", "")
        raise


class Controller:
    """An opened controller. Use as a context manager, or call close(). Every failure of a
    method is raised as a ZpxError whose message names the method, its arguments and the
    controller; once closed, every method raises ZpxClosed."""

    def __init__(self, name: str) -> None:
        self._handle: Optional[int] = None
        self._close_lock = threading.Lock()
        self.name = name if isinstance(name, str) else ""
        self._memory_sizes: dict = {}
        self._clock_range: Optional[Tuple[int, int]] = None
        self._open(name)

    @_reported("open")
    def _open(self, name: str) -> None:
        encoded = _controller_name(name)
        self._lib = _library.library()
        status = c_uint32(0)
        handle = self._lib.ZPX_OpenController(encoded, byref(status))
        if not handle:
            # A failed open can still report 0 when the name is not understood at all.
            raise error_for(status.value or 1, "ZPX_OpenController")
        self._handle = handle

    # ---- session ----
    def __enter__(self) -> "Controller":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<zpx.Controller {self.name!r} {state}>"

    @property
    def closed(self) -> bool:
        """True once close() has run (or the open failed)."""
        return self._handle is None

    @_reported("close")
    def close(self) -> None:
        """Close the session; a second close does nothing. Later calls raise ZpxClosed."""
        with self._close_lock:
            handle, self._handle = self._handle, None
        if handle is not None:
            self._lib.ZPX_CloseController(handle)

    def _call(self, function: str, *args: Any) -> None:
        handle = self._handle
        if handle is None:
            # Not passed on as a null handle: the library's 2 would not say what happened.
            raise ZpxClosed(2, "NULL_HANDLE", function, detail="the controller is closed")
        fn = getattr(self._lib, function)
        for value, kind in zip(args, fn.argtypes[1:]):
            if kind in _LIMITS:
                low, high, size = _LIMITS[kind]
                if isinstance(value, bool) or not isinstance(value, int):
                    raise bad_argument(f"{value!r} is not a whole number "
                                       f"({function} takes a {size})")
                if not low <= value <= high:
                    raise bad_argument(f"{value} does not fit the {size} that {function} takes")
        fn(handle, *args)  # the library's errcheck raises on a non-zero status

    def _u32(self, function: str, *args: Any) -> int:
        out = c_uint32(0)
        self._call(function, *args, byref(out))
        return out.value

    def _pair(self, function: str, *args: Any, signed: bool = False) -> Tuple[int, int]:
        a, b = (c_int32(0), c_int32(0)) if signed else (c_uint32(0), c_uint32(0))
        self._call(function, *args, byref(a), byref(b))
        return a.value, b.value

    # ---- identity ----
    @property
    @_reported("library_version", "get")
    def library_version(self) -> LibraryVersion:
        """The library's version, an int (2066) whose str() is "2.0.6.6". The library answers it
        only on an open session."""
        return LibraryVersion(self._u32("ZPX_LibraryVersionEx"))

    @property
    @_reported("controller_type", "get")
    def controller_type(self) -> int:
        """0 the 5120 family, 1 to 3 the 51x4 models, -1 unknown."""
        return c_int32(self._u32("ZPX_GetControllerType")).value

    @property
    @_reported("interface", "get")
    def interface(self) -> Interface:
        """The back-end the controller is reached over."""
        kind, _, _ = self.interface_details()
        return Interface(kind)

    @_reported("interface_details")
    def interface_details(self) -> Tuple[int, int, int]:
        """(kind, index, aux) as ZPX_GetInterfaceType reports them; index and aux are -1 where
        the interface has none (aux always)."""
        kind, index, aux = c_uint32(0), c_uint32(0), c_uint32(0)
        self._call("ZPX_GetInterfaceType", byref(kind), byref(index), byref(aux))
        return kind.value, c_int32(index.value).value, c_int32(aux.value).value

    @property
    @_reported("serial_number", "get")
    def serial_number(self) -> SerialNumber:
        """The controller's serial ROM; str() gives 16 hex digits, 0 for a ROM that failed its
        checksum."""
        return SerialNumber(*self._pair("ZPX_GetControllerSerialNumber"))

    def _serial_keeping_register2(self, function: str, *args: Any) -> SerialNumber:
        # The transceiver and pod ROMs are routed through register 2, and the sequence leaves it
        # at 1, which a 51x4 controller takes as "pod active" (and it drops the TAP enables).
        # Writing the learn-mode bit back as it was rewrites register 2 from the session's copy,
        # so that reading a serial number leaves the pod as it found it.
        learn = self._u32("ZPX_GetLearnMode")
        try:
            return SerialNumber(*self._pair(function, *args))
        finally:
            self._call("ZPX_SetLearnMode", learn)

    @_reported("pod_serial_number")
    def pod_serial_number(self, pod: int = 0) -> SerialNumber:
        """The serial ROM of pod ``pod``, 0 to 3 as the library numbers them. A pod that does not
        answer holds the session for about 2.6 s before ZpxFailed. The pod's activation state and
        the TAP enables are as they were afterwards."""
        return self._serial_keeping_register2("ZPX_GetPodSerialNumber", _whole("pod", pod, 0, 3))

    @property
    @_reported("transceiver_serial_number", "get")
    def transceiver_serial_number(self) -> SerialNumber:
        """The transceiver's serial ROM; the pod's activation state and the TAP enables are as
        they were afterwards."""
        return self._serial_keeping_register2("ZPX_GetTransceiverSerialNumber")

    @property
    @_reported("wait_time", "get")
    def wait_time(self) -> int:
        """The controller's wait time as ZPX_GetCntrWaitTime reports it: 640 on the 5120 family,
        1000 on the 51x4 family (its unit is the hardware's)."""
        return self._u32("ZPX_GetCntrWaitTime")

    @property
    @_reported("epld_revision", "get")
    def epld_revision(self) -> int:
        """The EPLD revision, 0 to 15."""
        return self._u32("ZPX_GetControllerEPLD")

    @property
    @_reported("flash_code", "get")
    def flash_code(self) -> int:
        """The flash code byte; its high nibble chooses the memory sizes of a 51x4 controller."""
        return self._u32("ZPX_GetControllerFlash")

    @_reported("memory_size")
    def memory_size(self, memory: Union[Memory, int]) -> int:
        """Bytes of controller memory ``memory`` (0 to 5, or a Memory); 0 for a memory the
        controller lacks or a number outside 0 to 5."""
        return self._u32("ZPX_GetMemorySize", memory)

    @_reported("device_info")
    def device_info(self) -> DeviceInfo:
        """A copy of the record ZPX_CreateDeviceInfo builds (the library's record is freed)."""
        if self._handle is None:
            self._call("ZPX_CreateDeviceInfo")  # raises ZpxClosed
        status = c_uint32(0)
        ptr = self._lib.ZPX_CreateDeviceInfo(self._handle, byref(status))
        if not ptr:
            raise error_for(status.value or 1, "ZPX_CreateDeviceInfo")
        try:
            return DeviceInfo.from_struct(ptr.contents)
        finally:
            self._lib.ZPX_DestroyDeviceInfo(self._handle, ptr)

    @_reported("controller_info")
    def controller_info(self) -> ControllerInfo:
        """Refresh and copy the session's information record."""
        rec = ctypes.POINTER(ZPX_ControllerInfoRecord)()
        self._call("ZPX_GetControllerInfo", byref(rec))
        return ControllerInfo.from_struct(rec.contents)

    # ---- clock ----
    @property
    @_reported("frequency_khz", "get")
    def frequency_khz(self) -> int:
        """The test clock in force, in kHz; assigning programs it (see set_frequency)."""
        return self._u32("ZPX_GetCurrentFrequency")

    @frequency_khz.setter
    @_reported("frequency_khz", "set")
    def frequency_khz(self, khz: int) -> None:
        self._set_frequency(khz, 0)

    @_reported("set_frequency")
    def set_frequency(self, khz: int, option: int = 0) -> None:
        """Program the test clock, in kHz; ``option`` (0 or 1) is a flag the library keeps in the
        clock register. A frequency outside frequency_range raises ZpxArgumentError before
        anything is sent (the library would clamp one above the maximum without a word)."""
        self._set_frequency(khz, option)

    def _set_frequency(self, khz: int, option: int) -> None:
        low, high = self._frequency_range()
        self._call("ZPX_SetCtrlFrequency", _whole("option", option, 0, 1),
                   _whole("frequency (kHz)", khz, low, high))

    def _frequency_range(self) -> Tuple[int, int]:
        if self._clock_range is None:  # fixed by the controller type for the session's life
            low, high = self._pair("ZPX_GetFrequencyRange")
            self._clock_range = (c_int32(low).value, c_int32(high).value)
        return self._clock_range

    @property
    @_reported("frequency_range", "get")
    def frequency_range(self) -> Tuple[int, int]:
        """(minimum, maximum) test clock in kHz."""
        return self._frequency_range()

    # ---- pod ----
    @_reported("pod_power_on")
    def pod_power_on(self) -> None:
        """Power the pod up (51x4 family, in two steps and about 0.7 s) and identify it and its
        TAPs; on the 5120 family only the identification runs."""
        self._call("ZPX_SetPodPowerOn")

    @_reported("pod_power_off")
    def pod_power_off(self) -> None:
        """Power the pod off (51x4 family); its identification is forgotten (pod_type becomes
        UNDETERMINED)."""
        self._call("ZPX_SetPodPowerOff")

    @property
    @_reported("pod_power_state", "get")
    def pod_power_state(self) -> PodPower:
        """PodPower.ON or PodPower.OFF. The export reports 0 for powered (its sense is the reverse
        of its name); the 5120 family, which has no pod power, always reads ON. Reading it while
        powered also identifies the pod."""
        return PodPower(self._u32("ZPX_PodPowered"))

    @property
    @_reported("pod_type", "get")
    def pod_type(self) -> PodKind:
        """The pod as identified: PodKind.UNDETERMINED until pod_power_on()."""
        out = c_int32(0)
        self._call("ZPX_GetPodType", byref(out))
        return PodKind(out.value)

    @_reported("tap_type")
    def tap_type(self, tap: int) -> int:
        """Type of TAP ``tap`` (1 to 4): 0 or 1 TAPs that take voltages, 4 a fixed TAP of the older
        pod, -1 no TAP there or the pod not identified yet."""
        out = c_int32(-1)
        self._call("ZPX_GetTapType", _tap(tap), byref(out))
        return out.value

    @_reported("activate_pod")
    def activate_pod(self, mode: int = 0) -> None:
        """Activate the pod: set the pod-active bit and, where the controller needs it, load and
        run the pod start-up program (through memory 0). ``mode`` 0 leaves the pod bit of the
        error register (0x20) to the pod type: set for pods of type 1 to 3, clear for the older
        pod. ``mode`` 1 sets it whatever the pod, which on the older pod (PodKind.FIXED_TAPS)
        selects its 5.0 V TAP level instead of 3.3 V."""
        self._call("ZPX_ActivatePod", _whole("mode", mode, 0, 1))

    @_reported("deactivate_pod")
    def deactivate_pod(self) -> None:
        """Deactivate the pod; this writes register 2 as 0, so the TAP enables, learn mode and
        counter bit are cleared too."""
        self._call("ZPX_DeActivatePod")

    @property
    @_reported("pod_active", "get")
    def pod_active(self) -> bool:
        """Whether the pod is activated."""
        return self._u32("ZPX_PodActivated") != 0

    @property
    @_reported("pod_extender_mode", "get")
    def pod_extender_mode(self) -> int:
        """Mode of the pod extender (pods of type 2 and 3; 0 and 1 for the others, which have
        none); assigning sets it. ZpxNotAvailable before the pod is identified."""
        return self._u32("ZPX_GetPodExtenderMode")

    @pod_extender_mode.setter
    @_reported("pod_extender_mode", "set")
    def pod_extender_mode(self, mode: int) -> None:
        self._call("ZPX_SetPodExtenderMode", mode)

    # ---- TAP voltages and pins ----
    @_reported("add_tap")
    def add_tap(self, tap: int, output: float, threshold: Optional[float] = None) -> None:
        """Queue the voltages of TAP ``tap`` (1 to 4, ALL_TAPS for every TAP) in volts;
        apply_tap_voltages() sends them. ``threshold`` None derives it from the output (1.5 V from
        3.0 V up, else half the output). Voltages go in steps of 0.1 V; one out of the TAP's
        range raises ZpxOutOfRange. On the older pod only ALL_TAPS at 3.3 or 5.0 V is taken.

        An int output of 10 or more is read as tenths of a volt, as before volts were taken
        (no TAP goes that high); that form is deprecated."""
        tap = _whole("tap", tap, 0, 4)
        if isinstance(output, int) and not isinstance(output, bool) and output >= 10:
            _deprecated("add_tap() in tenths of a volt", "volts: add_tap(tap, 3.3)")
            out = _whole("output (tenths)", output, 10, 0x7FFFFFFF)
            th = threshold if isinstance(threshold, int) else (
                DEFAULT_THRESHOLD if threshold is None else _tenths("threshold", threshold))
        else:
            out = _tenths("output", output)
            th = (DEFAULT_THRESHOLD if threshold is None or threshold == DEFAULT_THRESHOLD
                  else _tenths("threshold", threshold))
        self._call("ZPX_AddNewTapInfo", tap, out, th)

    @_reported("apply_tap_voltages")
    def apply_tap_voltages(self) -> None:
        """Send the voltages queued by add_tap() to the pod (150 ms to settle, which the pin
        calls and start() wait for)."""
        self._call("ZPX_SetTapVoltageEx")

    @_reported("tap_voltage")
    def tap_voltage(self, tap: int) -> TapVoltage:
        """Voltages in force on TAP ``tap`` (1 to 4), in volts, as the pod reads them back."""
        output, threshold = self._pair("ZPX_GetTapVoltageEx", _tap(tap))
        return TapVoltage(output / 10, threshold / 10)

    def _range(self, function: str, index: int) -> Optional[Tuple[float, float]]:
        low, high = self._pair(function, index, signed=True)
        return None if low < 0 or high < 0 else (low / 10, high / 10)

    @_reported("output_range")
    def output_range(self, tap: int) -> Optional[Tuple[float, float]]:
        """(lowest, highest) output voltage of TAP ``tap`` (1 to 4) in volts; None for a TAP that
        takes none. The pod must have been identified (pod_power_on)."""
        return self._range("ZPX_GetOutputVoltRange", self._tap_index(tap))

    @_reported("threshold_range")
    def threshold_range(self, tap: int) -> Optional[Tuple[float, float]]:
        """(lowest, highest) threshold voltage of TAP ``tap`` (1 to 4) in volts, as output_range."""
        return self._range("ZPX_GetThresholdVoltRange", self._tap_index(tap))

    def _tap_index(self, tap: int) -> int:
        index = _tap(tap) - 1
        # The library reads its TAP table unchecked: ask only once the pod has been identified.
        if self.pod_type == PodKind.UNDETERMINED:
            raise bad_argument("the pod has not been identified yet (pod_power_on)")
        return index

    @_reported("output_voltage_range")
    def output_voltage_range(self, tap_index: int = 0) -> Tuple[int, int]:
        """Deprecated: output_range(tap) numbers TAPs 1 to 4 and answers in volts. This one takes
        the TAP index 0 to 3 and answers tenths of a volt (-1, -1 for none)."""
        _deprecated("output_voltage_range(tap_index)", "output_range(tap), TAPs 1 to 4, volts")
        return self._tenths_range("ZPX_GetOutputVoltRange", tap_index)

    @_reported("threshold_voltage_range")
    def threshold_voltage_range(self, tap_index: int = 0) -> Tuple[int, int]:
        """Deprecated: see output_voltage_range; use threshold_range(tap)."""
        _deprecated("threshold_voltage_range(tap_index)", "threshold_range(tap), TAPs 1 to 4")
        return self._tenths_range("ZPX_GetThresholdVoltRange", tap_index)

    def _tenths_range(self, function: str, tap_index: int) -> Tuple[int, int]:
        index = self._tap_index(_whole("tap_index", tap_index, 0, 3) + 1)
        return self._pair(function, index, signed=True)

    @_reported("set_tap_io_pins")
    def set_tap_io_pins(self, tap: int, data: int, control: int) -> None:
        """Drive the four I/O pins of TAP ``tap`` (1 to 4): ``data`` and ``control`` are nibbles,
        pin 0 in bit 0."""
        self._call("ZPX_SetTapIoPins", _tap(tap), _whole("data", data, 0, 15),
                   _whole("control", control, 0, 15))

    @_reported("tap_io_pins")
    def tap_io_pins(self, tap: int) -> Tuple[int, int]:
        """(data, control) of the four I/O pins of TAP ``tap`` (1 to 4)."""
        return self._pair("ZPX_GetTapIoPins", _tap(tap))

    # ---- memory ----
    def _span(self, memory: Any, address: Any, length: int) -> Tuple[int, int]:
        # A transfer past the end would wrap inside the controller and overwrite the start of
        # the memory; refuse it before anything is sent.
        memory = _whole("memory", memory, 0, 5)
        address = _whole("address", address, 0, 0xFFFFFFFF)
        size = self._memory_sizes.get(memory)
        if size is None:  # fixed for the session's life
            size = self._memory_sizes[memory] = self._u32("ZPX_GetMemorySize", memory)
        if address + length > size:
            if size == 0:
                raise bad_argument(f"this controller has no memory {memory}")
            raise bad_argument(f"{length} bytes at {address:#x} run past the end of memory "
                               f"{memory} ({size:#x} bytes)")
        return memory, address

    @_reported("write_memory")
    def write_memory(self, memory: Union[Memory, int], address: int, data: Buffer) -> None:
        """Write ``data`` (any bytes-like object) to controller memory ``memory`` at byte
        ``address``. A write that would run past the end of the memory raises ZpxArgumentError
        and sends nothing."""
        view = memoryview(data)
        try:
            memory, address = self._span(memory, address, view.nbytes)
            if isinstance(data, bytes):
                ptr: Any = data  # immutable bytes pass their storage directly
            elif view.readonly or not view.c_contiguous:
                ptr = bytes(view)  # the only case that copies
            else:
                view = view.cast("B")
                ptr = (ctypes.c_char * view.nbytes).from_buffer(view)
            try:
                self._call("ZPX_WriteMemory", 0, memory, address, view.nbytes, ptr)
            finally:
                del ptr  # drop the buffer export so a bytearray can be resized again
        finally:
            view.release()

    @_reported("read_memory")
    def read_memory(self, memory: Union[Memory, int], address: int, length: int) -> bytes:
        """Read ``length`` bytes of controller memory ``memory`` from byte ``address``; a read
        past the end of the memory raises ZpxArgumentError."""
        length = _whole("length", length, 0, 0xFFFFFFFF)
        memory, address = self._span(memory, address, length)
        buf = ctypes.create_string_buffer(length)
        self._call("ZPX_ReadMemory", 0, memory, address, length, buf)
        return buf.raw

    @_reported("read_memory_into")
    def read_memory_into(self, memory: Union[Memory, int], address: int,
                         buffer: Union[bytearray, memoryview]) -> int:
        """Read len(buffer) bytes straight into a writable buffer; returns the byte count."""
        view = memoryview(buffer).cast("B")
        try:
            n = view.nbytes
            memory, address = self._span(memory, address, n)
            target = (ctypes.c_char * n).from_buffer(view)
            try:
                self._call("ZPX_ReadMemory", 0, memory, address, n, target)
            finally:
                del target
            return n
        finally:
            view.release()

    # ---- run control ----
    @_reported("start")
    def start(self) -> None:
        """Start the sequencer, once the pending settle times (reset, voltages, power, clock)
        have passed."""
        self._call("ZPX_StartController")

    @_reported("stop")
    def stop(self) -> None:
        """Stop the sequencer."""
        self._call("ZPX_StopController")

    @property
    @_reported("running", "get")
    def running(self) -> bool:
        """Whether the sequencer runs."""
        return self._u32("ZPX_GetControllerStatus") != 0

    @_reported("wait_until_stopped")
    def wait_until_stopped(self, timeout: float = 10.0, poll: float = 0.001) -> int:
        """Poll until the sequencer stops; returns the polls taken. ZpxTimeout (a TimeoutError)
        after ``timeout`` seconds."""
        deadline = time.monotonic() + timeout
        polls = 0
        while True:
            polls += 1
            if not self.running:
                return polls
            if time.monotonic() > deadline:
                raise ZpxTimeout(detail=f"still running after {polls} polls")
            if poll:
                time.sleep(poll)

    @property
    @_reported("error", "get")
    def error(self) -> int:
        """The error register (register 1) as it reads: bits 7-6 (0xC0) are the VPP mode
        (set_vpp_mode), bit 5 (0x20) is the pod bit that pod power-up and activation set, and the
        controller reports its errors in the other bits (what each means is its own). Clean after
        clear_error(0xFF) and a run without faults."""
        return self._u32("ZPX_GetError")

    @_reported("clear_error")
    def clear_error(self, mask: int = 0xFF) -> None:
        """Clear the error-register bits in ``mask``. The default 0xFF also clears the VPP mode
        and the pod bit 0x20 (0x1F leaves them)."""
        self._call("ZPX_ClearError", mask)

    @_reported("set_run_mode")
    def set_run_mode(self, mode: int) -> None:
        """Set the run mode: bits 3-2 (0x0C) of ``mode``, in place; other bits are ignored."""
        self._call("ZPX_SetRunMode", mode)

    @_reported("set_repeater_mode")
    def set_repeater_mode(self, mode: int) -> None:
        """Set the repeater mode: bits 5-4 (0x30) of ``mode``, in place."""
        self._call("ZPX_SetRepeaterMode", mode)

    @_reported("set_imm_mode")
    def set_imm_mode(self, mode: int) -> None:
        """Set the immediate mode: bits 7-6 (0xC0) of ``mode``, in place."""
        self._call("ZPX_SetImmMode", mode)

    @_reported("set_vpp_mode")
    def set_vpp_mode(self, mode: int) -> None:
        """Set the programming-voltage (VPP) mode: bits 7-6 (0xC0) of ``mode``, in place, kept in
        the error register."""
        self._call("ZPX_SetVPPMode", mode)

    @property
    @_reported("tap_enable", "get")
    def tap_enable(self) -> int:
        """The TAP enables as register 2 holds them: 0x10 TAP 1 to 0x80 TAP 4 (other bits are
        not TAP enables and are dropped); assigning sets them."""
        return self._u32("ZPX_GetTapEnable")

    @tap_enable.setter
    @_reported("tap_enable", "set")
    def tap_enable(self, mask: int) -> None:
        self._call("ZPX_SetTapEnable", mask)

    @property
    @_reported("learn_mode", "get")
    def learn_mode(self) -> bool:
        """Learn mode; assigning switches it."""
        return self._u32("ZPX_GetLearnMode") != 0

    @learn_mode.setter
    @_reported("learn_mode", "set")
    def learn_mode(self, on: bool) -> None:
        self._call("ZPX_SetLearnMode", 0x04 if on else 0)  # the library keeps bit 2 only

    @property
    @_reported("button_pressed", "get")
    def button_pressed(self) -> bool:
        """Whether the controller's button is pressed."""
        return self._u32("ZPX_GetButton") != 0

    @property
    @_reported("continuous_count", "get")
    def continuous_count(self) -> int:
        """The 16-bit continuous-mode counter; assigning loads it."""
        return self._u32("ZPX_GetContModeCounter")

    @continuous_count.setter
    @_reported("continuous_count", "set")
    def continuous_count(self, count: int) -> None:
        self._call("ZPX_SetContModeCounter", _whole("count", count, 0, 0xFFFF))

    @_reported("reset_count")
    def reset_count(self) -> None:
        """ZPX_SetCntCounter: restart the controller's count."""
        self._call("ZPX_SetCntCounter")

    # ---- counters ----
    # Write and read numbers name different counters: write counter 4 is read back as read
    # counter 0, for instance.
    @_reported("read_counter")
    def read_counter(self, counter: int) -> int:
        """The value of read counter ``counter`` (numbered as ZPX_ReadCtrlCounter numbers them)."""
        return self._u32("ZPX_ReadCtrlCounter", counter)

    @_reported("write_counter")
    def write_counter(self, counter: int, value: int) -> None:
        """Load write counter ``counter`` (numbered as ZPX_WriteCtrlCounter numbers them; write
        counter 4 reads back as read counter 0)."""
        self._call("ZPX_WriteCtrlCounter", counter, value)

    # ---- network settings and image updates (51x4 family over Ethernet or USB) ----
    # Every failure of these items raises ZpxItemFailed (status 3).
    @property
    @_reported("ip_address", "get")
    def ip_address(self) -> ipaddress.IPv4Address:
        """The controller's IP address; assigning (an IPv4Address or its text) stores a new one,
        which takes effect as the controller's firmware decides (this session stays connected).
        The controller keeps the address word as inet_addr makes it, the first byte lowest."""
        word = self._u32("ZPX_GetIpAddress")
        return ipaddress.IPv4Address(word.to_bytes(4, "little"))

    @ip_address.setter
    @_reported("ip_address", "set")
    def ip_address(self, address: Union[ipaddress.IPv4Address, str, int]) -> None:
        if isinstance(address, int) and not isinstance(address, bool):
            _deprecated("ip_address = <the controller's word>", "ip_address = \"10.0.0.2\"")
            word = address
        else:
            word = int.from_bytes(ipaddress.IPv4Address(address).packed, "little")
        self._call("ZPX_SetIpAddress", word)

    @property
    @_reported("mac_address", "get")
    def mac_address(self) -> str:
        """The MAC address, "aa:bb:cc:dd:ee:ff"; assigning takes that form (or "-" between the
        bytes, or 6 bytes). The protocol carries it as two little-endian words: the first holds
        bytes 1 to 4, the low half of the second bytes 5 and 6."""
        first, second = self._pair("ZPX_GetMACAddress")
        if second > 0xFFFF:
            raise ZpxError(1, "FAILED", "ZPX_GetMACAddress",
                           detail=f"the controller answered words {first:#x}, {second:#x}, "
                                  "which are no MAC address")
        raw = first.to_bytes(4, "little") + second.to_bytes(2, "little")
        return ":".join(f"{b:02x}" for b in raw)

    @mac_address.setter
    @_reported("mac_address", "set")
    def mac_address(self, mac: Union[str, bytes, Tuple[int, int]]) -> None:
        if isinstance(mac, tuple):
            _deprecated("mac_address = (first word, second word)", "mac_address = \"aa:bb:...\"")
            if len(mac) != 2:
                raise bad_argument("the MAC address words are two")
            self._call("ZPX_SetMACAddress", mac[0], mac[1])
            return
        if isinstance(mac, str):
            if not re.fullmatch(r"[0-9A-Fa-f]{2}([:-][0-9A-Fa-f]{2}){5}", mac):
                raise bad_argument(f"{mac!r} is not a MAC address like 02:00:00:00:00:01")
            raw = bytes(int(part, 16) for part in re.split("[:-]", mac))
        else:
            raw = bytes(mac)
            if len(raw) != 6:
                raise bad_argument(f"a MAC address is 6 bytes, not {len(raw)}")
        self._call("ZPX_SetMACAddress", int.from_bytes(raw[:4], "little"),
                   int.from_bytes(raw[4:], "little"))

    @property
    @_reported("dhcp", "get")
    def dhcp(self) -> bool:
        """Whether the controller takes its address by DHCP; assigning switches it."""
        return self._u32("ZPX_GetDHCP") != 0

    @dhcp.setter
    @_reported("dhcp", "set")
    def dhcp(self, on: bool) -> None:
        self._call("ZPX_SetDHCP", 1 if on else 0)

    @property
    @_reported("fpga_version", "get")
    def fpga_version(self) -> ImageVersion:
        """The FPGA version, an int that reads as zpxctl shows it ("0x00000103")."""
        return ImageVersion(self._u32("ZPX_GetFPGAVersion"))

    @property
    @_reported("firmware_version", "get")
    def firmware_version(self) -> ImageVersion:
        """The firmware version, as fpga_version."""
        return ImageVersion(self._u32("ZPX_GetFirmwareVersion"))

    @_reported("update_firmware")
    def update_firmware(self, image: Buffer, first: int = 0, second: int = 0) -> None:
        """Send a firmware image; ``first`` and ``second`` are the two bytes the controller's
        firmware interprets. Over Ethernet the call waits for the controller's verdict, up to
        about a minute. Raises ZpxFailed when the image did not travel and ZpxImageRejected with
        the controller's own status when it refused the image."""
        self._update("ZPX_UpdateFirmware", image, first, second)

    @_reported("update_fpga")
    def update_fpga(self, image: Buffer, first: int = 0, second: int = 0) -> None:
        """Send an FPGA image, as update_firmware() does."""
        self._update("ZPX_UpdateFPGA", image, first, second)

    def _update(self, function: str, image: Buffer, first: int, second: int) -> None:
        first = _whole("first", first, 0, 255)
        second = _whole("second", second, 0, 255)
        data = bytes(image) if not isinstance(image, bytes) else image
        if self._handle is None:
            self._call(function)  # raises ZpxClosed
        code = getattr(self._lib, function)(self._handle, len(data), 0, first, second, data)
        if code == 0:
            return
        # 1 a failed transfer, 2 a closed session, 3 a busy session or a controller that takes
        # no images: the library's own. Anything else is the controller's verdict, passed through
        # (a controller's status that happens to be 1 to 3 cannot be told apart).
        if code in (1, 2, 3):
            raise error_for(code, function)
        raise ZpxImageRejected(code, "IMAGE_REJECTED", function)


__all__ = ["Controller", "open", "serial_number_of", "DEFAULT_THRESHOLD", "ALL_TAPS", "ZpxError"]
