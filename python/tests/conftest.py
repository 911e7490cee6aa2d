"""Starts one zpx-emu for the test session on a free loopback address."""
import os
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
# The package from the tree, or the installed copy that ZPX_PYTHON_PACKAGE_DIR names.
PACKAGE_DIR = os.environ.get("ZPX_PYTHON_PACKAGE_DIR", str(HERE.parent))
sys.path.insert(0, PACKAGE_DIR)

BUILD = Path(os.environ.get("ZPX_BUILD_DIR", HERE.parent.parent / "build")).resolve()
os.environ["ZPX_LIBRARY"] = str(BUILD / "ZPX.so")
PORT = 5104


def _accepts(address: str) -> bool:
    try:
        with socket.create_connection((address, PORT), timeout=0.2):
            return True
    except OSError:
        return False


@pytest.fixture(scope="session")
def emulator():
    """Address ("127.0.0.X") of a running emulated controller of type 2 with a pod."""
    exe = BUILD / "zpx-emu"
    if not exe.exists() or not (BUILD / "ZPX.so").exists():
        pytest.fail(f"no zpx-emu / ZPX.so in {BUILD} (set ZPX_BUILD_DIR)")
    for last in range(50, 250):
        address = f"127.0.0.{last}"
        if _accepts(address):  # someone else's server already holds it
            continue
        proc = subprocess.Popen([str(exe), "--address", address, "--port", str(PORT)],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 5
        while proc.poll() is None and time.monotonic() < deadline and not _accepts(address):
            time.sleep(0.02)
        if proc.poll() is None and _accepts(address):
            break
        if proc.poll() is None:
            proc.kill()
        proc.wait()
    else:
        pytest.fail("zpx-emu started on no loopback address from 127.0.0.50 up")
    try:
        yield address
    finally:
        proc.send_signal(signal.SIGINT)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


@pytest.fixture
def ctl(emulator):
    import zpx

    with zpx.open("ETH" + emulator) as controller:
        yield controller
