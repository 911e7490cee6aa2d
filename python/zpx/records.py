"""ctypes layouts of the library's records and the dataclasses the package hands out."""
from __future__ import annotations

import ctypes
from ctypes import POINTER, c_int32, c_uint32, c_void_p
from dataclasses import dataclass
from enum import IntEnum
from typing import Tuple


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
    ISA = 0
    PCI = 1
    USB = 2
    VXI = 3
    ETHERNET = 4
    FIREWIRE = 5


@dataclass(frozen=True)
class DeviceInfo:
    """A controller and its pod as ZPX_CreateDeviceInfo describes them (voltages in tenths)."""

    controller_kind: int
    pod_kind: int
    tap_state: Tuple[int, int, int, int]
    memory_size: Tuple[int, ...]
    max_frequency_khz: int
    min_frequency_khz: int
    max_output_voltage: int
    min_output_voltage: int
    max_threshold_voltage: int
    min_threshold_voltage: int

    @classmethod
    def from_struct(cls, s: ZPX_DeviceInfo) -> "DeviceInfo":
        return cls(
            controller_kind=s.ControllerKind,
            pod_kind=s.PodKind,
            tap_state=tuple(s.TapState),  # type: ignore[arg-type]
            memory_size=tuple(s.MemorySize),
            max_frequency_khz=s.MaxFrequencyKhz,
            min_frequency_khz=s.MinFrequencyKhz,
            max_output_voltage=s.MaxOutputVoltage,
            min_output_voltage=s.MinOutputVoltage,
            max_threshold_voltage=s.MaxThresholdVoltage,
            min_threshold_voltage=s.MinThresholdVoltage,
        )


@dataclass(frozen=True)
class SerialNumber:
    """A serial ROM as two words: ``low`` holds ROM bytes 0 to 3, ``high`` bytes 4 to 7.
    Both 0 when the ROM failed its checksum."""

    high: int
    low: int

    @property
    def value(self) -> int:
        return (self.high << 32) | self.low

    @property
    def valid(self) -> bool:
        return self.high != 0 or self.low != 0


@dataclass(frozen=True)
class TapVoltage:
    """Output and threshold of one TAP, in tenths of a volt."""

    output: int
    threshold: int


@dataclass(frozen=True)
class ControllerInfo:
    """A copy of the session's information record (ZPX_GetControllerInfo); fields the last
    refresh did not fill keep the record's values, see ``valid_mask``."""

    valid_mask: int
    interface: int
    controller_type: int
    max_frequency_khz: int
    min_frequency_khz: int
    memory_size: Tuple[int, ...]
    pod_type: int
    tap_states: Tuple[int, ...]
    min_output_voltage: Tuple[int, ...]
    max_output_voltage: Tuple[int, ...]
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
            min_output_voltage=block(r.MinOutputVoltage),
            max_output_voltage=block(r.MaxOutputVoltage),
            frequency_khz=r.FrequencyKhz,
        )
