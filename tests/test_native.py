"""The C++ test programs of tests/native, built by CMake and run by CTest."""
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pybind11

ROOT = Path(__file__).resolve().parent.parent


def run(*args):
    out = subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=900)
    assert out.returncode == 0, out.stdout + out.stderr
    return out.stdout


def test_native_programs():
    # A build tree of its own beside the dev build, so that reruns rebuild
    # only what changed.
    build = ROOT / "build" / "native-tests"
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    run("cmake", "-S", ROOT, "-B", build, *generator, "-DQORV_BUILD_NATIVE_TESTS=ON",
        f"-DPython_EXECUTABLE={sys.executable}", f"-Dpybind11_DIR={pybind11.get_cmake_dir()}")
    run("cmake", "--build", build, "--target", "qorv_native_tests", "-j2")
    report = run("ctest", "--test-dir", build, "--output-on-failure")
    programs = len(list((ROOT / "tests" / "native").glob("*.cpp")))
    assert re.search(rf"100% tests passed(, 0 tests failed)? out of {programs}\n", report), report
