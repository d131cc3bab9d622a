"""The `tallmap` console script end to end: scan, show, signals, saving."""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import pytest

import tallmap
from conftest import run_as_nobody


def find_script():
    found = shutil.which("tallmap")
    if found:
        return found
    beside = os.path.join(os.path.dirname(sys.executable), "tallmap")
    if os.path.exists(beside):
        return beside
    pytest.skip("the tallmap console script is not installed")


@pytest.fixture(scope="module")
def script():
    return find_script()


@pytest.fixture
def cache(tmp_dir):
    return os.path.join(tmp_dir, "cache")


@pytest.fixture
def env(cache):
    e = dict(os.environ)
    for k in ("TALLMAP_CACHE_DIR", "XDG_CACHE_HOME", "TALLMAP_LOG"):
        e.pop(k, None)
    e["TALLMAP_CACHE_DIR"] = cache
    return e


def run(script, env, *args, cwd=None):
    return subprocess.run([script, *args], capture_output=True, env=env, cwd=cwd, timeout=120)


def write(path, size):
    with open(path, "wb") as f:
        f.write(b"x" * size)


@pytest.fixture
def data(tmp_dir):
    """A small tree with nested folders, odd names and files of several sizes."""
    r = os.path.join(os.fsencode(tmp_dir), b"data")
    for d in (b"a/b/c/d", b"caf\xe9", b"new\nline", b"e", b"f/g"):
        os.makedirs(os.path.join(r, d))
    write(os.path.join(r, b"top.bin"), 5000)
    write(os.path.join(r, b"a/one"), 12000)
    write(os.path.join(r, b"a/b/two"), 70000)
    write(os.path.join(r, b"a/b/c/d/deep"), 33000)
    write(os.path.join(r, b"caf\xe9/f\xff"), 9000)
    write(os.path.join(r, b"new\nline/x\ny"), 3000)
    write(os.path.join(r, b"f/g/h"), 41000)
    return os.fsdecode(r)


def saved_scans(cache):
    return [os.path.join(cache, n) for n in os.listdir(cache) if n.endswith(".scan")]


OUTPUTS = [
    [],
    ["--si"],
    ["--top", "0"],
    ["--top", "5"],
    ["--si", "--top", "5"],
    ["--json"],
    ["--json", "--depth", "0"],
    ["--json", "--depth", "1"],
    ["--json", "--depth", "3", "--top", "5"],
    ["--json", "--si", "--depth", "3", "--top", "0"],
]


@pytest.mark.parametrize("options", OUTPUTS, ids=" ".join)
def test_show_prints_the_bytes_scan_printed(script, env, data, options):
    scanned = run(script, env, "scan", *options, data)
    assert scanned.returncode == 0, scanned.stderr
    assert scanned.stderr == b""
    assert os.fsencode(data) in scanned.stdout
    shown = run(script, env, "show", *options, data)
    assert shown.returncode == 0, shown.stderr
    assert shown.stderr == b""
    assert shown.stdout == scanned.stdout


def test_reports_differ_by_option(script, env, data):
    # Guards the test above against options that silently do nothing.
    outs = {tuple(o): run(script, env, "scan", *o, data).stdout for o in OUTPUTS}
    # A depth of 1 is the default; every other pair differs.
    assert outs[("--json",)] == outs[("--json", "--depth", "1")]
    assert len(set(outs.values())) == len(OUTPUTS) - 1
    assert outs[("--json", "--depth", "0")].count(b'"name"') == 1
    assert outs[("--json", "--depth", "3", "--top", "5")].count(b"deep") == 1


def test_show_finds_other_spellings_and_names_the_root_as_typed(script, env, data, tmp_dir):
    scanned = run(script, env, "scan", data)
    assert scanned.returncode == 0
    rest = scanned.stdout.split(b"\n", 1)[1]
    os.symlink(data, os.path.join(tmp_dir, "link"))
    spellings = [
        ("data", tmp_dir),
        ("./data/", tmp_dir),
        (data + "/", None),
        (os.path.join(tmp_dir, ".", "data"), None),
        (os.path.join(tmp_dir, "link"), None),
        ("link/", tmp_dir),
    ]
    for spelling, cwd in spellings:
        shown = run(script, env, "show", spelling, cwd=cwd)
        assert shown.returncode == 0, (spelling, shown.stderr)
        first, shown_rest = shown.stdout.split(b"\n", 1)
        assert first.endswith(b"  " + spelling.encode()), (spelling, first)
        assert shown_rest == rest, spelling
    assert len(saved_scans(env["TALLMAP_CACHE_DIR"])) == 1


def test_top_level_si_is_the_browsers_only(script, env, data):
    plain = run(script, env, "scan", data)
    assert run(script, env, "--si", "scan", data).stdout == plain.stdout
    si = run(script, env, "scan", "--si", data).stdout
    assert b"KiB" in plain.stdout and b"KiB" not in si and b"kB" in si


def test_stop_after_zero_lists_only_the_root(script, env, data):
    r = run(script, env, "scan", "--stop-after", "0", data)
    assert r.returncode == 0, r.stderr
    lines = r.stdout.decode(errors="replace").splitlines()
    assert lines[0].endswith(data + "  (incomplete: scan stopped)"), lines
    assert [l.split()[-1] for l in lines[1:]] == ["[files]"], lines
    assert run(script, env, "show", data).stdout == r.stdout


def test_missing_path(script, env, tmp_dir):
    missing = os.path.join(tmp_dir, "missing")
    r = run(script, env, "scan", missing)
    assert r.returncode == 1
    assert r.stdout == b""
    assert r.stderr == f"tallmap: {missing}: No such file or directory (os error 2)\n".encode()
    assert not os.path.exists(env["TALLMAP_CACHE_DIR"])


def test_show_without_a_saved_scan(script, env, data):
    r = run(script, env, "show", data)
    assert r.returncode == 1
    assert r.stdout == b""
    assert r.stderr == f"tallmap: no saved scan for {data}\n".encode()


@pytest.mark.parametrize("where", [0, 8, -1, "truncate"])
def test_show_of_a_damaged_saved_scan(script, env, data, where):
    assert run(script, env, "scan", data).returncode == 0
    (saved,) = saved_scans(env["TALLMAP_CACHE_DIR"])
    with open(saved, "rb") as f:
        image = bytearray(f.read())
    if where == "truncate":
        del image[-1]
    else:
        image[where] ^= 0x01
    with open(saved, "wb") as f:
        f.write(image)
    r = run(script, env, "show", data)
    assert r.returncode == 1
    assert r.stdout == b""
    assert r.stderr == f"tallmap: no saved scan for {data}\n".encode()


def test_save_below_a_regular_file_warns(script, env, data, tmp_dir):
    plain = os.path.join(tmp_dir, "plain")
    write(plain, 1)
    env["TALLMAP_CACHE_DIR"] = os.path.join(plain, "cache")
    r = run(script, env, "scan", data)
    assert r.returncode == 0
    assert r.stdout.startswith(b" ") and os.fsencode(data) in r.stdout
    assert r.stderr == b"tallmap: warning: scan not saved: Not a directory (os error 20)\n"


def test_save_without_home_warns(script, env, data):
    for k in ("TALLMAP_CACHE_DIR", "XDG_CACHE_HOME", "HOME"):
        env.pop(k, None)
    r = run(script, env, "scan", data)
    assert r.returncode == 0
    assert os.fsencode(data) in r.stdout
    assert r.stderr == b"tallmap: warning: scan not saved: HOME is not set\n"


def cli_as_nobody(argv, cache, out_path, err_path):
    """Runs tallmap._cli() without root's privileges and returns its exit
    status; its output goes to the two files."""
    out_fd = os.open(out_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    err_fd = os.open(err_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)

    def cli():
        os.dup2(out_fd, 1)
        os.dup2(err_fd, 2)
        os.environ["TALLMAP_CACHE_DIR"] = cache
        sys.argv = argv
        return tallmap._cli()

    try:
        return run_as_nobody(cli)
    finally:
        os.close(out_fd)
        os.close(err_fd)


def test_failed_save_keeps_the_previous_saved_scan(script, env, data, tmp_dir):
    cache = env["TALLMAP_CACHE_DIR"]
    first = run(script, env, "scan", data)
    assert first.returncode == 0
    (saved,) = saved_scans(cache)
    with open(saved, "rb") as f:
        before = f.read()
    os.chmod(cache, 0o755)  # nobody may read it but not write in it
    write(os.path.join(data, "e", "grown"), 200000)
    out, err = os.path.join(tmp_dir, "out"), os.path.join(tmp_dir, "err")
    status = cli_as_nobody(["tallmap", "scan", data], cache, out, err)
    with open(out, "rb") as f:
        report = f.read()
    with open(err, "rb") as f:
        message = f.read()
    assert status == 0, message
    assert b"e/" in report and report != first.stdout
    assert message == b"tallmap: warning: scan not saved: Permission denied (os error 13)\n"
    with open(saved, "rb") as f:
        assert f.read() == before
    assert sorted(os.listdir(cache)) == [os.path.basename(saved)]
    assert run(script, env, "show", data).stdout == first.stdout


@pytest.fixture(scope="module")
def big_tree():
    """About 40,000 folders: long enough to scan with one thread that a
    signal reliably lands while the walk runs."""
    root = tempfile.mkdtemp(prefix="tallmap-big-")
    for a in range(40):
        for b in range(40):
            for c in range(25):
                os.makedirs(os.path.join(root, str(a), str(b), str(c)))
    yield root
    shutil.rmtree(root, ignore_errors=True)


def scanning(pid, root):
    """True once the process holds a descriptor of a folder below root."""
    fd_dir = f"/proc/{pid}/fd"
    try:
        names = os.listdir(fd_dir)
    except OSError:
        return False
    for n in names:
        try:
            if os.readlink(os.path.join(fd_dir, n)).startswith(root + "/"):
                return True
        except OSError:
            pass
    return False


@pytest.mark.parametrize("signo,status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_signal_stops_the_scan_prints_and_saves(script, env, big_tree, signo, status):
    p = subprocess.Popen([script, "scan", "--threads", "1", big_tree], env=env,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    deadline = time.monotonic() + 60
    while not scanning(p.pid, big_tree):
        assert p.poll() is None, "the scan ended before a folder was seen open"
        assert time.monotonic() < deadline
        time.sleep(0.001)
    p.send_signal(signo)
    out, err = p.communicate(timeout=120)
    assert p.returncode == status, err
    assert err == b""
    first = out.split(b"\n", 1)[0]
    assert first.endswith(os.fsencode(big_tree) + b"  (incomplete: scan stopped)"), first
    shown = run(script, env, "show", big_tree)
    assert shown.returncode == 0
    assert shown.stdout == out


def test_closed_standard_output_is_no_crash(script, env, data):
    p = subprocess.Popen([script, "scan", "--top", "100", data], env=env,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    p.stdout.close()
    err = p.stderr.read()
    p.wait(timeout=120)
    assert p.returncode == 0, err
    assert err == b""
    assert len(saved_scans(env["TALLMAP_CACHE_DIR"])) == 1


@pytest.mark.parametrize("args", [
    ["scan"],
    ["show"],
    ["scan", "--threads", "0", "."],
    ["scan", "--top", "65536", "."],
    ["scan", "--reader", "fast", "."],
    ["--bogus"],
])
def test_usage_errors_end_with_status_two(script, env, args):
    r = run(script, env, *args)
    assert r.returncode == 2
    assert r.stdout == b""
    assert r.stderr.strip() != b""
    assert b"Traceback" not in r.stderr


def test_help_and_version(script, env):
    v = run(script, env, "--version")
    assert (v.returncode, v.stdout, v.stderr) == (0, b"tallmap 0.2.0\n", b"")
    h = run(script, env, "scan", "--help")
    assert h.returncode == 0
    assert b"--threads THREADS" in h.stdout and b"--top TOP" in h.stdout
    assert b"--reader" not in h.stdout and b"--stop-after" not in h.stdout


def test_hidden_options_work(script, env, data):
    r = run(script, env, "scan", "--reader", "portable", "--stop-after", "1", data)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split(b"\n", 1)[0].endswith(b"(incomplete: scan stopped)")
    full = run(script, env, "scan", "--reader", "portable", data)
    assert b"incomplete" not in full.stdout


def test_log_file(script, env, data, tmp_dir):
    env["TALLMAP_LOG"] = os.path.join(tmp_dir, "no", "such", "dir.log")
    r = run(script, env, "scan", data)
    assert r.returncode == 0
    assert r.stderr.startswith(b"tallmap: cannot log to " + os.fsencode(env["TALLMAP_LOG"]))
    assert r.stderr.endswith(b": No such file or directory (os error 2)\n")
    log = os.path.join(tmp_dir, "tallmap.log")
    with open(log, "wb") as f:
        f.write(b"kept\n")
    env["TALLMAP_LOG"] = log
    r = run(script, env, "scan", data)
    assert (r.returncode, r.stderr) == (0, b"")
    with open(log, "rb") as f:
        assert f.read().startswith(b"kept\n")


def test_cli_rejects_an_argv_that_is_not_a_sequence(monkeypatch):
    monkeypatch.setattr(sys, "argv", "tallmap")
    with pytest.raises(TypeError):
        tallmap._cli()
    monkeypatch.setattr(sys, "argv", ["tallmap", 3])
    with pytest.raises(TypeError):
        tallmap._cli()
