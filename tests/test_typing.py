"""The type stub installed beside the module."""
import os
import subprocess
import sys

import pytest

import _corvid

STUB = os.path.join(os.path.dirname(_corvid.__file__), "_corvid.pyi")
HERE = os.path.dirname(os.path.abspath(__file__))


def mypy(path):
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", path],
                          capture_output=True, text=True, cwd=HERE, timeout=300)


@pytest.mark.skipif(not os.path.exists(STUB), reason="the module was not installed with its stub")
def test_stub_types_a_program(tmp_path):
    pytest.importorskip("mypy")
    ok = mypy(os.path.join(HERE, "typing_example.py"))
    assert ok.returncode == 0, ok.stdout
    bad = tmp_path / "bad.py"
    bad.write_text("from _corvid import Corvid\nCorvid(b'x').get_bytes(1)\n")
    out = mypy(str(bad))
    assert out.returncode == 1 and 'incompatible type "bytes"' in out.stdout


def test_stub_names_every_method():
    text = open(os.path.join(os.path.dirname(HERE), "src", "binding", "_corvid.pyi")).read()
    for name in [n for n in vars(_corvid.Corvid) if not n.startswith("__")]:
        assert f"def {name}(" in text


def test_the_package_passes_mypy_strict_and_stubtest(tmp_path):
    pytest.importorskip("mypy")
    for args in (["mypy", "--strict", "--no-incremental", "-p", "corvid"],
                 ["mypy.stubtest", "corvid"]):
        out = subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True,
                             cwd=tmp_path, timeout=300)
        assert out.returncode == 0, out.stdout + out.stderr
