import ast
import inspect
import os
import pathlib

import pytest

import tallmap

DOCS = {
    tallmap.scan: ("(path, threads=None)",
                   "Scans `path` with `threads` threads, or as many as help, with the GIL\nreleased."),
    tallmap.load: ("(path)",
                   "The scan `Tree.save` wrote to `path` (`~` expanded). `ValueError` if\n"
                   "the file is not one, or is of another version of tallmap."),
    tallmap.mounts: ("()", "Every mounted filesystem, with its sizes."),
    tallmap.Tree.name: ("(self, /, id)", None),
    tallmap.Tree.path: ("(self, /, id)", None),
    tallmap.Tree.size: ("(self, /, id)", None),
    tallmap.Tree.own: ("(self, /, id)", None),
    tallmap.Tree.error: ("(self, /, id)", None),
    tallmap.Tree.partial: ("(self, /, id)", None),
    tallmap.Tree.other_device: ("(self, /, id)", None),
    tallmap.Tree.children: ("(self, /, id)", None),
    tallmap.Tree.find: ("(self, /, path)", None),
    tallmap.Tree.files: ("(self, /, id)",
                         "Listed from disk now, as the tree keeps only folder totals."),
    tallmap.Tree.label: ("(self, /, id)",
                         "What folder `id` is, if a rule knows it, by its name and a look at\n"
                         "the disk now."),
    tallmap.Tree.save: ("(self, /, path)",
                        "Saves the scan as the file `path` (`~` expanded), over any file\n"
                        "there, for `tallmap.load`."),
    tallmap.Tree.largest_files: ("(self, /, n=100)", None),
    tallmap.Tree.stopped: ("(self, /)", None),
    tallmap.Tree.__arrow_c_stream__: (
        "(self, /, requested_schema=None)",
        "Every folder as a row, for `pyarrow.table(tree)`, polars, duckdb."),
}


@pytest.mark.parametrize("fn", list(DOCS), ids=lambda f: f.__qualname__)
def test_signature_and_docstring(fn):
    sig, doc = DOCS[fn]
    assert str(inspect.signature(fn)) == sig
    assert fn.__doc__ == doc


def test_all_lists_functions_then_classes_in_order():
    expected = ["scan", "live", "load", "mounts", "_cli",
                "Tree", "Mount", "Label", "Tier", "Event", "Reason", "Live"]
    present = [n for n in expected if hasattr(tallmap, n)]
    assert tallmap.__all__ == present
    for n in ("scan", "load", "mounts", "_cli", "Tree", "Mount", "Label", "Tier", "Reason"):
        assert n in tallmap.__all__
    assert not hasattr(tallmap, "Next")


def test_classes_cannot_be_constructed():
    for cls in (tallmap.Tree, tallmap.Mount, tallmap.Label, tallmap.Tier, tallmap.Reason):
        with pytest.raises(TypeError):
            cls()


def test_tree_made_by_new_holds_no_scan_and_says_so():
    # __new__ bypasses the missing constructor; every method must refuse
    # the empty instance instead of reading a tree that is not there.
    empty = tallmap.Tree.__new__(tallmap.Tree)
    calls = [
        lambda: repr(empty), lambda: empty.size(0), lambda: empty.name(0),
        lambda: empty.find(""), lambda: empty.files(0), lambda: empty.label(0),
        lambda: empty.largest_files(), lambda: empty.stopped(),
        lambda: empty.save("unused"), lambda: empty.__arrow_c_stream__(),
    ]
    for call in calls:
        with pytest.raises(TypeError, match="holds no scan"):
            call()


def test_type_stub_matches_module():
    stub = pathlib.Path(tallmap.__file__).with_name("tallmap.pyi")
    if not stub.exists():  # running from a build directory, not an install
        stub = pathlib.Path(__file__).parents[2] / "python" / "tallmap.pyi"
    tree = ast.parse(stub.read_text())
    functions = {n.name for n in tree.body if isinstance(n, ast.FunctionDef)}
    classes = {n.name: {m.name for m in n.body if isinstance(m, ast.FunctionDef)}
               for n in tree.body if isinstance(n, ast.ClassDef)}
    for name in tallmap.__all__:
        assert name in functions or name in classes, name
    public_tree = {n for n in dir(tallmap.Tree)
                   if not n.startswith("_") or n == "__arrow_c_stream__"}
    assert public_tree <= classes["Tree"]


def test_label_and_mounts_through_the_module(tmp_dir):
    os.makedirs(os.path.join(tmp_dir, "node_modules", "x"))
    tree = tallmap.scan(tmp_dir)
    nm = tree.find("node_modules")
    label = tree.label(nm)
    assert isinstance(label, tallmap.Label)
    assert label.tier == tallmap.Tier.Cache
    assert tree.label(0) is None or isinstance(tree.label(0), tallmap.Label)
    with pytest.raises(IndexError):
        tree.label(99)
    points = [m.point for m in tallmap.mounts()]
    assert pathlib.Path("/") in points
