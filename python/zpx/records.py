"""ctypes layouts of the library's records and the dataclasses the package hands out."""
from __future__ import annotations

import ctypes
from ctypes import POINTER, c_int32, c_uint32, c_void_p
from dataclasses import dataclass
from enum import IntEnum
from typing import Optional, Tuple


class ZPX_DeviceInfo(ctypes.Structure):
    _fields_ = [
        ("ControllerKind", c_int32),
        ("PodKind", c_int32),
        ("TapState", c_int32 * 4),
        ("MemorySize", c_uint32 * 6),
        ("MaxFrequencyKhz", c_int32),
        ("MinFrequencyKhz", c_int32),
        ("MaxOutputVoltage", c_int32),
        ("MinOutputVoltage", c_int32),
        ("MaxThresholdVoltage", c_int32),
        ("MinThresholdVoltage", c_int32),
    ]


class ZPX_ControllerInfoRecord(ctypes.Structure):
    _fields_ = [
        ("ValidMask", c_uint32),
        ("Reserved0", c_uint32),
        ("InterfaceKind", c_uint32),
        ("ControllerType", c_int32),
        ("MaxFrequencyKhz", c_int32),
        ("MinFrequencyKhz", c_int32),
        ("MemorySize", c_uint32 * 6),
        ("PodType", c_int32),
        ("TapCount", c_uint32),
        ("TapStates", POINTER(c_int32)),
        ("MinOutputVoltage", POINTER(c_int32)),
        ("MaxOutputVoltage", POINTER(c_int32)),
        ("Reserved1", c_void_p),
        ("FrequencyKhz", c_uint32),
        ("Reserved2", c_uint32 * 47),
    ]


class ZPX_InfoQuery(ctypes.Structure):
    _fields_ = [
        ("RequestMask", c_uint32),
        ("ValidMask", c_uint32),
        ("ControllerType", c_int32),
        ("PodType", c_int32),
        ("Tap", c_int32 * 4),
        ("ControllerSerialHigh", c_uint32),
        ("ControllerSerialLow", c_uint32),
        ("EpldRevision", c_uint32),
        ("FlashCode", c_uint32),
        ("TransceiverSerialHigh", c_uint32),
        ("TransceiverSerialLow", c_uint32),
        ("PodSerial", (c_uint32 * 2) * 4),
        ("MemorySize2Mib", c_uint32),
    ]


# The layouts are part of the library's interface; a wrong one would corrupt memory silently.
assert ctypes.sizeof(ZPX_DeviceInfo) == 72
assert ctypes.sizeof(ZPX_InfoQuery) == 92
assert ctypes.sizeof(c_void_p) != 8 or ctypes.sizeof(ZPX_ControllerInfoRecord) == 280


class Interface(IntEnum):
    """The back-end a controller is reached over."""

    ISA = 0
    PCI = 1
    USB = 2
    VXI = 3
    ETHERNET = 4
    FIREWIRE = 5


class PodKind(IntEnum):
    """The pod as the library identified it (Controller.pod_type)."""

    UNDETERMINED = -2  #: not identified yet: after open, power-off and reset
    UNRECOGNISED = -1  #: a pod of a kind the library does not know
    FIXED_TAPS = 0  #: the older kind: four fixed TAPs, two fixed voltages, no TAP identification
    TYPE_1 = 1  #: a pod with identified TAPs
    TYPE_2 = 2  #: a pod with an extender mode
    TYPE_3 = 3  #: a pod with an extender mode


class PodPower(IntEnum):
    """Controller.pod_power_state. The values are what the library reports, 0 for powered: the
    export's sense is the reverse of its name, so compare with the members, not with truth."""

    ON = 0  #: both power steps are on (and always on the 5120 family, which has no pod power)
    OFF = 1  #: the 51x4 family's pod power bits are clear


class Memory(IntEnum):
    """The six controller memories, numbered as the exports number them. What each holds is the
    controller's business (memory 0 also takes the pod start-up program that activation loads);
    a controller may lack some of them (size 0, see Controller.memory_size)."""

    M0 = 0
    M1 = 1
    M2 = 2
    M3 = 3
    M4 = 4
    M5 = 5


class LibraryVersion(int):
    """The library's version number, its four decimal digits the four components of the file
    version, major first: 2066 is "2.0.6.6"."""

    @property
    def parts(self) -> Tuple[int, ...]:
        return tuple(int(d) for d in f"{int(self):04d}")

    def __str__(self) -> str:
        return ".".join(str(p) for p in self.parts)

    def __repr__(self) -> str:
        return f"LibraryVersion({str(self)!r})"


class ImageVersion(int):
    """A firmware or FPGA version number. Its meaning is the controller firmware's; it reads as
    zpxctl shows it, eight hex digits."""

    def __str__(self) -> str:
        return f"0x{int(self):08X}"

    def __repr__(self) -> str:
        return f"ImageVersion({str(self)})"


def _volts(tenths: int) -> Optional[float]:
    """Tenths of a volt as volts; the records' -1 (no range) as None."""
    return None if tenths < 0 else tenths / 10


@dataclass(frozen=True)
class DeviceInfo:
    """A controller and its pod as ZPX_CreateDeviceInfo describes them. Voltages in volts, None
    where the pod kind gives no range; ``tap_state`` holds TAP 1 first (0 present, -1 absent, 4 a
    fixed TAP)."""

    controller_kind: int
    pod_kind: int
    tap_state: Tuple[int, int, int, int]
    memory_size: Tuple[int, ...]
    max_frequency_khz: int
    min_frequency_khz: int
    max_output_voltage: Optional[float]
    min_output_voltage: Optional[float]
    max_threshold_voltage: Optional[float]
    min_threshold_voltage: Optional[float]

    @classmethod
    def from_struct(cls, s: ZPX_DeviceInfo) -> "DeviceInfo":
        return cls(
            controller_kind=s.ControllerKind,
            pod_kind=s.PodKind,
            tap_state=tuple(s.TapState),  # type: ignore[arg-type]
            memory_size=tuple(s.MemorySize),
            max_frequency_khz=s.MaxFrequencyKhz,
            min_frequency_khz=s.MinFrequencyKhz,
            max_output_voltage=_volts(s.MaxOutputVoltage),
            min_output_voltage=_volts(s.MinOutputVoltage),
            max_threshold_voltage=_volts(s.MaxThresholdVoltage),
            min_threshold_voltage=_volts(s.MinThresholdVoltage),
        )


@dataclass(frozen=True)
class SerialNumber:
    """A serial ROM as two words: ``low`` holds ROM bytes 0 to 3, ``high`` bytes 4 to 7.
    Both 0 when the ROM failed its checksum. str() gives the 16 hex digits zpxctl prints."""

    high: int
    low: int

    @property
    def value(self) -> int:
        """The eight ROM bytes as one number, byte 7 most significant."""
        return (self.high << 32) | self.low

    @property
    def valid(self) -> bool:
        """False when the ROM failed its checksum (both words 0)."""
        return self.high != 0 or self.low != 0

    def __str__(self) -> str:
        return f"{self.high:08X}{self.low:08X}"


@dataclass(frozen=True)
class TapVoltage:
    """Output and threshold of one TAP, in volts."""

    output: float
    threshold: float


@dataclass(frozen=True)
class ControllerInfo:
    """A copy of the session's information record (ZPX_GetControllerInfo); fields the last
    refresh did not fill keep the record's values, see ``valid_mask``. The per-TAP tuples hold
    TAP 1 first; output voltages are in volts, None for a TAP type that takes none."""

    valid_mask: int
    interface: int
    controller_type: int
    max_frequency_khz: int
    min_frequency_khz: int
    memory_size: Tuple[int, ...]
    pod_type: int
    tap_states: Tuple[int, ...]
    min_output_voltage: Tuple[Optional[float], ...]
    max_output_voltage: Tuple[Optional[float], ...]
    frequency_khz: int

    @classmethod
    def from_struct(cls, r: ZPX_ControllerInfoRecord) -> "ControllerInfo":
        n = r.TapCount

        # The blocks are owned by the session; copy them out while it is open.
        def block(p: "ctypes._Pointer[c_int32]") -> Tuple[int, ...]:
            return tuple(p[i] for i in range(n)) if p else ()

        return cls(
            valid_mask=r.ValidMask,
            interface=r.InterfaceKind,
            controller_type=r.ControllerType,
            max_frequency_khz=r.MaxFrequencyKhz,
            min_frequency_khz=r.MinFrequencyKhz,
            memory_size=tuple(r.MemorySize),
            pod_type=r.PodType,
            tap_states=block(r.TapStates),
            min_output_voltage=tuple(_volts(v) for v in block(r.MinOutputVoltage)),
            max_output_voltage=tuple(_volts(v) for v in block(r.MaxOutputVoltage)),
            frequency_khz=r.FrequencyKhz,
        )
