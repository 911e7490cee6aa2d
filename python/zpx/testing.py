"""Emulated controllers for tests of station scripts, without hardware.

In pytest (the plugin is registered with the package) the ``zpx_emulator`` fixture gives an
:class:`EmulatedController`: its ``name`` opens it, its ``state()`` and ``memory()`` look inside
it, and ``inject()`` breaks it on purpose. Mark a test to choose the model::

    @pytest.mark.zpx_emulator(type=1, options=["--no-pod"])
    def test_station(zpx_emulator):
        with zpx.open(zpx_emulator.name) as c:
            ...

Outside pytest, :func:`emulated_controller` is the same as a context manager.

An Ethernet controller is started here, as a ``zpx-emu`` process of its own. A driver interface
(ISA, PCI, USB, FireWire) is emulated for a whole process instead, since the library opens its
device node from inside the process: run the tests under ``zpx-emu run --interface usb -- pytest``
and the fixture gives the controller that ``zpx-emu run`` serves.
"""
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
from contextlib import contextmanager
from pathlib import Path
from typing import Dict, Iterator, List, Optional, Sequence

__all__ = ["EmulatedController", "EmulatorError", "EmulatorNotFoundError", "emulated_controller"]

_START_SECONDS = 10


class EmulatorError(RuntimeError):
    """The emulator refused a command (the message says why): a failure of the test's set-up, not
    of the controller under test."""


class EmulatorNotFoundError(EmulatorError):
    """No ``zpx-emu`` was found, or it did not start; the message says where it looked."""


class EmulatedController:
    """A running emulated controller: ``name`` opens it; the rest looks inside it."""

    def __init__(self, name: str, control: str) -> None:
        self.name = name
        host, port = control.rsplit(":", 1)
        self._control = socket.create_connection((host, int(port)), timeout=10)
        self._lines = self._control.makefile("rw", encoding="ascii", newline="\n")

    def _ask(self, line: str) -> str:
        self._lines.write(line + "\n")
        self._lines.flush()
        answer = self._lines.readline().rstrip("\n")
        if answer.startswith("error: "):
            raise EmulatorError(f"{self.name}: emulator: {answer[7:]}")
        return answer

    def state(self) -> Dict:
        """What the station cannot see: ``type``, ``running``, ``clock_hz``, ``error_register``,
        ``register2`` (as last written), ``power_register``, ``runs``, and ``taps``: for TAPs 1 to
        4 ``present``, ``output_mv`` (0 while never set), ``threshold_mv``, ``data`` and
        ``control``."""
        return json.loads(self._ask("state"))

    def memory(self, memory: int, address: int, length: int) -> bytes:
        """``length`` bytes of memory ``memory`` (0-5) from ``address``, as the controller holds
        them."""
        return bytes.fromhex(self._ask(f"memory {int(memory)} {int(address)} {int(length)}"))

    def inject(self, fault: str) -> None:
        """Breaks the controller on purpose, as ``zpx-emu --fault`` does, aimed at what the fault
        hits rather than at a request number: ``"close:read-register-1"`` hangs up at the next
        read of register 1, ``"fail:read-register-1"`` refuses it (a driver fails the request at
        once; over Ethernet no reply comes, and the library waits out its time limit),
        ``"drop:read-memory"`` leaves the next memory read unanswered,
        ``"cut:read-memory:5:200"`` sends 5 bytes of it and the rest 200 ms later,
        ``"delay:read-register:300x0"`` delays every register read from now on. Kinds:
        read-register[-R], write-register[-R], read-counter, write-counter, read-memory,
        write-memory, read-item, write-item, image."""
        self._ask(f"fault {fault}")

    def close(self) -> None:
        """Closes the way into the emulator (the controller keeps running)."""
        self._lines.close()
        self._control.close()


def _find_emulator() -> str:
    tried: List[str] = []
    given = os.environ.get("ZPX_EMU")
    candidates = [("$ZPX_EMU", given)] if given else []
    library = os.environ.get("ZPX_LIBRARY")
    if library:
        candidates.append(("beside $ZPX_LIBRARY", str(Path(library).parent / "zpx-emu")))
    candidates.append(("beside the package", str(Path(__file__).resolve().parent / "zpx-emu")))
    candidates.append(("the path", shutil.which("zpx-emu") or ""))
    for where, path in candidates:
        if path and os.access(path, os.X_OK):
            return path
        tried.append(f"{where}: {path or 'not found'}")
    raise EmulatorNotFoundError("no zpx-emu found; tried " + "; ".join(tried) +
                                " (set ZPX_EMU to its path)")


def _under_run(interface: Optional[str]) -> Optional[EmulatedController]:
    """The first controller zpx-emu run serves this process of `interface` (any when None)."""
    # Separated by semicolons: a name of the 5120 family holds commas.
    names = os.environ.get("ZPX_EMU_NAMES", os.environ.get("ZPX_EMU_NAME", "")).split(";")
    controls = os.environ.get("ZPX_EMU_CONTROLS", os.environ.get("ZPX_EMU_CONTROL", "")).split(";")
    prefix = {"eth": "ETH", "isa": "ISA", "pci": "PCI", "usb": "USB", "fw": "FW",
              "vxi": "VXIPCI", "vxi-plain": "VXIPCI"}
    for name, control in zip(names, controls):
        if name and control and (interface is None or
                                 name.upper().startswith(prefix.get(interface, "?"))):
            return EmulatedController(name, control)
    return None


@contextmanager
def emulated_controller(interface: Optional[str] = None, *, type: int = 2,
                        options: Sequence[str] = ()) -> Iterator[EmulatedController]:
    """An emulated controller for the ``with`` block.

    ``interface`` is "eth", "isa", "pci", "usb", "fw", "vxi", "vxi-plain", or None for the controller ``zpx-emu run``
    serves this process and else Ethernet. ``type`` (0 the 5120 family, 1-3 the 51x4 models) and
    ``options`` (``zpx-emu`` options, e.g. ``["--no-pod"]``) shape a controller started here, that
    is an Ethernet one; a driver interface is the one ``zpx-emu run --interface ...`` serves the
    process, with the options given there, and raises EmulatorNotFoundError when there is none.
    """
    served = _under_run(interface)
    if served is not None:
        try:
            yield served
        finally:
            served.close()
        return
    if interface not in (None, "eth"):
        raise EmulatorNotFoundError(
            f"a {interface} controller is emulated for a whole process: run it under "
            f"`zpx-emu run --interface {interface} [options] -- COMMAND`")
    command = [_find_emulator(), "--control", "--type", str(int(type)), *options]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               text=True)
    name = control = None
    seen: List[str] = []
    deadline = time.monotonic() + _START_SECONDS
    while (name is None or control is None) and time.monotonic() < deadline:
        line = process.stdout.readline()
        if not line:
            break
        seen.append(line.rstrip())
        if "(open it as " in line:
            name = line.rsplit("(open it as ", 1)[1].split(")")[0]
        elif "control on " in line:
            control = line.rsplit("control on ", 1)[1].strip()
    if name is None or control is None:
        process.kill()
        process.wait()
        raise EmulatorNotFoundError(f"{' '.join(command)} did not start: " + " / ".join(seen))
    # What it prints from now on (a line per connection) is read and dropped, so that it never
    # blocks on a full pipe.
    drain = threading.Thread(target=lambda: [None for _ in process.stdout], daemon=True)
    drain.start()
    controller = EmulatedController(name, control)
    try:
        yield controller
    finally:
        controller.close()
        process.send_signal(signal.SIGINT if sys.platform != "win32" else signal.SIGTERM)
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        drain.join(timeout=5)


def pytest_configure(config) -> None:
    config.addinivalue_line(
        "markers", "zpx_emulator(interface=None, type=2, options=()): the emulated controller "
        "the zpx_emulator fixture gives")


try:
    import pytest
except ImportError:  # the package works without pytest; only the plugin needs it
    pytest = None

if pytest is not None:
    @pytest.fixture
    def zpx_emulator(request) -> Iterator[EmulatedController]:
        """An emulated controller for the test (see zpx.testing); a ``zpx_emulator`` mark
        chooses its interface, type and options."""
        marker = request.node.get_closest_marker("zpx_emulator")
        kwargs = dict(marker.kwargs) if marker else {}
        with emulated_controller(**kwargs) as controller:
            yield controller
