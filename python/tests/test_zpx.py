import importlib.metadata
import inspect
import ipaddress
import os
import pickle
import random
import re
from pathlib import Path

import pytest

import zpx
import zpx.testing


def _pattern(n, seed):
    return random.Random(seed).randbytes(n)


# Over every interface: `make python-test` runs it under zpx-emu run on the driver interfaces too.
def test_typical_run(ctl, emulated):
    # The emulator's default model, or the 5120 family where only it is served (ISA, VXI).
    family5120 = emulated.name.endswith(",5120")
    assert ctl.controller_type == (0 if family5120 else 2)
    kinds = {"ETH": zpx.Interface.ETHERNET, "PCI": zpx.Interface.PCI, "USB": zpx.Interface.USB,
             "FW": zpx.Interface.FIREWIRE, "ISA": zpx.Interface.ISA, "VXIPCI": zpx.Interface.VXI}
    assert ctl.interface is next(k for p, k in kinds.items() if emulated.name.startswith(p))
    assert str(ctl.library_version) == "2.0.6.6" and ctl.library_version == 2066
    serial = ctl.serial_number
    assert str(serial) == f"{serial.value:016X}"
    # The limits of the 5120 family, and of every 51x4 model.
    assert ctl.frequency_range == ((100, 25000) if family5120 else (1, 40000))
    ctl.frequency_khz = 10000
    assert ctl.frequency_khz == 10000
    ctl.set_frequency(5000)
    assert ctl.frequency_khz == 5000

    if not family5120:  # pod power is the 51x4 family's
        assert serial.valid
        ctl.pod_power_off()
        assert ctl.pod_power_state is zpx.PodPower.OFF
        assert ctl.pod_type is zpx.PodKind.UNDETERMINED
    ctl.pod_power_on()
    assert ctl.pod_power_state is zpx.PodPower.ON and ctl.pod_type is zpx.PodKind.TYPE_1
    ctl.add_tap(zpx.ALL_TAPS, 3.3)
    ctl.add_tap(2, 2.5, 1.2)
    ctl.apply_tap_voltages()
    assert [ctl.tap_voltage(t) for t in (1, 2, 3, 4)] == [
        zpx.TapVoltage(3.3, 1.5), zpx.TapVoltage(2.5, 1.2), zpx.TapVoltage(3.3, 1.5),
        zpx.TapVoltage(3.3, 1.5)]
    ctl.activate_pod()
    assert ctl.pod_active
    ctl.set_tap_io_pins(1, 0xA, 0x5)
    assert ctl.tap_io_pins(1) == (0xA, 0x5)

    vectors = _pattern(64 * 1024, 1)
    assert ctl.memory_size(zpx.Memory.M1) >= len(vectors)
    ctl.clear_error(0xFF)
    ctl.write_memory(zpx.Memory.M1, 0, vectors)
    ctl.start()
    assert ctl.wait_until_stopped(timeout=10) >= 1
    assert not ctl.running
    assert ctl.error == 0
    assert ctl.read_memory(1, 0, len(vectors)) == vectors


# Default thresholds and the type-0 TAP ranges, from the library's voltage tables.
@pytest.mark.parametrize("output, threshold", [(1.0, 0.5), (2.5, 1.2), (2.9, 1.4), (3.0, 1.5),
                                               (3.6, 1.5)])
def test_voltages_in_volts_on_taps_one_to_four(ctl, output, threshold):
    ctl.pod_power_on()
    ctl.add_tap(4, output)
    ctl.apply_tap_voltages()
    assert ctl.tap_voltage(4) == zpx.TapVoltage(output, threshold)
    assert ctl.tap_type(4) == 0
    assert (ctl.output_range(4), ctl.threshold_range(1)) == ((1.0, 3.6), (0.0, 4.1))
    with pytest.deprecated_call():  # the tenths form still works, for one release
        ctl.add_tap(3, round(output * 10))
    with pytest.deprecated_call():
        assert ctl.output_voltage_range(3) == (10, 36)
    ctl.apply_tap_voltages()
    assert ctl.tap_voltage(3) == zpx.TapVoltage(output, threshold)


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


def _set(name, value):
    return lambda c: setattr(c, name, value)


# Each bad call: the exception class and the text its message must show (the call as made).
@pytest.mark.parametrize("call, cls, shown", [
    (lambda c: c.add_tap(9, 3.3), zpx.ZpxArgumentError, "add_tap(9, 3.3): tap 9"),
    (lambda c: c.add_tap(0, 3.35), zpx.ZpxArgumentError, "3.35 V is not a whole number of tenths"),
    (lambda c: c.add_tap(1, "3.3"), zpx.ZpxArgumentError, "add_tap(1, '3.3'): output"),
    (lambda c: c.add_tap(1, 3.9), zpx.ZpxOutOfRange, "ZPX_AddNewTapInfo returned status 12"),
    (lambda c: c.add_tap(1, 3.3, 4.2), zpx.ZpxOutOfRange, "add_tap(1, 3.3, 4.2)"),
    (lambda c: c.output_range(0), zpx.ZpxArgumentError, "tap 0 is not 1 to 4"),
    (lambda c: c.tap_voltage(5), zpx.ZpxArgumentError, "tap_voltage(5)"),
    (lambda c: c.set_tap_io_pins(7, 0, 0), zpx.ZpxArgumentError, "tap 7"),
    (lambda c: c.set_tap_io_pins(1, 16, 0), zpx.ZpxArgumentError, "data 16 is not 0 to 15"),
    (lambda c: c.tap_io_pins(1.0), zpx.ZpxArgumentError, "tap must be a whole number"),
    (lambda c: c.pod_serial_number(4), zpx.ZpxArgumentError, "pod 4"),
    (lambda c: c.activate_pod(2), zpx.ZpxArgumentError, "mode 2"),
    (lambda c: c.write_counter(4, 1 << 32), zpx.ZpxArgumentError, "does not fit the u32"),
    (lambda c: c.set_run_mode(-1), zpx.ZpxArgumentError, "set_run_mode(-1)"),
    (lambda c: c.write_memory(1, 0, 5), zpx.ZpxArgumentError, "write_memory(1, 0, 5)"),
    (lambda c: c.read_memory(1, 0, -1), zpx.ZpxArgumentError, "length -1"),
    (lambda c: c.update_fpga(b"abcd", 256), zpx.ZpxArgumentError, "first 256"),
    (_set("continuous_count", 0x10000), zpx.ZpxArgumentError, "continuous_count = 65536"),
    (_set("ip_address", "300.1.2.3"), zpx.ZpxArgumentError, "ip_address = '300.1.2.3'"),
    (_set("mac_address", "02:00:5e:10:00"), zpx.ZpxArgumentError, "not a MAC address"),
    (_set("mac_address", b"\x02\0\0"), zpx.ZpxArgumentError, "6 bytes, not 3"),
    (_set("pod_extender_mode", 0), zpx.ZpxNotAvailable, "ZPX_SetPodExtenderMode returned"),
])
def test_errors_name_the_call_the_controller_and_the_argument(ctl, call, cls, shown):
    ctl.pod_power_on()  # TAP numbers and voltages are checked against the identified pod
    with pytest.raises(cls) as exc:
        call(ctl)
    err = exc.value
    assert shown in str(err) and str(err).startswith(ctl.name + " ")
    if cls is zpx.ZpxArgumentError:  # refused here: code 10, and the built-in kinds still hold
        assert err.code == 10 and isinstance(err, (zpx.ZpxInvalid, ValueError, TypeError))
    again = pickle.loads(pickle.dumps(err))
    assert (type(again), str(again), again.code) == (cls, str(err), err.code)


def test_a_run_that_does_not_stop_times_out(ctl, monkeypatch):
    monkeypatch.setattr(zpx.Controller, "running", property(lambda self: True))
    with pytest.raises(zpx.ZpxTimeout, match=f"^{ctl.name} wait_until_stopped.*still running"):
        ctl.wait_until_stopped(timeout=0.01)


def test_memory_and_clock_guards_refuse_before_sending(ctl):
    # Memory sizes of a type-2 controller, by the high nibble of its flash code.
    nibble = ctl.flash_code >> 4
    big = 0x100000 if nibble <= 0xB else 0x200000
    table = (0x400000 if nibble <= 0xC else 0x800000, big, 0x800000, big, big, big)
    assert tuple(ctl.memory_size(m) for m in zpx.Memory) == table
    for memory, size in zip(zpx.Memory, table):
        ctl.write_memory(memory, size - 4, b"tail")  # up to the very end is fine
        ctl.write_memory(memory, 0, b"head")
        with pytest.raises(zpx.ZpxArgumentError, match="run past the end"):
            ctl.write_memory(memory, size - 4, b"tail+")
        with pytest.raises(zpx.ZpxArgumentError, match="run past the end"):
            ctl.write_memory(memory, 0, _pattern(size + 4, 3))  # would wrap onto the start
        with pytest.raises(zpx.ZpxArgumentError, match="run past the end"):
            ctl.read_memory_into(memory, 1, bytearray(size))
        assert ctl.read_memory(memory, size - 4, 4) + ctl.read_memory(memory, 0, 4) == b"tailhead"
    with pytest.raises(zpx.ZpxArgumentError, match="memory 6 is not 0 to 5"):
        ctl.read_memory(6, 0, 1)

    ctl.frequency_khz = 40000
    for khz in (0, 40001):
        with pytest.raises(zpx.ZpxArgumentError, match=f"{khz} is not 1 to 40000"):
            ctl.set_frequency(khz)
    assert ctl.frequency_khz == 40000  # nothing programmed, nothing clamped


@pytest.mark.parametrize("read", [lambda c: c.transceiver_serial_number,
                                  lambda c: c.pod_serial_number(0)])
@pytest.mark.parametrize("active", [False, True])
def test_reading_a_serial_number_leaves_the_pod_as_it_was(ctl, read, active):
    ctl.pod_power_on()
    ctl.deactivate_pod()
    if active:
        ctl.activate_pod()
    ctl.tap_enable = 0x30
    serial = read(ctl)
    assert serial.valid and re.fullmatch("[0-9A-F]{16}", str(serial))
    assert (ctl.pod_active, ctl.tap_enable) == (active, 0x30)


def test_network_settings_and_image_updates(ctl):
    ctl.ip_address = ipaddress.IPv4Address("10.0.0.2")
    ctl.mac_address = "02:00:5E:10:00:01"
    ctl.dhcp = True
    assert (ctl.ip_address, ctl.mac_address, ctl.dhcp) == (
        ipaddress.IPv4Address("10.0.0.2"), "02:00:5e:10:00:01", True)
    ctl.dhcp = False
    assert not ctl.dhcp
    # The words as the controller keeps them: the address as inet_addr makes it, the MAC address
    # as the protocol's two little-endian words. The old setters still take them, for a release.
    with pytest.deprecated_call():
        ctl.ip_address = 0x0200007F
    with pytest.deprecated_call():
        ctl.mac_address = (0x11223344, 0x5566)
    assert (str(ctl.ip_address), ctl.mac_address) == ("127.0.0.2", "44:33:22:11:66:55")
    ctl.ip_address = "192.168.1.20"
    ctl.mac_address = bytes.fromhex("0a1b2c3d4e5f")
    assert (str(ctl.ip_address), ctl.mac_address) == ("192.168.1.20", "0a:1b:2c:3d:4e:5f")
    for version in (ctl.firmware_version, ctl.fpga_version):
        assert version > 0 and str(version) == f"0x{int(version):08X}"

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
    # The status exports raise through ctypes themselves, even called directly.
    with pytest.raises(zpx.ZpxNullHandle, match="ZPX_StopController returned status 2"):
        zpx.load_library().ZPX_StopController(None)


def test_open_where_nothing_listens(emulator):
    quiet = "ETH" + emulator.rsplit(".", 1)[0] + ".251"
    with pytest.raises(zpx.ZpxFailed) as exc:
        zpx.open(quiet)
    assert exc.value.code == 1 and exc.value.function == "ZPX_OpenController"
    assert str(exc.value).startswith(f"{quiet} open('{quiet}'): ZPX_OpenController returned")


@pytest.mark.parametrize("name", [None, 5, b"ETH127.0.0.1", "ETH127.0.0.1\0", "ETH127.0.0.\u00e9"])
def test_open_refuses_what_is_no_controller_name(name):
    with pytest.raises(zpx.ZpxArgumentError, match=r"open\(") as exc:
        zpx.open(name)
    assert exc.value.code == 10
    with pytest.raises(zpx.ZpxArgumentError, match=r"serial_number_of\("):
        zpx.serial_number_of(name)


def test_closed_controller_and_context_manager(emulator):
    saved = None
    with pytest.raises(RuntimeError):
        with zpx.open("ETH" + emulator) as saved:
            assert saved.controller_type == 2
            raise RuntimeError("test step failed")
    assert saved.closed
    for call in (lambda c: c.running, lambda c: c.read_memory(1, 0, 4), lambda c: c.device_info(),
                 lambda c: c.update_fpga(b"abcd")):
        with pytest.raises(zpx.ZpxClosed, match=f"^ETH{emulator} .*the controller is closed") as exc:
            call(saved)
        assert exc.value.code == 2 and isinstance(exc.value, zpx.ZpxNullHandle)
    saved.close()  # a second close is harmless


def test_every_public_member_is_documented_and_the_version_is_one():
    members = [(name, obj) for name, obj in vars(zpx.Controller).items()
               if not name.startswith("_")]
    members += [(name, getattr(zpx, name)) for name in zpx.__all__
                if callable(getattr(zpx, name)) or inspect.isclass(getattr(zpx, name))]
    assert [name for name, obj in members if not inspect.getdoc(obj)] == []
    try:
        assert importlib.metadata.version("zpx") == zpx.__version__
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("the package is imported from the tree, not installed")


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


# A station script's test as the package's README shows it: the controller's insides after the
# script, and a fault aimed at what it hits. A fresh controller of model 1 of its own.
@pytest.mark.zpx_emulator(type=1)
def test_the_fixture_looks_inside_and_breaks_the_controller(zpx_emulator):
    with zpx.open(zpx_emulator.name) as c:
        assert c.controller_type == 1
        c.pod_power_on()
        c.add_tap(3, 1.8, 0.9)
        c.apply_tap_voltages()
        c.write_memory(zpx.Memory.M1, 0x100, b"vectors")
        state = zpx_emulator.state()
        # Output DAC 600 + 4 x code mV, threshold 4 x code mV: 1.8 V and 0.9 V exactly.
        assert (state["taps"][2]["output_mv"], state["taps"][2]["threshold_mv"]) == (1800, 900)
        assert state["taps"][0]["output_mv"] == 0  # never set
        assert zpx_emulator.memory(1, 0x100, 7) == b"vectors"

        zpx_emulator.inject("close:read-register-1")
        c.frequency_khz = 1000  # not a read of register 1: the controller stays
        with pytest.raises(zpx.ZpxError):
            c.error  # the controller hangs up at the next read of register 1
    with zpx.open(zpx_emulator.name) as again:  # and takes a new session
        assert again.error == zpx_emulator.state()["error_register"]
    with pytest.raises(zpx.testing.EmulatorError, match="not a fault"):
        zpx_emulator.inject("fail:read-nothing")
