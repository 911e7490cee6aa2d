"""The Controller class: one opened controller session."""
from __future__ import annotations

import ctypes
import threading
import time
from ctypes import byref, c_int32, c_uint32
from typing import Any, Optional, Tuple, Union

from . import _library
from .errors import ZpxError, ZpxImageRejected, check, error_for
from .records import (
    ControllerInfo,
    DeviceInfo,
    Interface,
    SerialNumber,
    TapVoltage,
    ZPX_ControllerInfoRecord,
)

DEFAULT_THRESHOLD = 0x7FFFFFFF  # add_tap: derive the threshold from the output voltage
ALL_TAPS = 0  # add_tap: every TAP at once

Buffer = Union[bytes, bytearray, memoryview]


def open(name: str) -> "Controller":  # noqa: A001 - mirrors the instrument-package idiom
    """Open controller ``name`` (e.g. "ETH127.0.0.2", "PCI0", "USB1")."""
    return Controller(name)


def serial_number_of(name: str) -> SerialNumber:
    """The serial number recorded for a 51x4-family controller under its working name (case
    ignored); a controller not yet recorded is opened briefly, which records it. Raises
    ZpxFailed for a controller that cannot be found or opened."""
    lib = _library.library()
    high, low = c_uint32(0), c_uint32(0)
    check(lib.ZPX_ControllerSerialNumberPeek(name.encode(), byref(high), byref(low)),
          "ZPX_ControllerSerialNumberPeek")
    return SerialNumber(high.value, low.value)


class Controller:
    """An opened controller. Use as a context manager, or call close()."""

    def __init__(self, name: str) -> None:
        self._lib = _library.library()
        self.name = name
        status = c_uint32(0)
        handle = self._lib.ZPX_OpenController(name.encode(), byref(status))
        if not handle:
            # A failed open can still report 0 when the name is not understood at all.
            raise error_for(status.value or 1, "ZPX_OpenController")
        self._handle: Optional[int] = handle
        self._close_lock = threading.Lock()

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
        return self._handle is None

    def close(self) -> None:
        """Close the session; a second close does nothing. Later calls raise ZpxNullHandle."""
        with self._close_lock:
            handle, self._handle = self._handle, None
        if handle is not None:
            check(self._lib.ZPX_CloseController(handle), "ZPX_CloseController")

    def _call(self, function: str, *args: Any) -> None:
        # A closed session passes a null handle: the library itself answers with status 2.
        check(getattr(self._lib, function)(self._handle, *args), function)

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
    def library_version(self) -> int:
        """The library's version number, major*1000 + minor*100 + patch*10 + tweak. The library
        answers it only on an open session."""
        return self._u32("ZPX_LibraryVersionEx")

    @property
    def controller_type(self) -> int:
        """0 the 5120 family, 1..3 the 51x4 models."""
        return self._u32("ZPX_GetControllerType")

    @property
    def interface(self) -> Interface:
        kind, _, _ = self.interface_details()
        return Interface(kind)

    def interface_details(self) -> Tuple[int, int, int]:
        """(kind, index, aux) as ZPX_GetInterfaceType reports them."""
        kind, index, aux = c_uint32(0), c_uint32(0), c_uint32(0)
        self._call("ZPX_GetInterfaceType", byref(kind), byref(index), byref(aux))
        # index and aux are -1 where the interface has none.
        return kind.value, c_int32(index.value).value, c_int32(aux.value).value

    @property
    def serial_number(self) -> SerialNumber:
        return SerialNumber(*self._pair("ZPX_GetControllerSerialNumber"))

    def pod_serial_number(self, pod: int = 0) -> SerialNumber:
        return SerialNumber(*self._pair("ZPX_GetPodSerialNumber", pod))

    @property
    def transceiver_serial_number(self) -> SerialNumber:
        return SerialNumber(*self._pair("ZPX_GetTransceiverSerialNumber"))

    @property
    def wait_time(self) -> int:
        """The controller's wait-time setting as ZPX_GetCntrWaitTime reports it."""
        return self._u32("ZPX_GetCntrWaitTime")

    @property
    def epld_revision(self) -> int:
        return self._u32("ZPX_GetControllerEPLD")

    @property
    def flash_code(self) -> int:
        return self._u32("ZPX_GetControllerFlash")

    def memory_size(self, memory: int) -> int:
        """Bytes of controller memory ``memory`` (0..5; another kind has size 0)."""
        return self._u32("ZPX_GetMemorySize", memory)

    def device_info(self) -> DeviceInfo:
        """A copy of the record ZPX_CreateDeviceInfo builds (the library's record is freed)."""
        status = c_uint32(0)
        ptr = self._lib.ZPX_CreateDeviceInfo(self._handle, byref(status))
        if not ptr:
            raise error_for(status.value or 1, "ZPX_CreateDeviceInfo")
        try:
            return DeviceInfo.from_struct(ptr.contents)
        finally:
            self._lib.ZPX_DestroyDeviceInfo(self._handle, ptr)

    def controller_info(self) -> ControllerInfo:
        """Refresh and copy the session's information record."""
        rec = ctypes.POINTER(ZPX_ControllerInfoRecord)()
        self._call("ZPX_GetControllerInfo", byref(rec))
        return ControllerInfo.from_struct(rec.contents)

    # ---- clock ----
    @property
    def frequency_khz(self) -> int:
        """The test clock in kHz; assigning programs it (see set_frequency)."""
        return self._u32("ZPX_GetCurrentFrequency")

    @frequency_khz.setter
    def frequency_khz(self, khz: int) -> None:
        self.set_frequency(khz)

    def set_frequency(self, khz: int, option: int = 0) -> None:
        """Program the test clock; below the minimum raises ZpxNotAvailable, above the maximum
        is clamped by the library."""
        self._call("ZPX_SetCtrlFrequency", option, khz)

    @property
    def frequency_range(self) -> Tuple[int, int]:
        """(minimum, maximum) in kHz."""
        return self._pair("ZPX_GetFrequencyRange")

    # ---- pod ----
    def pod_power_on(self) -> None:
        self._call("ZPX_SetPodPowerOn")

    def pod_power_off(self) -> None:
        self._call("ZPX_SetPodPowerOff")

    @property
    def pod_power_state(self) -> int:
        """ZPX_PodPowered as the library reports it: on the 51x4 family 1 while the pod's
        power-state bits are clear (not powered up), 0 once pod_power_on() has run; the 5120
        family always reads 0. Kept raw because the sense is the reverse of the name."""
        return self._u32("ZPX_PodPowered")

    @property
    def pod_type(self) -> int:
        """-2 not yet determined, -1 unrecognised, 0..3."""
        out = c_int32(0)
        self._call("ZPX_GetPodType", byref(out))
        return out.value

    def tap_type(self, tap: int) -> int:
        """Type of TAP ``tap`` (1..4)."""
        out = c_int32(-1)
        self._call("ZPX_GetTapType", tap, byref(out))
        return out.value

    def activate_pod(self, mode: int = 0) -> None:
        self._call("ZPX_ActivatePod", mode)

    def deactivate_pod(self) -> None:
        self._call("ZPX_DeActivatePod")

    @property
    def pod_active(self) -> bool:
        return self._u32("ZPX_PodActivated") != 0

    @property
    def pod_extender_mode(self) -> int:
        """Mode of the pod extender (pods of type 2 and 3); assigning sets it."""
        return self._u32("ZPX_GetPodExtenderMode")

    @pod_extender_mode.setter
    def pod_extender_mode(self, mode: int) -> None:
        self._call("ZPX_SetPodExtenderMode", mode)

    # ---- TAP voltages and pins ----
    def add_tap(self, tap: int, output_tenths: int, threshold: int = DEFAULT_THRESHOLD) -> None:
        """Queue the voltages of TAP ``tap`` (1..4, 0 every TAP) in tenths of a volt;
        apply_tap_voltages() sends them. A voltage out of range raises ZpxOutOfRange."""
        self._call("ZPX_AddNewTapInfo", tap, output_tenths, threshold)

    def apply_tap_voltages(self) -> None:
        self._call("ZPX_SetTapVoltageEx")

    def tap_voltage(self, tap: int) -> TapVoltage:
        """Voltages in force on TAP ``tap`` (1..4), tenths of a volt."""
        return TapVoltage(*self._pair("ZPX_GetTapVoltageEx", tap))

    def output_voltage_range(self, tap_index: int = 0) -> Tuple[int, int]:
        return self._pair("ZPX_GetOutputVoltRange", tap_index, signed=True)

    def threshold_voltage_range(self, tap_index: int = 0) -> Tuple[int, int]:
        return self._pair("ZPX_GetThresholdVoltRange", tap_index, signed=True)

    def set_tap_io_pins(self, tap: int, data: int, control: int) -> None:
        self._call("ZPX_SetTapIoPins", tap, data, control)

    def tap_io_pins(self, tap: int) -> Tuple[int, int]:
        """(data, control) of the four I/O pins of TAP ``tap`` (1..4)."""
        return self._pair("ZPX_GetTapIoPins", tap)

    # ---- memory ----
    def write_memory(self, memory: int, address: int, data: Buffer) -> None:
        """Write ``data`` (any bytes-like object) to controller memory ``memory``."""
        view = memoryview(data)
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
            view.release()

    def read_memory(self, memory: int, address: int, length: int) -> bytes:
        if length < 0:
            raise ValueError("length must not be negative")
        buf = ctypes.create_string_buffer(length)
        self._call("ZPX_ReadMemory", 0, memory, address, length, buf)
        return buf.raw

    def read_memory_into(self, memory: int, address: int, buffer: Union[bytearray, memoryview]) -> int:
        """Read len(buffer) bytes straight into a writable buffer; returns the byte count."""
        view = memoryview(buffer).cast("B")
        try:
            n = view.nbytes
            target = (ctypes.c_char * n).from_buffer(view)
            try:
                self._call("ZPX_ReadMemory", 0, memory, address, n, target)
            finally:
                del target
            return n
        finally:
            view.release()

    # ---- run control ----
    def start(self) -> None:
        self._call("ZPX_StartController")

    def stop(self) -> None:
        self._call("ZPX_StopController")

    @property
    def running(self) -> bool:
        return self._u32("ZPX_GetControllerStatus") != 0

    def wait_until_stopped(self, timeout: float = 10.0, poll: float = 0.001) -> int:
        """Poll until the sequencer stops; returns the polls taken. TimeoutError after
        ``timeout`` seconds."""
        deadline = time.monotonic() + timeout
        polls = 0
        while True:
            polls += 1
            if not self.running:
                return polls
            if time.monotonic() > deadline:
                raise TimeoutError(f"{self.name}: still running after {polls} polls")
            if poll:
                time.sleep(poll)

    @property
    def error(self) -> int:
        """Error register bits (0 when clean)."""
        return self._u32("ZPX_GetError")

    def clear_error(self, mask: int = 0xFF) -> None:
        self._call("ZPX_ClearError", mask)

    def set_run_mode(self, mode: int) -> None:
        self._call("ZPX_SetRunMode", mode)

    def set_repeater_mode(self, mode: int) -> None:
        self._call("ZPX_SetRepeaterMode", mode)

    def set_imm_mode(self, mode: int) -> None:
        self._call("ZPX_SetImmMode", mode)

    def set_vpp_mode(self, mode: int) -> None:
        self._call("ZPX_SetVPPMode", mode)

    @property
    def tap_enable(self) -> int:
        """The TAP enables as register 2 holds them: 0x10 TAP 1 to 0x80 TAP 4 (other bits are
        not TAP enables and are dropped); assigning sets them."""
        return self._u32("ZPX_GetTapEnable")

    @tap_enable.setter
    def tap_enable(self, mask: int) -> None:
        self._call("ZPX_SetTapEnable", mask)

    @property
    def learn_mode(self) -> bool:
        return self._u32("ZPX_GetLearnMode") != 0

    @learn_mode.setter
    def learn_mode(self, on: bool) -> None:
        self._call("ZPX_SetLearnMode", 0x04 if on else 0)  # the library keeps bit 2 only

    @property
    def button_pressed(self) -> bool:
        return self._u32("ZPX_GetButton") != 0

    @property
    def continuous_count(self) -> int:
        """The continuous-mode counter; assigning loads it."""
        return self._u32("ZPX_GetContModeCounter")

    @continuous_count.setter
    def continuous_count(self, count: int) -> None:
        self._call("ZPX_SetContModeCounter", count)

    def reset_count(self) -> None:
        """ZPX_SetCntCounter: restart the controller's count."""
        self._call("ZPX_SetCntCounter")

    # ---- counters ----
    # Write and read numbers name different counters: write counter 4 is read back as read
    # counter 0, for instance.
    def read_counter(self, counter: int) -> int:
        return self._u32("ZPX_ReadCtrlCounter", counter)

    def write_counter(self, counter: int, value: int) -> None:
        self._call("ZPX_WriteCtrlCounter", counter, value)

    # ---- network settings and image updates (51x4 family over Ethernet or USB) ----
    # Every failure of these items raises ZpxItemFailed (status 3).
    @property
    def ip_address(self) -> int:
        """The controller's IP address word as it keeps it; assigning stores a new one, which
        takes effect as the controller's firmware decides (this session stays connected)."""
        return self._u32("ZPX_GetIpAddress")

    @ip_address.setter
    def ip_address(self, address: int) -> None:
        self._call("ZPX_SetIpAddress", address)

    @property
    def mac_address(self) -> Tuple[int, int]:
        """The MAC address as the controller's two words, in argument order."""
        return self._pair("ZPX_GetMACAddress")

    @mac_address.setter
    def mac_address(self, words: Tuple[int, int]) -> None:
        self._call("ZPX_SetMACAddress", words[0], words[1])

    @property
    def dhcp(self) -> bool:
        return self._u32("ZPX_GetDHCP") != 0

    @dhcp.setter
    def dhcp(self, on: bool) -> None:
        self._call("ZPX_SetDHCP", 1 if on else 0)

    @property
    def fpga_version(self) -> int:
        return self._u32("ZPX_GetFPGAVersion")

    @property
    def firmware_version(self) -> int:
        return self._u32("ZPX_GetFirmwareVersion")

    def update_firmware(self, image: Buffer, first: int = 0, second: int = 0) -> None:
        """Send a firmware image; ``first`` and ``second`` are the two bytes the controller's
        firmware interprets. Over Ethernet the call waits for the controller's verdict, up to
        about a minute. Raises ZpxFailed when the image did not travel and ZpxImageRejected with
        the controller's own status when it refused the image."""
        self._update("ZPX_UpdateFirmware", image, first, second)

    def update_fpga(self, image: Buffer, first: int = 0, second: int = 0) -> None:
        """Send an FPGA image, as update_firmware() does."""
        self._update("ZPX_UpdateFPGA", image, first, second)

    def _update(self, function: str, image: Buffer, first: int, second: int) -> None:
        data = bytes(image) if not isinstance(image, bytes) else image
        if not (0 <= first <= 255 and 0 <= second <= 255):
            raise ValueError("the caller bytes are 0 to 255")
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
