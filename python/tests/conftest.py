"""The session's emulated controller, through the package's own zpx.testing."""
import os
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
# The package from the tree, or the installed copy that ZPX_PYTHON_PACKAGE_DIR names.
PACKAGE_DIR = os.environ.get("ZPX_PYTHON_PACKAGE_DIR", str(HERE.parent))
sys.path.insert(0, PACKAGE_DIR)

BUILD = Path(os.environ.get("ZPX_BUILD_DIR", HERE.parent.parent / "build")).resolve()
os.environ["ZPX_LIBRARY"] = str(BUILD / "ZPX.so")


@pytest.fixture(scope="session")
def emulated():
    """The emulated controller of the test session, through zpx.testing: the one `zpx-emu run`
    serves when the tests run under it, else an Ethernet controller of type 2 with a pod."""
    from zpx.testing import emulated_controller

    if not (BUILD / "ZPX.so").exists():
        pytest.fail(f"no ZPX.so in {BUILD} (set ZPX_BUILD_DIR)")
    with emulated_controller() as controller:
        yield controller


@pytest.fixture(scope="session")
def emulator(emulated):
    """Address ("127.0.0.X") of the session's controller; a test that needs it skips on a driver
    interface."""
    if not emulated.name.startswith("ETH"):
        pytest.skip("an Ethernet controller's test")
    return emulated.name[3:]


@pytest.fixture
def ctl(emulated):
    import zpx

    with zpx.open(emulated.name) as controller:
        yield controller
