import os
import pathlib

import pytest

import tallmap


def describe(tree):
    """Everything a tree answers, folder by folder, in id order."""
    out = []
    todo = [0]
    while todo:
        f = todo.pop(0)
        out.append((f, tree.name(f), tree.size(f), tree.own(f), tree.error(f),
                    tree.partial(f), tree.other_device(f), tree.children(f)))
        todo.extend(tree.children(f))
    return out


def make_tree(d):
    os.makedirs(os.path.join(d, "a", "b"))
    os.makedirs(os.path.join(d, b"caf\xe9".decode("utf-8", "surrogateescape")))
    with open(os.path.join(d, "a", "big"), "wb") as f:
        f.write(b"x" * 100000)
    with open(os.path.join(d, "a", "b", "small"), "wb") as f:
        f.write(b"y" * 5000)


def test_save_then_load_gives_the_same_tree(tmp_dir):
    src = os.path.join(tmp_dir, "src")
    make_tree(src)
    tree = tallmap.scan(src)
    target = os.path.join(tmp_dir, "out.scan")
    assert tree.save(target) is None
    loaded = tallmap.load(pathlib.Path(target))
    got, want = describe(loaded), describe(tree)
    assert [row[2:] for row in got] == [row[2:] for row in want]
    assert [row[1] for row in got][1:] == [row[1] for row in want][1:]
    assert loaded.largest_files() == tree.largest_files()
    assert loaded.stopped() is False
    assert oct(os.stat(target).st_mode & 0o777) == oct(0o600)
    # Saving again replaces the file whole.
    os.makedirs(os.path.join(src, "new"))
    tallmap.scan(src).save(target)
    assert tallmap.load(target).find("new") is not None


def test_save_and_load_expand_tilde(tmp_dir, monkeypatch):
    src = os.path.join(tmp_dir, "src")
    make_tree(src)
    monkeypatch.setenv("HOME", tmp_dir)
    tallmap.scan(src).save("~/t.scan")
    assert os.path.exists(os.path.join(tmp_dir, "t.scan"))
    assert tallmap.load("~/t.scan").size(0) == tallmap.scan(src).size(0)


@pytest.mark.parametrize("content", [b"not a scan at all\n", b"", b"\0" * 4096])
def test_load_refuses_what_is_not_a_scan(tmp_dir, content):
    p = os.path.join(tmp_dir, "bad.scan")
    with open(p, "wb") as f:
        f.write(content)
    with pytest.raises(ValueError) as info:
        tallmap.load(p)
    assert str(info.value) == f"{p}: not a scan saved by this version of tallmap"


def test_load_refuses_a_damaged_scan(tmp_dir):
    src = os.path.join(tmp_dir, "src")
    make_tree(src)
    p = os.path.join(tmp_dir, "t.scan")
    tallmap.scan(src).save(p)
    data = bytearray(open(p, "rb").read())
    for at in (0, len(data) // 2, len(data) - 1):
        damaged = bytearray(data)
        damaged[at] ^= 0x40
        with open(p, "wb") as f:
            f.write(damaged)
        with pytest.raises(ValueError, match="not a scan saved by this version of tallmap"):
            tallmap.load(p)


def test_io_errors_by_kind(tmp_dir):
    with pytest.raises(FileNotFoundError):
        tallmap.load(os.path.join(tmp_dir, "missing.scan"))
    with pytest.raises(IsADirectoryError):
        tallmap.load(tmp_dir)
    tree = tallmap.scan(tmp_dir)
    with pytest.raises(FileNotFoundError):
        tree.save(os.path.join(tmp_dir, "no", "such", "dir.scan"))
    with pytest.raises(IsADirectoryError):
        tree.save(tmp_dir)
