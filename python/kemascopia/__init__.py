"""Medical image files into numpy, and archives of them indexed.

    import kemascopia
    images = kemascopia.read("ct0001.dcm")
    pixels = images[0].pixels          # numpy, over the library's buffer

Reads release the GIL, so threads read in parallel. A file that cannot be
read raises kemascopia.ReadError with the library's ERROR line; the other
log lines go to the "kemascopia" logger.
"""
import os as _os

from . import _kemascopia
from ._kemascopia import (  # noqa: F401
    Image,
    ReadError,
    format_name,
    formats,
    index_schema,
    set_trace_level,
)


def _paths(paths):
    if isinstance(paths, (str, bytes, _os.PathLike)):
        paths = [paths]
    return [_os.fsdecode(p) for p in paths]


def read(path):
    """The images of one file: a list of Image."""
    return _kemascopia.read(_os.fsdecode(path))


def detect(path):
    """The format code of a file (1: no known format)."""
    return _kemascopia.detect(_os.fsdecode(path))


def scan(paths, workers=0, pixels=False, recursive=True):
    """The header pass of `kema scan` over folders or files: one dict per
    image (one for a file that gave none), the rows of `kema scan --jsonl`,
    with the series keys the index gives."""
    return _kemascopia.scan(_paths(paths), workers=workers, pixels=pixels, recursive=recursive)


def scan_to_index(paths, db, workers=0, pixels=False, recursive=True, exclude=(), known=None):
    """`kema scan --db`: returns what the run did."""
    return _kemascopia.scan_to_index(_paths(paths), _os.fsdecode(db), workers=workers, pixels=pixels,
                                     recursive=recursive, exclude=_paths(exclude), known=known)


__all__ = [
    "Image", "ReadError", "detect", "format_name", "formats", "index_schema", "read", "scan",
    "scan_to_index", "set_trace_level",
]
