import os
import pickle
import pwd
import shutil
import subprocess
import tempfile
import traceback

import pytest


def run_in_child(fn, *args, setup=None):
    """Runs fn(*args) in a forked child and returns its (picklable) result,
    so that limits or identities set there never leak into the test
    process. `setup` runs in the child first."""
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        try:
            if setup:
                setup()
            payload = ("ok", fn(*args))
        except BaseException as e:  # report everything to the parent
            payload = ("error", f"{e!r}\n{traceback.format_exc()}")
        with os.fdopen(w, "wb") as f:
            pickle.dump(payload, f)
        os._exit(0)
    os.close(w)
    with os.fdopen(r, "rb") as f:
        data = f.read()
    os.waitpid(pid, 0)
    status, value = pickle.loads(data)
    if status != "ok":
        raise AssertionError("child failed:\n" + value)
    return value


def drop_to_nobody():
    nobody = pwd.getpwnam("nobody")
    os.setgroups([])
    os.setgid(nobody.pw_gid)
    os.setuid(nobody.pw_uid)


def run_as_nobody(fn, *args):
    """fn(*args) as `nobody`: root ignores file modes, so tests of unreadable
    folders need this."""
    return run_in_child(fn, *args, setup=drop_to_nobody)


@pytest.fixture
def tmp_dir():
    """A temporary folder that `nobody` can enter too."""
    d = tempfile.mkdtemp(prefix="tallmap-test-")
    os.chmod(d, 0o755)
    yield d
    subprocess.run(["umount", "-l", os.path.join(d, "mnt")], capture_output=True)
    for root, dirs, _ in os.walk(d):
        for x in dirs:
            try:
                os.chmod(os.path.join(root, x), 0o755)
            except OSError:
                pass
    shutil.rmtree(d, ignore_errors=True)


def try_mount_tmpfs(path):
    os.makedirs(path, exist_ok=True)
    r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8m", "tmpfs", path],
                       capture_output=True)
    return r.returncode == 0
