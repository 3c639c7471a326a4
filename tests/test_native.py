"""The C++ test programs of tests/native, built by CMake and run by CTest."""
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pybind11

ROOT = Path(__file__).resolve().parent.parent


def tool(name):
    """A build tool from the interpreter's own environment (the test extra
    installs CMake and Ninja there), else from PATH."""
    own = Path(sysconfig.get_path("scripts")) / name
    return str(own) if own.is_file() else shutil.which(name)


def run(*args):
    out = subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=900)
    assert out.returncode == 0, out.stdout + out.stderr
    return out.stdout


def test_native_programs():
    # A build tree of its own beside the dev build, so that reruns rebuild
    # only what changed.
    build = ROOT / "build" / "native-tests"
    ninja = tool("ninja")
    generator = ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"] if ninja else []
    run(tool("cmake"), "-S", ROOT, "-B", build, *generator, "-DQORV_BUILD_NATIVE_TESTS=ON",
        f"-DPython_EXECUTABLE={sys.executable}", f"-Dpybind11_DIR={pybind11.get_cmake_dir()}")
    run(tool("cmake"), "--build", build, "--target", "qorv_native_tests", "-j2")
    report = run(tool("ctest"), "--test-dir", build, "--output-on-failure")
    programs = len(list((ROOT / "tests" / "native").glob("*.cpp")))
    assert re.search(rf"100% tests passed(, 0 tests failed)? out of {programs}\n", report), report
