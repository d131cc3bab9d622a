"""The read-only value classes: Tier, Reason, Label and Mount."""

import os
import pathlib
import re
import subprocess

import pytest

tallmap = pytest.importorskip("tallmap")
Tier, Reason, Label, Mount = tallmap.Tier, tallmap.Reason, tallmap.Label, tallmap.Mount

TIERS = [("System", 0), ("Cache", 1), ("Known", 2)]
REASONS = [
    ("Dropped", 0, "the OS dropped change events"),
    ("IdsWrapped", 1, "macOS event ids wrapped"),
    ("RootMoved", 2, "the scanned dir moved"),
    ("NoReplay", 3, "macOS did not replay the changes made while scanning within 30 s"),
    ("MustScan", 4, "the OS asked to scan it again"),
]


@pytest.fixture
def npm_label(tmp_path):
    (tmp_path / "proj" / "node_modules").mkdir(parents=True)
    tree = tallmap.scan(tmp_path / "proj")
    label = tree.label(tree.find("node_modules"))
    assert label is not None
    return label


@pytest.mark.parametrize("name,number", TIERS)
def test_tier_members(name, number):
    member = getattr(Tier, name)
    assert isinstance(member, Tier)
    assert repr(member) == f"Tier.{name}"
    assert str(member) == f"Tier.{name}"
    assert int(member) == number
    assert member == getattr(Tier, name) and not (member != getattr(Tier, name))
    assert hash(member) == hash(getattr(Tier, name))


@pytest.mark.parametrize("name,number,text", REASONS)
def test_reason_members(name, number, text):
    member = getattr(Reason, name)
    assert isinstance(member, Reason)
    assert repr(member) == f"Reason.{name}"
    assert str(member) == text
    assert int(member) == number
    assert member == getattr(Reason, name)
    assert hash(member) == hash(getattr(Reason, name))


def test_members_differ_from_each_other_and_from_other_types():
    tiers = [getattr(Tier, n) for n, _ in TIERS]
    reasons = [getattr(Reason, n) for n, _, _ in REASONS]
    for group in (tiers, reasons):
        for i, a in enumerate(group):
            for j, b in enumerate(group):
                assert (a == b) == (i == j)
                assert (a != b) == (i != j)
    assert Tier.Cache != 1 and not (Tier.Cache == 1)
    assert Reason.Dropped != 0
    assert Tier.System != Reason.Dropped  # both int 0, different classes
    assert Tier.Cache.__eq__(1) is NotImplemented
    assert Tier.Cache.__ne__("Tier.Cache") is NotImplemented
    assert len({Tier.System, Tier.Cache, Tier.Known, Tier.Cache}) == 3


@pytest.mark.parametrize(
    "a,b",
    [(Tier.Cache, Tier.Known), (Reason.Dropped, Reason.MustScan), (Tier.Cache, 1)],
)
@pytest.mark.parametrize("op", ["<", "<=", ">", ">="])
def test_ordering_raises_type_error(a, b, op):
    with pytest.raises(TypeError):
        eval(f"a {op} b")


@pytest.mark.parametrize("cls", [Tier, Reason, Label, Mount])
def test_classes_cannot_be_constructed(cls):
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        cls(0)


@pytest.mark.parametrize("cls", [Tier, Reason, Label, Mount])
def test_classes_have_docstrings(cls):
    assert cls.__doc__ and len(cls.__doc__) > 20
    assert "Mirrors the core type" in cls.__doc__
    if cls is Reason:
        assert "`str()` gives the reason in words" in cls.__doc__


def test_label_fields_repr_and_equality(npm_label, tmp_path):
    assert isinstance(npm_label.tier, Tier) and npm_label.tier == Tier.Cache
    assert npm_label.text == "cache: npm"
    assert npm_label.why == "npm install rebuilds it"
    assert isinstance(npm_label.text, str) and isinstance(npm_label.why, str)
    assert repr(npm_label) == (
        'Label(tier=Tier.Cache, text="cache: npm", why="npm install rebuilds it")'
    )
    # A label from another tree with the same rule is equal; another rule is not.
    (tmp_path / "other" / "node_modules").mkdir(parents=True)
    (tmp_path / "other" / "__pycache__").mkdir()
    other = tallmap.scan(tmp_path / "other")
    same = other.label(other.find("node_modules"))
    different = other.label(other.find("__pycache__"))
    assert same == npm_label and not (same != npm_label)
    assert hash(same) == hash(npm_label)
    assert different != npm_label and not (different == npm_label)
    assert npm_label != "cache: npm"
    assert npm_label.__eq__(Tier.Cache) is NotImplemented
    with pytest.raises(TypeError):
        npm_label < same
    with pytest.raises(AttributeError):
        npm_label.text = "changed"


def test_mounts_fields_and_repr():
    mounts = tallmap.mounts()
    assert mounts, "a Linux system has at least its root mounted"
    pattern = re.compile(
        r'Mount\(point="(.*)", fs="(.*)", hidden=(True|False), '
        r"total=(\d+), used=(\d+), free=(\d+)\)"
    )
    for m in mounts:
        assert isinstance(m, Mount)
        assert isinstance(m.point, pathlib.Path)
        assert isinstance(m.fs, str) and isinstance(m.hidden, bool)
        assert all(isinstance(n, int) and n >= 0 for n in (m.total, m.used, m.free))
        match = pattern.fullmatch(repr(m))
        assert match, repr(m)
        assert match.group(3) == str(m.hidden)
        assert [int(match.group(i)) for i in (4, 5, 6)] == [m.total, m.used, m.free]
        assert m == m and not (m != m)
        assert hash(m) == hash(m)
    assert pathlib.Path("/") in [m.point for m in mounts]
    first = mounts[0]
    assert first != "x" and first.__eq__(Tier.Cache) is NotImplemented
    others = [m for m in mounts if m.point != first.point]
    if others:
        assert others[0] != first
    with pytest.raises(TypeError):
        first < first


def test_mount_with_awkward_point(tmp_path):
    """Quotes, backslashes, control characters and invalid UTF-8 in a mount point."""
    if os.geteuid() != 0:
        pytest.skip("mounting needs root")
    name = b'q"b\\n\nt\tc\x01e\x7f \xc3\xa9\xc2\x85 bad\xff'
    point = os.fsencode(tmp_path) + b"/" + name
    os.mkdir(point)
    if subprocess.run([b"mount", b"-t", b"tmpfs", b"tmpfs", point],
                      capture_output=True).returncode != 0:
        pytest.skip("mounting a tmpfs was refused")
    try:
        found = [m for m in tallmap.mounts() if os.fsencode(m.point) == point]
        assert len(found) == 1
        m = found[0]
        assert m.point == pathlib.Path(os.fsdecode(point))
        assert m.fs == "tmpfs"
        assert m.hidden is False
        shown = (str(tmp_path) + "/").replace("\\", "\\\\").replace('"', '\\"')
        assert repr(m).startswith(
            'Mount(point="' + shown + 'q\\"b\\\\n\\nt\\tc\\u{1}e\\u{7f} \u00e9\\u{85} bad\ufffd", '
            'fs="tmpfs", hidden=False, total='
        )
        again = [x for x in tallmap.mounts() if os.fsencode(x.point) == point][0]
        assert again == m  # an empty tmpfs keeps its sizes
    finally:
        subprocess.run([b"umount", point], check=False)
