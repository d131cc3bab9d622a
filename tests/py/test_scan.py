import errno
import itertools
import os
import pathlib
import resource
import stat

import pytest

import tallmap
from conftest import run_as_nobody, run_in_child, try_mount_tmpfs


def write(path, data=b"", sparse_size=None):
    with open(path, "wb") as f:
        f.write(data)
        if sparse_size:
            f.seek(sparse_size - 1)
            f.write(b"x")


def build_fixture(root):
    """A tree with every kind of entry that makes totals hard to get right.
    Returns whether a tmpfs got mounted at root/mnt."""
    r = os.fsencode(root)
    j = lambda *p: os.path.join(r, *p)
    os.makedirs(j(b"a", b"b", b"c"))
    os.makedirs(j(b"links"))
    os.makedirs(j(b"caf\xe9"))          # not UTF-8
    os.makedirs(j(b"new\nline"))
    os.makedirs(j(b"locked", b"inner"))
    os.makedirs(j(b"outside-target"))
    write(j(b"top.bin"), b"t" * 5000)
    write(j(b"a", b"one"), b"1" * 12000)
    write(j(b"a", b"b", b"two"), b"2" * 70000)
    write(j(b"a", b"b", b"c", b"empty"))
    write(j(b"a", b"sparse"), b"s" * 10, sparse_size=50 << 20)
    write(j(b"caf\xe9", b"f\xff"), b"c" * 9000)
    write(j(b"new\nline", b"x\ny"), b"n" * 3000)
    write(j(b"locked", b"secret"), b"k" * 20000)
    write(j(b"locked", b"inner", b"deeper"), b"d" * 8000)
    # Hard links: with distinct power-of-two page counts, the folder that
    # counted each inode can be read back from the folders' own sizes.
    for k, (first, others) in enumerate([
        (j(b"links", b"h1"), [j(b"links", b"h1b")]),                        # same folder
        (j(b"links", b"h2"), [j(b"a", b"h2"), j(b"a", b"b", b"c", b"h2")]),  # across
        (j(b"a", b"b", b"h3"), [j(b"caf\xe9", b"h3"), j(b"h3")]),
    ]):
        write(first, b"h" * (4096 << (k + 2)))
        for o in others:
            os.link(first, o)
    # Symbolic links are entries of their own, never followed below the root.
    os.symlink(b"../top.bin", j(b"a", b"file-link"))
    os.symlink(j(b"outside-target"), j(b"a", b"dir-link"))
    write(j(b"outside-target", b"huge"), b"o" * 300000)
    os.symlink(b"/usr", j(b"links", b"usr-link"))
    for d in (j(b"a"), j(b"a", b"b"), j(b"links")):
        os.chmod(d, 0o755)
    mounted = try_mount_tmpfs(j(b"mnt"))
    if mounted:
        write(j(b"mnt", b"on-tmpfs"), b"m" * 100000)
    os.chmod(j(b"locked"), 0)
    return mounted


def independent_walk(root):
    """Folder path (bytes) -> dict(base=own bytes without multiply-linked
    files, linked={inode: bytes}, denied=bool, other=bool), by lstat alone."""
    root = os.fsencode(root)
    root_dev = os.stat(root).st_dev
    out = {}

    def walk(path, is_root):
        st = os.lstat(path) if not is_root else os.stat(path)
        rec = {"base": st.st_blocks * 512, "linked": {}, "denied": False, "other": False}
        out[path] = rec
        if st.st_dev != root_dev:
            rec.update(base=0, other=True)
            return
        try:
            names = os.listdir(path)
            for n in names:
                os.lstat(os.path.join(path, n))
        except PermissionError:
            rec["denied"] = True
            return
        for n in names:
            p = os.path.join(path, n)
            s = os.lstat(p)
            if stat.S_ISDIR(s.st_mode):
                walk(p, False)
            elif s.st_nlink >= 2:
                rec["linked"][(s.st_dev, s.st_ino)] = s.st_blocks * 512
            else:
                rec["base"] += s.st_blocks * 512

    walk(root, True)
    return out


def tree_folders(tree):
    """Folder path bytes -> id, walking the tree from the root."""
    out = {}
    todo = [0]
    while todo:
        f = todo.pop()
        out[os.fsencode(str(tree.path(f)))] = f
        for c in tree.children(f):
            assert c > f, "a folder's id is greater than its parent's"
            todo.append(c)
    return out


def check_exact(tree, walk, root):
    folders = tree_folders(tree)
    assert set(folders) == set(walk)
    # Which folder counted each multiply-linked inode: the own size above
    # the folder's base must be a sum of the sizes of inodes linked there.
    counted_by = {}
    for p, rec in walk.items():
        f = folders[p]
        extra = tree.own(f) - rec["base"]
        inodes = list(rec["linked"].items())
        choices = [c for n in range(len(inodes) + 1) for c in itertools.combinations(inodes, n)
                   if sum(size for _, size in c) == extra]
        assert len(choices) == 1, (p, extra, inodes)
        for ino, _ in choices[0]:
            assert ino not in counted_by, f"inode {ino} counted twice"
            counted_by[ino] = p
    all_linked = {ino for rec in walk.values() for ino in rec["linked"]}
    assert set(counted_by) == all_linked, "every linked inode is counted once"
    # Totals follow from own sizes and the tree's shape, independently summed.
    for p, f in folders.items():
        prefix = p if p.endswith(b"/") else p + b"/"
        want = sum(tree.own(folders[q]) for q in folders if q == p or q.startswith(prefix))
        assert tree.size(f) == want, p
        assert tree.other_device(f) == walk[p]["other"], p
        assert (tree.error(f) is not None) == walk[p]["denied"], p


def test_exact_totals_as_root(tmp_dir):
    mounted = build_fixture(tmp_dir)
    tree = tallmap.scan(tmp_dir)
    walk = independent_walk(tmp_dir)
    check_exact(tree, walk, tmp_dir)
    assert not tree.partial(0)
    assert not tree.stopped()
    mnt = tree.find(os.path.join(tmp_dir, "mnt"))
    if mounted:
        assert tree.other_device(mnt) and tree.own(mnt) == 0 and tree.children(mnt) == []
    # The link to /usr was not followed: its target would dwarf the fixture.
    assert tree.size(0) < 64 << 20
    names = {tree.name(c) for c in tree.children(0)}
    assert os.fsdecode(b"caf\xe9") in names and "new\nline" in names


def test_exact_totals_with_unreadable_folder(tmp_dir):
    build_fixture(tmp_dir)

    def scan_and_walk():
        tree = tallmap.scan(tmp_dir, threads=2)
        walk = independent_walk(tmp_dir)
        check_exact(tree, walk, tmp_dir)
        locked = tree.find(os.path.join(tmp_dir, "locked"))
        return (tree.error(locked), tree.partial(0), tree.partial(locked),
                tree.children(locked), tree.own(locked))

    err, root_partial, locked_partial, kids, own = run_as_nobody(scan_and_walk)
    assert err == "EACCES"
    assert root_partial and not locked_partial
    assert kids == []
    assert own == os.lstat(os.path.join(tmp_dir, "locked")).st_blocks * 512


def test_one_thread_gives_same_totals(tmp_dir):
    build_fixture(tmp_dir)
    many, one = tallmap.scan(tmp_dir), tallmap.scan(tmp_dir, threads=1)
    sizes = lambda t: {p: t.size(f) for p, f in tree_folders(t).items()}
    assert sizes(many) == sizes(one)


def test_ids_always_above_parents(tmp_dir):
    for i in range(12):
        for k in range(6):
            os.makedirs(os.path.join(tmp_dir, f"d{i}", f"e{k}", "f"))
    for run in range(20):
        tree = tallmap.scan(tmp_dir, threads=4)
        folders = tree_folders(tree)  # asserts child > parent on the way
        assert len(folders) == 1 + 12 * 6 * 2 + 12


def test_root_given_as_symlink_is_followed(tmp_dir):
    real = os.path.join(tmp_dir, "real")
    os.makedirs(os.path.join(real, "sub"))
    write(os.path.join(real, "sub", "f"), b"x" * 8192)
    link = os.path.join(tmp_dir, "link")
    os.symlink(real, link)
    tree = tallmap.scan(link)
    assert tree.name(0) == link
    assert str(tree.path(0)) == link
    assert tree.size(0) == tallmap.scan(real).size(0)
    assert [tree.name(c) for c in tree.children(0)] == ["sub"]


def test_largest_files_keeps_the_largest(tmp_dir):
    for d in range(40):
        os.makedirs(os.path.join(tmp_dir, f"d{d}"))
        for i in range(30):
            write(os.path.join(tmp_dir, f"d{d}", f"f{i}"), b"x" * 4096)
    big = [os.path.join(tmp_dir, f"d{d}", "big") for d in (3, 17, 31)]
    for n, p in enumerate(big):
        write(p, b"y" * (8192 * (n + 2)))
    tree = tallmap.scan(tmp_dir)
    top = tree.largest_files(5000)
    assert len(top) == 1000
    assert [str(p) for p, _ in top[:3]] == big[::-1]
    assert tree.largest_files(0) == []
    assert len(tree.largest_files()) == 100
    equal = [p for p, s in top if s == top[-1][1]]
    assert equal == sorted(equal, key=lambda p: os.fsencode(str(p)))


@pytest.mark.parametrize("make, err, cls", [
    (lambda d: os.path.join(d, "missing"), errno.ENOENT, FileNotFoundError),
    (lambda d: (write(os.path.join(d, "file"), b"x"), os.path.join(d, "file"))[1],
     errno.ENOTDIR, NotADirectoryError),
    (lambda d: os.path.join(d, "nul\0byte"), errno.EINVAL, OSError),
])
def test_bad_paths(tmp_dir, make, err, cls):
    path = make(tmp_dir)
    with pytest.raises(cls) as info:
        tallmap.scan(path)
    assert info.value.errno == err
    assert info.value.strerror == os.strerror(err)
    assert info.value.filename == pathlib.Path(path)


def test_tilde_is_expanded(tmp_dir, monkeypatch):
    os.makedirs(os.path.join(tmp_dir, "home", "x"))
    monkeypatch.setenv("HOME", os.path.join(tmp_dir, "home"))
    tree = tallmap.scan("~")
    assert tree.name(0) == os.path.join(tmp_dir, "home")
    tree = tallmap.scan(pathlib.Path("~/x"))
    assert tree.name(0) == os.path.join(tmp_dir, "home", "x")
    assert tallmap.scan(os.fsencode(tmp_dir)).size(0) > 0


def test_bad_ids(tmp_dir):
    os.makedirs(os.path.join(tmp_dir, "a"))
    tree = tallmap.scan(tmp_dir)
    count = 2
    with pytest.raises(OverflowError, match="^number too small to fit in target type$"):
        tree.size(-1)
    with pytest.raises(OverflowError, match="^number too large to fit in target type$"):
        tree.size(2**32)
    with pytest.raises(IndexError, match=f"^no folder {count}$"):
        tree.size(count)
    with pytest.raises(TypeError):
        tree.name(None)
    assert tree.size(True) == tree.size(1)
    for method in (tree.name, tree.path, tree.own, tree.error, tree.partial,
                   tree.other_device, tree.children, tree.files):
        with pytest.raises(IndexError):
            method(count)


def test_queries_from_python(tmp_dir):
    os.makedirs(os.path.join(tmp_dir, "x", "y"))
    write(os.path.join(tmp_dir, "x", "f"), b"z" * 10000)
    tree = tallmap.scan(tmp_dir + "/")
    x = tree.find("x")
    y = tree.find("x/./y")
    assert tree.find("") == 0 and tree.find(".") == 0
    assert tree.find(tree.path(0)) == 0
    assert tree.find(tmp_dir) == 0
    assert tree.find("/elsewhere") is None
    assert tree.find("x/../x") is None
    assert tree.find(pathlib.Path(tmp_dir) / "x" / "y") == y
    assert isinstance(tree.path(y), pathlib.Path)
    assert str(tree.path(y)) == os.path.join(tmp_dir, "x", "y")
    # `~` expansion goes through pathlib, which drops the trailing slash.
    assert tree.name(0) == tmp_dir
    assert tree.children(x) == [y]
    files = tree.files(x)
    assert files == [("f", os.lstat(os.path.join(tmp_dir, "x", "f")).st_blocks * 512)]
    assert repr(tree) == f"<Tree {tree.path(0)} {tree.size(0)} bytes>"
    os.rmdir(os.path.join(tmp_dir, "x", "y"))
    with pytest.raises(FileNotFoundError):
        tree.files(y)


def test_signatures_and_docstrings():
    import inspect
    assert str(inspect.signature(tallmap.scan)) == "(path, threads=None)"
    assert tallmap.scan.__doc__ == (
        "Scans `path` with `threads` threads, or as many as help, with the GIL\nreleased.")
    assert str(inspect.signature(tallmap.Tree.largest_files)) == "(self, /, n=100)"
    assert str(inspect.signature(tallmap.Tree.find)) == "(self, /, path)"
    assert tallmap.Tree.files.__doc__ == "Listed from disk now, as the tree keeps only folder totals."
    assert tallmap.Tree.__doc__ == "A scanned tree. Every method takes a folder id."
    with pytest.raises(TypeError):
        tallmap.Tree()


def test_running_out_of_descriptors_denies_folders(tmp_dir):
    for i in range(30):
        for k in range(30):
            os.makedirs(os.path.join(tmp_dir, f"d{i}", f"e{k}"))

    def scan_with_few_fds():
        # Room for the root, its listing and barely more: the walk must run
        # out of descriptors below the root.
        used = {int(fd) for fd in os.listdir("/proc/self/fd")}
        free = [n for n in range(4096) if n not in used]
        limit = free[3]  # new descriptors take the lowest free numbers
        resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit))
        tree = tallmap.scan(tmp_dir, threads=2)
        folders = tree_folders(tree)
        errors = {tree.error(f) for f in folders.values()} - {None}
        return errors, len(folders), tree.partial(0)

    errors, count, partial = run_in_child(scan_with_few_fds)
    assert errors == {"errno 24"}
    assert partial
    assert 1 < count <= 1 + 30 + 900
