"""libzem.so.1 through ctypes: the structures and calls of zem.h that the package uses."""

import ctypes
import os
import struct
import sysconfig
from typing import List

SONAME = "libzem.so.1"

OK = 0
ERROR_ARGUMENT = 1
ERROR_MEMORY = 2
ERROR_IO = 3
ERROR_DAMAGED = 4
ERROR_NAME = 5
ERROR_NOT_FOUND = 6
ERROR_REFUSED = 7
ERROR_TOO_LARGE = 8

EXTRACT_REPLACE = 1
EXTRACT_NO_LINK = 2
TIME_KEEP = 0
TIME_REPLACE = 1
TIME_CLAMP = 2


class Error(ctypes.Structure):
    _fields_ = [("code", ctypes.c_int), ("message", ctypes.c_char * 1024)]


class Time(ctypes.Structure):
    _fields_ = [(field, ctypes.c_int)
                for field in ("year", "month", "day", "hour", "minute", "second")]


class Entry(ctypes.Structure):
    _fields_ = [("name", ctypes.c_void_p), ("size", ctypes.c_uint64),
                ("offset", ctypes.c_uint64), ("has_time", ctypes.c_int), ("time", Time)]


# An array of Entry read in one pass with struct rather than field by field through ctypes, which
# costs a Python object per field: the listing of a large archive is dominated by it otherwise.
ENTRY_FORMAT = "@PQQi6i"
ENTRY_FORMAT += "x" * (ctypes.sizeof(Entry) - struct.calcsize(ENTRY_FORMAT))
if (struct.calcsize(ENTRY_FORMAT) != ctypes.sizeof(Entry)
        or Entry.time.offset != struct.calcsize("@PQQi")):
    raise ImportError("zem: unexpected layout of zem_entry on this platform")

READ_FN = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_uint64, ctypes.c_void_p,
                           ctypes.c_size_t)
WARNING_FN = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p)


def _candidates() -> List[str]:
    """Where the library may be: by its name, which the loader looks up as for any program, then
    beside the prefix the package is installed below (cmake --install --prefix FOLDER, which the
    loader doesn't search)."""
    places = [SONAME]
    parts = os.path.dirname(os.path.abspath(__file__)).split(os.sep)
    if "lib" in parts:
        prefix = os.sep.join(parts[:len(parts) - 1 - parts[::-1].index("lib")]) or os.sep
        multiarch = sysconfig.get_config_var("MULTIARCH")
        if multiarch:
            places.append(os.path.join(prefix, "lib", multiarch, SONAME))
        places.append(os.path.join(prefix, "lib", SONAME))
    return places


def _load() -> ctypes.CDLL:
    problems = []
    for place in _candidates():
        try:
            return ctypes.CDLL(place)
        except OSError as error:
            problems.append(str(error))
    raise ImportError("zem: cannot load %s (the libzem1 package, or cmake --install of the "
                      "library): %s" % (SONAME, "; ".join(problems)))


def _declare(lib: ctypes.CDLL) -> None:
    p = ctypes.c_void_p
    size = ctypes.c_size_t
    calls = {
        "zem_version": (ctypes.c_char_p, []),
        "zem_open": (p, [ctypes.c_char_p, ctypes.POINTER(Error)]),
        "zem_open_reader": (p, [READ_FN, ctypes.c_uint64, p, ctypes.POINTER(Error)]),
        "zem_close": (None, [p]),
        "zem_archive_error": (ctypes.POINTER(Error), [p]),
        "zem_count": (size, [p]),
        "zem_entries": (size, [p, size, ctypes.POINTER(Entry), size]),
        "zem_read": (ctypes.c_int64, [p, size, ctypes.c_uint64, p, size]),
        "zem_check": (ctypes.c_int, [p]),
        "zem_extract": (ctypes.c_int, [p, ctypes.c_char_p, ctypes.POINTER(ctypes.c_char_p), size,
                                       ctypes.c_uint, WARNING_FN, p]),
        "zem_create_options_new": (p, []),
        "zem_create_options_free": (None, [p]),
        "zem_create_options_set_sort": (None, [p, ctypes.c_int]),
        "zem_create_options_set_time": (ctypes.c_int, [p, ctypes.c_int, ctypes.c_int64]),
        "zem_create_options_set_utc": (None, [p, ctypes.c_int]),
        "zem_create_options_add_exclude": (ctypes.c_int, [p, ctypes.c_char_p]),
        "zem_create_options_set_warning": (None, [p, WARNING_FN, p]),
        "zem_create": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p, p,
                                      ctypes.POINTER(Error)]),
        "zem_create_fd": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_int, p,
                                         ctypes.POINTER(Error)]),
    }
    for name, (result, arguments) in calls.items():
        function = getattr(lib, name)
        function.restype = result
        function.argtypes = arguments


lib = _load()
_declare(lib)
