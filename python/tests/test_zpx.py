import os
import random
from pathlib import Path

import pytest

import zpx


def _pattern(n, seed):
    return random.Random(seed).randbytes(n)


def test_typical_run(ctl):
    assert ctl.controller_type == 2  # the emulator's default model
    assert ctl.interface is zpx.Interface.ETHERNET
    assert ctl.library_version > 0
    assert ctl.serial_number.valid
    low, high = ctl.frequency_range
    assert low <= 10000 <= high
    ctl.frequency_khz = 10000
    assert ctl.frequency_khz == 10000
    ctl.set_frequency(5000)
    assert ctl.frequency_khz == 5000

    ctl.pod_power_off()
    assert ctl.pod_power_state == 1
    ctl.pod_power_on()
    assert ctl.pod_power_state == 0 and ctl.pod_type == 1
    ctl.add_tap(zpx.ALL_TAPS, 33)
    ctl.add_tap(2, 25, 12)
    ctl.apply_tap_voltages()
    assert [ctl.tap_voltage(t) for t in (1, 2, 3, 4)] == [
        zpx.TapVoltage(33, 15), zpx.TapVoltage(25, 12), zpx.TapVoltage(33, 15),
        zpx.TapVoltage(33, 15)]
    ctl.activate_pod()
    assert ctl.pod_active
    ctl.set_tap_io_pins(1, 0xA, 0x5)
    assert ctl.tap_io_pins(1) == (0xA, 0x5)

    vectors = _pattern(64 * 1024, 1)
    assert ctl.memory_size(1) >= len(vectors)
    ctl.clear_error(0xFF)
    ctl.write_memory(1, 0, vectors)
    ctl.start()
    assert ctl.wait_until_stopped(timeout=10) >= 1
    assert not ctl.running
    assert ctl.error == 0
    assert ctl.read_memory(1, 0, len(vectors)) == vectors


def test_records(ctl):
    info = ctl.device_info()
    sizes = tuple(ctl.memory_size(m) for m in range(6))
    assert info.memory_size == sizes and any(sizes)
    assert info.min_frequency_khz < info.max_frequency_khz
    ctl.frequency_khz = 7000
    rec = ctl.controller_info()
    assert rec.interface == zpx.Interface.ETHERNET and rec.controller_type == ctl.controller_type
    assert rec.memory_size == sizes and rec.frequency_khz == 7000
    assert (rec.min_frequency_khz, rec.max_frequency_khz) == ctl.frequency_range
    assert ctl.memory_size(6) == 0


def test_memory_round_trips(ctl):
    data = _pattern(4096, 2)
    ctl.write_memory(2, 0, data)
    ctl.write_memory(2, 4096, bytearray(data[::-1]))
    ctl.write_memory(2, 8192, memoryview(bytearray(data))[100:300])  # offset slice of a buffer
    ctl.write_memory(2, 9000, memoryview(data)[7:77])  # read-only view
    assert ctl.read_memory(2, 0, 4096) == data
    assert ctl.read_memory(2, 4096, 4096) == data[::-1]
    assert ctl.read_memory(2, 8192, 200) == data[100:300]
    assert ctl.read_memory(2, 9000, 70) == data[7:77]

    into = bytearray(b"\xEE" * 600)
    assert ctl.read_memory_into(2, 4000, memoryview(into)[50:250]) == 200
    assert into[:50] == b"\xEE" * 50 and into[250:] == b"\xEE" * 350  # nothing outside the view
    assert into[50:250] == (data + data[::-1])[4000:4200]
    whole = bytearray(4096)
    ctl.read_memory_into(2, 0, whole)
    assert whole == data
    whole.append(0)  # the buffer export was released


def test_errors_carry_code_and_class(ctl):
    ctl.pod_power_on()  # TAP numbers and voltages are checked against the identified pod
    with pytest.raises(zpx.ZpxInvalid) as bad_tap:
        ctl.add_tap(9, 33)
    assert (bad_tap.value.code, bad_tap.value.name) == (10, "INVALID")
    assert bad_tap.value.function == "ZPX_AddNewTapInfo"
    with pytest.raises(zpx.ZpxInvalid):
        ctl.set_tap_io_pins(7, 0, 0)
    with pytest.raises(zpx.ZpxInvalid):
        ctl.pod_serial_number(4)
    with pytest.raises(zpx.ZpxOutOfRange) as volts:
        ctl.add_tap(1, 999)
    assert volts.value.code == 12 and isinstance(volts.value, zpx.ZpxCannotOpen)
    with pytest.raises(zpx.ZpxNotAvailable) as slow:
        ctl.set_frequency(0)
    assert slow.value.code == 11


def test_network_settings_and_image_updates(ctl):
    ctl.ip_address = 0x0A000002
    ctl.mac_address = (0x11223344, 0x5566)
    ctl.dhcp = True
    assert (ctl.ip_address, ctl.mac_address, ctl.dhcp) == (0x0A000002, (0x11223344, 0x5566), True)
    ctl.dhcp = False
    assert not ctl.dhcp
    assert ctl.firmware_version > 0 and ctl.fpga_version > 0

    ctl.update_fpga(bytearray(b"abcdefgh" * 16), 1, 2)  # accepted: returns quietly
    with pytest.raises(zpx.ZpxImageRejected) as too_long:  # more than the emulated flash holds
        ctl.update_firmware(bytes(4 * 1024 * 1024 + 4))
    assert too_long.value.code == 6 and too_long.value.function == "ZPX_UpdateFirmware"
    for bad in ((b"abcd", 256, 0), (b"abcd", 0, -1)):
        with pytest.raises(ValueError):
            ctl.update_fpga(*bad)


def test_run_modes_counters_and_the_serial_registry(ctl, emulator):
    ctl.learn_mode = True
    assert ctl.learn_mode
    ctl.learn_mode = False
    assert not ctl.learn_mode
    ctl.tap_enable = 0x50
    assert ctl.tap_enable == 0x50
    ctl.continuous_count = 77
    assert ctl.continuous_count == 77
    ctl.write_counter(4, 0x123456)  # the immediate counter, read back as read counter 0
    assert ctl.read_counter(0) == 0x123456
    assert not ctl.button_pressed
    assert zpx.serial_number_of("ETH" + emulator) == ctl.serial_number


def test_status_names():
    names = {1: "FAILED", 2: "NULL_HANDLE", 3: "BUSY", 10: "INVALID", 11: "NOT_AVAILABLE",
             12: "CANNOT_OPEN", 13: "LEGACY_INDEX", 14: "NO_USB", 15: "OS_UNSUPPORTED",
             16: "DEVICE_BUSY"}
    for code, name in names.items():
        err = zpx.error_for(code, "ZPX_X")
        assert zpx.status_name(code) == name and err.name == name and err.code == code
        assert type(err).__name__.lower() == "zpx" + name.replace("_", "").lower()
    assert zpx.status_name(12, "ZPX_AddNewTapInfo") == "OUT_OF_RANGE"
    item = zpx.error_for(3, "ZPX_GetIpAddress")
    assert (type(item), item.name) == (zpx.ZpxItemFailed, "ITEM_FAILED")
    assert type(zpx.error_for(3, "ZPX_GetError")) is zpx.ZpxBusy
    assert type(zpx.error_for(99)) is zpx.ZpxError and zpx.status_name(99) == "UNKNOWN_99"


def test_open_where_nothing_listens(emulator):
    quiet = emulator.rsplit(".", 1)[0] + ".251"
    with pytest.raises(zpx.ZpxFailed) as exc:
        zpx.open("ETH" + quiet)
    assert exc.value.code == 1 and exc.value.function == "ZPX_OpenController"


def test_closed_controller_and_context_manager(emulator):
    saved = None
    with pytest.raises(RuntimeError):
        with zpx.open("ETH" + emulator) as saved:
            assert saved.controller_type == 2
            raise RuntimeError("test step failed")
    assert saved.closed
    with pytest.raises(zpx.ZpxNullHandle) as exc:
        saved.running
    assert exc.value.code == 2
    with pytest.raises(zpx.ZpxNullHandle):
        saved.read_memory(1, 0, 4)
    saved.close()  # a second close is harmless


def test_the_package_is_the_copy_asked_for():
    wanted = os.environ.get("ZPX_PYTHON_PACKAGE_DIR", str(Path(__file__).resolve().parents[1]))
    found = Path(zpx.__file__).resolve()
    assert found.is_relative_to(Path(wanted).resolve()), found
    assert (found.parent / "py.typed").exists()  # type hints travel with an installed copy


def test_library_not_found_lists_places(tmp_path):
    missing = str(tmp_path / "nowhere" / "ZPX.so")
    with pytest.raises(zpx.LibraryNotFoundError) as exc:
        zpx.load_library(env_value=missing, package_dir=str(tmp_path),
                         system_names=["libzpx-absent-for-test.so"])
    text = str(exc.value)
    for place in (missing, str(tmp_path / "ZPX.so"), str(tmp_path / "libzpx.so"),
                  str(tmp_path / "ZPX.dll"), "libzpx-absent-for-test.so"):
        assert place in text
    assert len(exc.value.tried) == 5
    # And the real search finds the built library through $ZPX_LIBRARY.
    assert zpx.load_library(package_dir=str(tmp_path), system_names=[]) is not None
    assert os.environ["ZPX_LIBRARY"].endswith("ZPX.so")
