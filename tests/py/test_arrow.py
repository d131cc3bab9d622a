"""A tree's folders as an Arrow stream, read by the columnar tools."""

import ctypes
import gc
import os
import pathlib
import shutil
import subprocess
import tempfile

import pytest

pa = pytest.importorskip("pyarrow")
tallmap = pytest.importorskip("tallmap")

from conftest import run_as_nobody  # noqa: E402

SCHEMA = pa.schema(
    [
        pa.field("id", pa.uint32(), nullable=False),
        pa.field("parent", pa.uint32(), nullable=True),
        pa.field("name", pa.dictionary(pa.uint32(), pa.large_string()), nullable=False),
        pa.field("size", pa.uint64(), nullable=False),
        pa.field("own", pa.uint64(), nullable=False),
        pa.field("denied", pa.bool_(), nullable=False),
        pa.field("partial", pa.bool_(), nullable=False),
        pa.field("other_device", pa.bool_(), nullable=False),
    ]
)


def write(path, nbytes):
    with open(path, "wb") as f:
        f.write(b"x" * nbytes)


@pytest.fixture
def tree_root(tmp_path):
    """root/{a/{same, deep/same}, b/same, bad\\xff/, empty/} with some files."""
    root = tmp_path / "root"
    (root / "a" / "deep" / "same").mkdir(parents=True)
    (root / "a" / "same").mkdir()
    (root / "b" / "same").mkdir(parents=True)
    (root / "empty").mkdir()
    os.mkdir(os.fsencode(root) + b"/bad\xff")
    write(root / "a" / "f", 10000)
    write(root / "b" / "same" / "g", 70000)
    write(os.fsencode(root) + b"/bad\xff/h", 5000)
    return root


@pytest.fixture
def tree(tree_root):
    return tallmap.scan(tree_root)


def parents_of(tree):
    """Parent of every living folder, from the child lists."""
    parents = {0: None}
    todo = [0]
    while todo:
        folder = todo.pop()
        for child in tree.children(folder):
            parents[child] = folder
            todo.append(child)
    return parents


def lossy(text):
    return os.fsencode(text).decode("utf-8", "replace")


def check_rows(tree, rows):
    """`rows`: list of dicts with the eight columns, names as str."""
    parents = parents_of(tree)
    ids = [row["id"] for row in rows]
    assert ids == sorted(parents), "one row per living folder, in id order"
    assert all(a < b for a, b in zip(ids, ids[1:]))
    for row in rows:
        folder = row["id"]
        assert row["parent"] == parents[folder]
        assert row["name"] == lossy(tree.name(folder))
        assert row["size"] == tree.size(folder)
        assert row["own"] == tree.own(folder)
        assert row["denied"] == (tree.error(folder) is not None)
        assert row["partial"] == tree.partial(folder)
        assert row["other_device"] == tree.other_device(folder)


def test_pyarrow_table_has_exact_schema_and_rows(tree, tree_root):
    table = pa.table(tree)
    assert table.schema == SCHEMA
    assert table.schema.metadata is None
    assert all(field.metadata is None for field in table.schema)
    assert table.column("name").num_chunks == 1  # one batch, no chunking
    assert table.column("parent")[0].as_py() is None
    assert table.column("parent").null_count == 1
    assert table.column("name")[0].as_py() == str(tree_root)
    check_rows(tree, table.to_pylist())
    # Spot values that do not depend on the tree's own queries.
    assert table.num_rows == 9
    assert table.column("own").to_pylist()[0] > 0
    assert sum(table.column("own").to_pylist()) == table.column("size")[0].as_py()


def test_equal_names_share_a_dictionary_key(tree):
    table = pa.table(tree)
    names = table.column("name").chunk(0)
    keys = names.indices.to_pylist()
    values = names.dictionary.to_pylist()
    same = [key for key, name in zip(keys, names.to_pylist()) if name == "same"]
    assert len(same) == 3 and len(set(same)) == 1
    assert len(values) == len(set(values)), "each distinct name stored once"
    assert values.index("same") == same[0]
    # First appearance order: row order of the first use of each key.
    first_uses = []
    for key in keys:
        if key not in first_uses:
            first_uses.append(key)
    assert first_uses == list(range(len(values)))


def test_invalid_utf8_name_becomes_replacement_character(tree):
    table = pa.table(tree)
    names = dict(zip(table.column("id").to_pylist(), table.column("name").to_pylist()))
    folder = tree.find(b"bad\xff")
    assert folder is not None
    assert names[folder] == "bad\ufffd"


def test_requested_schema_is_ignored(tree):
    for requested in (None, object(), SCHEMA.__arrow_c_schema__(), pa.schema([("x", pa.int8())])):
        capsule = tree.__arrow_c_stream__(requested)
        reader = pa.RecordBatchReader._import_from_c_capsule(capsule)
        assert reader.schema == SCHEMA
    capsule = tree.__arrow_c_stream__(requested_schema=pa.schema([("x", pa.int8())]))
    assert pa.RecordBatchReader._import_from_c_capsule(capsule).schema == SCHEMA


def test_capsule_name_and_single_batch(tree):
    capsule = tree.__arrow_c_stream__()
    is_valid = ctypes.pythonapi.PyCapsule_IsValid
    is_valid.restype = ctypes.c_int
    is_valid.argtypes = [ctypes.py_object, ctypes.c_char_p]
    assert is_valid(capsule, b"arrow_array_stream") == 1
    reader = pa.RecordBatchReader._import_from_c_capsule(capsule)
    batches = list(reader)
    assert len(batches) == 1
    assert batches[0].num_rows == len(parents_of(tree))


def test_two_calls_give_independent_streams(tree):
    first = pa.RecordBatchReader._import_from_c_capsule(tree.__arrow_c_stream__())
    second = pa.RecordBatchReader._import_from_c_capsule(tree.__arrow_c_stream__())
    table2 = second.read_all()
    del second
    gc.collect()
    table1 = first.read_all()
    assert table1.equals(table2)
    assert table1.num_rows == len(parents_of(tree))


def test_stream_outlives_its_tree(tree_root):
    tree = tallmap.scan(tree_root)
    expected = pa.table(tree)
    capsule = tree.__arrow_c_stream__()
    del tree
    gc.collect()
    assert pa.RecordBatchReader._import_from_c_capsule(capsule).read_all().equals(expected)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_dropped_capsules_release_their_streams(tmp_path):
    root = tmp_path / "many"
    for i in range(3000):
        (root / f"d{i // 100}" / f"folder-with-a-long-name-{i}").mkdir(parents=True)
    tree = tallmap.scan(root)
    # Each stream holds ~3000 rows and ~100 KiB of names; 2000 leaked
    # streams would add hundreds of MiB.
    for _ in range(200):
        tree.__arrow_c_stream__()
    gc.collect()
    before = rss_bytes()
    for _ in range(2000):
        capsule = tree.__arrow_c_stream__()
        del capsule
    gc.collect()
    assert rss_bytes() - before < 40 * 1024 * 1024


def test_polars_reads_the_same_rows(tree):
    pl = pytest.importorskip("polars")
    frame = pl.DataFrame(tree)
    assert frame.columns == SCHEMA.names
    assert frame.schema["id"] == pl.UInt32
    assert frame.schema["parent"] == pl.UInt32
    assert frame.schema["size"] == pl.UInt64
    assert frame.schema["denied"] == pl.Boolean
    rows = frame.with_columns(pl.col("name").cast(pl.String)).to_dicts()
    check_rows(tree, rows)
    assert pl.from_arrow(pa.table(tree)).with_columns(
        pl.col("name").cast(pl.String)
    ).to_dicts() == rows


def test_duckdb_reads_a_table_made_from_the_tree(tree):
    duckdb = pytest.importorskip("duckdb")
    folders = pa.table(tree)  # noqa: F841 (read by name in the query)
    con = duckdb.connect()
    [(count, total, nulls, root_name)] = con.sql(
        "select count(*), sum(own), count(*) - count(parent), "
        "max(case when id = 0 then name end) from folders"
    ).fetchall()
    assert count == len(parents_of(tree))
    assert total == tree.size(0)
    assert nulls == 1
    assert root_name == tree.name(0)
    rows = con.sql("select * from folders order by id").to_arrow_table().to_pylist()
    check_rows(tree, rows)


def test_nanoarrow_reads_the_raw_stream(tree):
    na = pytest.importorskip("nanoarrow")
    stream = na.c_array_stream(tree)
    schema = stream.get_schema()
    assert schema.format == "+s"
    children = [schema.child(i) for i in range(schema.n_children)]
    assert [c.name for c in children] == SCHEMA.names
    assert [c.format for c in children] == ["I", "I", "I", "L", "L", "b", "b", "b"]
    assert [c.flags for c in children] == [0, 2, 0, 0, 0, 0, 0, 0]
    assert children[2].dictionary.format == "U"
    arrays = list(stream)
    assert len(arrays) == 1
    table = pa.table(pa.record_batch(arrays[0]))
    assert table.schema == SCHEMA
    check_rows(tree, table.to_pylist())


def test_columns_of_denied_and_other_device_folders(tmp_path):
    """Scans as nobody (root reads everything) with a tmpfs mounted inside."""
    if os.geteuid() != 0:
        pytest.skip("needs root to mount and to drop privileges")
    # Under /tmp itself: pytest's own folders are closed to other users.
    base = pathlib.Path(tempfile.mkdtemp(prefix="tallmap-arrow-"))
    os.chmod(base, 0o755)
    root = base / "root"
    (root / "open" / "locked" / "inner").mkdir(parents=True)
    (root / "dev").mkdir()
    for d in (root, root / "open", root / "dev"):
        os.chmod(d, 0o755)
    os.chmod(root / "open" / "locked", 0o000)
    mounted = subprocess.run(["mount", "-t", "tmpfs", "tmpfs", str(root / "dev")],
                             capture_output=True).returncode == 0
    def scan_and_check():
        tree = tallmap.scan(root)
        table = pa.table(tree)
        check_rows(tree, table.to_pylist())
        rows = {r["name"]: r for r in table.to_pylist()}
        assert rows["locked"]["denied"] and not rows["locked"]["partial"]
        assert rows["open"]["partial"] and not rows["open"]["denied"]
        assert rows[str(root)]["partial"]
        assert "inner" not in rows
        if mounted:
            assert rows["dev"]["other_device"] and rows["dev"]["own"] == 0
            assert not rows["dev"]["partial"]

    try:
        run_as_nobody(scan_and_check)
    finally:
        if mounted:
            subprocess.run(["umount", str(root / "dev")], check=False)
        os.chmod(root / "open" / "locked", 0o755)
        shutil.rmtree(base)
    if not mounted:
        pytest.skip("mounting a tmpfs was refused; other_device not checked")
