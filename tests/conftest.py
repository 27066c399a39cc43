import os
import subprocess
import sys
import tempfile

import pytest

import _corvid

# Under the sanitizer run the module must come from the instrumented build.
if os.environ.get("CORVID_MODULE_DIR"):
    assert os.path.samefile(
        os.path.dirname(_corvid.__file__), os.environ["CORVID_MODULE_DIR"]
    ), _corvid.__file__

SANITIZED = bool(os.environ.get("CORVID_MODULE_DIR"))

Corvid = _corvid.Corvid


@pytest.fixture
def path(tmp_path):
    """A storage directory that does not exist yet."""
    return str(tmp_path / "store")


@pytest.fixture
def db(path):
    return Corvid(path)


def file_bytes(directory, name):
    with open(os.path.join(directory, name), "rb") as f:
        return f.read()


def file_size(directory, name):
    return os.path.getsize(os.path.join(directory, name))


def panic_class():
    """PanicException, which the module does not export: make one raise."""
    d = tempfile.mkdtemp()
    os.mkdir(os.path.join(d, "offsets.bin"))
    try:
        Corvid(d)
    except BaseException as e:  # noqa: B036
        return type(e)
    raise AssertionError("no panic")


def snapshot_of_files(path):
    """Every file's bytes and modification time, to tell that nothing wrote."""
    out = {}
    for name in sorted(os.listdir(path)):
        p = os.path.join(path, name)
        with open(p, "rb") as f:
            out[name] = (f.read(), os.stat(p).st_mtime_ns)
    return out


def run_python(code, user=None, timeout=60, env=None):
    """Runs code in a fresh interpreter (as `user`'s uid when given)."""
    preamble = "import os, sys\n"
    if user is not None:
        # Imported while their files can still be read: the checkout may lie
        # in a directory that `user` cannot enter.
        preamble += "import _corvid, corvid, corvid.dbm, stat\n"
        preamble += f"os.setgid({user}); os.setuid({user})\n"
    env = dict(os.environ, **(env or {}))
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run(
        [sys.executable, "-c", preamble + code],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )


NOBODY = 65534


@pytest.fixture
def shared_tmp():
    """A directory that an unprivileged user can reach."""
    d = tempfile.mkdtemp(prefix="corvid-")
    os.chmod(d, 0o755)
    yield d
    subprocess.run(["rm", "-rf", d], check=False)
