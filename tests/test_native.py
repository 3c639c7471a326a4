"""The C++ test programs of tests/native, built by CMake (preset native-tests,
no Python development files needed) and run by CTest."""
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def tool(name):
    """A build tool from the interpreter's own environment (the test extra
    installs CMake and Ninja there), else from PATH."""
    own = Path(sysconfig.get_path("scripts")) / name
    return str(own) if own.is_file() else shutil.which(name)


def run(*args):
    out = subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=900,
                         cwd=ROOT)
    assert out.returncode == 0, out.stdout + out.stderr
    return out.stdout


def test_native_programs():
    # The preset's build tree lies in build/, so that reruns rebuild only
    # what changed; this interpreter finds Eigen for it.
    run(tool("cmake"), "--preset", "native-tests", f"-DCMAKE_MAKE_PROGRAM={tool('ninja')}",
        f"-DPython_EXECUTABLE={sys.executable}")
    run(tool("cmake"), "--build", "--preset", "native-tests", "-j2")
    report = run(tool("ctest"), "--preset", "native-tests")
    programs = len(list((ROOT / "tests" / "native").glob("*.cpp")))
    assert re.search(rf"100% tests passed(, 0 tests failed)? out of {programs}\n", report), report
