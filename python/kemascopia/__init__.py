"""Medical image files into numpy, and archives of them indexed.

    import kemascopia
    images = kemascopia.read("ct0001.dcm")
    pixels = images[0].pixels          # numpy, over the library's buffer

Reads release the GIL, so threads read in parallel. A file that cannot be
read raises kemascopia.ReadError with the library's ERROR line; the other
log lines go to the "kemascopia" logger.
"""
from ._kemascopia import (  # noqa: F401
    Image,
    ReadError,
    detect,
    format_name,
    index_schema,
    formats,
    read,
    scan,
    scan_to_index,
    set_trace_level,
)

__all__ = [
    "Image", "ReadError", "detect", "format_name", "formats", "index_schema", "read", "scan",
    "scan_to_index", "set_trace_level",
]
