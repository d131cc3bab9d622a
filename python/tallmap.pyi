"""A read-only disk-usage analyser: scans, saved scans, labels and mounts."""

import os
import pathlib
from typing import Any, ClassVar, Optional, SupportsInt, Union

_Path = Union[str, bytes, os.PathLike]
_Id = Union[SupportsInt, str, bytes]

__all__: list[str]

def scan(path: _Path, threads: Optional[int] = None) -> Tree:
    """Scans `path` with `threads` threads, or as many as help, with the GIL
    released."""

def load(path: _Path) -> Tree:
    """The scan `Tree.save` wrote to `path` (`~` expanded). `ValueError` if
    the file is not one, or is of another version of tallmap."""

def mounts() -> list[Mount]:
    """Every mounted filesystem, with its sizes."""

def _cli() -> int:
    """The `tallmap` console script: the command line, from `sys.argv`."""

class Tree:
    """A scanned tree. Every method takes a folder id."""
    def name(self, id: _Id, /) -> str: ...
    def path(self, id: _Id, /) -> pathlib.Path: ...
    def size(self, id: _Id, /) -> int: ...
    def own(self, id: _Id, /) -> int: ...
    def error(self, id: _Id, /) -> Optional[str]: ...
    def partial(self, id: _Id, /) -> bool: ...
    def other_device(self, id: _Id, /) -> bool: ...
    def children(self, id: _Id, /) -> list[int]: ...
    def find(self, path: _Path, /) -> Optional[int]: ...
    def files(self, id: _Id, /) -> list[tuple[str, int]]:
        """Listed from disk now, as the tree keeps only folder totals."""
    def label(self, id: _Id, /) -> Optional[Label]:
        """What folder `id` is, if a rule knows it, by its name and a look at
        the disk now."""
    def save(self, path: _Path, /) -> None:
        """Saves the scan as the file `path` (`~` expanded), over any file
        there, for `tallmap.load`."""
    def largest_files(self, /, n: int = 100) -> list[tuple[pathlib.Path, int]]: ...
    def stopped(self, /) -> bool: ...
    def __arrow_c_stream__(self, /, requested_schema: Any = None) -> Any:
        """Every folder as a row, for `pyarrow.table(tree)`, polars, duckdb."""

class Mount:
    """A mounted filesystem."""
    @property
    def point(self) -> pathlib.Path: ...
    @property
    def fs(self) -> str: ...
    @property
    def hidden(self) -> bool: ...
    @property
    def total(self) -> int: ...
    @property
    def used(self) -> int: ...
    @property
    def free(self) -> int: ...

class Label:
    """What a folder is and how to clean it up."""
    @property
    def tier(self) -> Tier: ...
    @property
    def text(self) -> str: ...
    @property
    def why(self) -> str: ...

class Tier:
    """How safe deleting a labelled folder is."""
    System: ClassVar[Tier]
    Cache: ClassVar[Tier]
    Known: ClassVar[Tier]
    def __int__(self) -> int: ...

class Reason:
    """Why changes were missed; `str()` gives the reason in words."""
    Dropped: ClassVar[Reason]
    IdsWrapped: ClassVar[Reason]
    RootMoved: ClassVar[Reason]
    NoReplay: ClassVar[Reason]
    MustScan: ClassVar[Reason]
    def __int__(self) -> int: ...
