"""qorv.show_versions() reports what the process really uses."""
import numpy as np
import pytest

import qorv
from conftest import run_with_threads, supported_cpu_levels


def report(text):
    """The 'key: value' lines of show_versions' output as a dict."""
    return dict(line.strip().split(": ", 1) for line in text.splitlines() if ": " in line)


@pytest.mark.parametrize("level", supported_cpu_levels())
def test_reports_the_level_and_threads_of_this_process(level):
    out = report(run_with_threads("import qorv; qorv.show_versions()", 3, level))
    assert out["kernel level"] == level
    assert out["levels available"] == ", ".join(supported_cpu_levels())
    assert out["threads per fit"] == "3"
    assert out["numpy"] == np.__version__
    assert out["qorv"] == qorv.__version__
    assert "libgomp" in out["OpenMP runtime"]


def test_missing_scikit_learn_is_reported(monkeypatch, capsys):
    from qorv import _show_versions

    def version(name):
        if name == "scikit-learn":
            raise _show_versions.PackageNotFoundError(name)
        return "1.0"

    monkeypatch.setattr(_show_versions, "version", version)
    qorv.show_versions()
    assert report(capsys.readouterr().out)["scikit-learn"] == "not installed"
