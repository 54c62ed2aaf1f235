"""Reads, checks, extracts and creates .zem archives, in the shape of zipfile.

Everything goes through libzem (libzem.so.1), the library the zem command is made of: the same
strict reader, the same checks before extracting, the same writer. Stored names are str, decoded
from their bytes as UTF-8 with surrogateescape, so that any stored name round-trips; folders are
joined by backslashes, as the archive holds them.

    with zem.ZemFile("site.zem") as archive:
        for info in archive.infolist():
            print(info.file_size, info.date_time, info.filename)
        page = archive.read("docs\\\\index.html")
        archive.extractall("out")
    zem.create("content", "content.zem", sort=True, mtime=1767225600, utc=True)
"""

import ctypes
import datetime
import io
import os
import struct
import threading
import warnings
from typing import (IO, BinaryIO, Callable, Dict, Iterable, List, Optional, Tuple, Union)

from . import _library as _c

__all__ = ["ZemFile", "ZemInfo", "create", "library_version", "Error", "BadArchive", "NotFound",
           "Refused", "TooLarge", "ZemWarning"]

StrPath = Union[str, "os.PathLike[str]", bytes]
DateTime = Tuple[int, int, int, int, int, int]


def _encode(name: str) -> bytes:
    return name.encode("utf-8", "surrogateescape")


def _decode(raw: bytes) -> str:
    return raw.decode("utf-8", "surrogateescape")


class Error(Exception):
    """A failure libzem reports that isn't the system's; `code` is its status (ZEM_ERROR_ in
    zem.h)."""

    def __init__(self, message: str, code: int) -> None:
        super().__init__(message)
        self.code = code


class BadArchive(Error):
    """A damaged archive, or a hostile one: a structure that isn't sound, or stored names that
    extraction refuses."""


class NotFound(Error, KeyError):
    """A name given for extraction selects nothing."""

    __str__ = Exception.__str__


class Refused(Error):
    """Extraction would replace a file, write through a link, or put a file where a folder is."""


class TooLarge(Error):
    """A file of 4 GiB or more, or an archive past 4 GiB."""


class ZemWarning(UserWarning):
    """A step that failed after a file or the archive was put in place, which the call went on
    from (a time not set, a folder not synced)."""


# The library's messages end in the system's text where the system failed ("cannot open "a.zem":
# No such file or directory"); that text gives the errno back.
_ERRNO_OF_TEXT = {os.strerror(number): number for number in range(1, 256)}


def _failure(code: int, message: str, name_class: type = BadArchive) -> Exception:
    if code == _c.ERROR_ARGUMENT:
        return ValueError(message)
    if code == _c.ERROR_MEMORY:
        return MemoryError(message)
    if code == _c.ERROR_IO:
        number = _ERRNO_OF_TEXT.get(message.rpartition(": ")[2])
        return OSError(number, message) if number else OSError(message)
    classes: Dict[int, type] = {_c.ERROR_DAMAGED: BadArchive, _c.ERROR_NAME: name_class,
                                _c.ERROR_NOT_FOUND: NotFound, _c.ERROR_REFUSED: Refused,
                                _c.ERROR_TOO_LARGE: TooLarge}
    return classes.get(code, Error)(message, code)


class _Warnings:
    """Collects what the library's warning callback is told, for warnings.warn once the call is
    over: an exception raised inside the callback (a warnings filter of "error") could not cross
    the library's C frames."""

    def __init__(self) -> None:
        self.messages: List[str] = []
        self.callback = _c.WARNING_FN(lambda user, message: self.messages.append(_decode(message)))

    def emit(self) -> None:
        for message in self.messages:
            warnings.warn(message, ZemWarning, stacklevel=3)


def _exact_pattern(name: str) -> str:
    """The pattern that selects exactly the stored name: the pattern characters each in a set of
    their own (there is no escape character)."""
    return "".join("[" + c + "]" if c in "*?[" else c for c in name)


def library_version() -> str:
    """The version of the libzem the package runs on, "MAJOR.MINOR.PATCH"."""
    return _c.lib.zem_version().decode()


_SCRATCH_SIZE = 1 << 20
_read = _c.lib.zem_read


class ZemInfo:
    """One stored file: its stored name (folders joined by backslashes), size in bytes, the offset
    of its bytes in the archive, and its stored time as (year, month, day, hour, minute, second),
    a local time without a zone, or None where the archive stores none."""

    __slots__ = ("filename", "file_size", "offset", "date_time", "index")

    def __init__(self, filename: str, file_size: int, offset: int, date_time: Optional[DateTime],
                 index: int) -> None:
        self.filename = filename
        self.file_size = file_size
        self.offset = offset
        self.date_time = date_time
        self.index = index

    def __repr__(self) -> str:
        return "<ZemInfo filename=%r file_size=%d offset=%d date_time=%r>" % (
            self.filename, self.file_size, self.offset, self.date_time)


class ZemFile:
    """An archive opened for reading, checked in full when opened: a path, or a readable and
    seekable binary file object that must stay open as long as the archive does."""

    def __init__(self, file: Union[StrPath, BinaryIO]) -> None:
        self._handle: Optional[int] = None
        self._lock = threading.Lock()
        self._infos: Optional[List[ZemInfo]] = None
        self._by_name: Optional[Dict[str, ZemInfo]] = None
        self._scratch = ctypes.create_string_buffer(_SCRATCH_SIZE)
        self._scratch_view = memoryview(self._scratch).cast("B")
        error = _c.Error()
        if hasattr(file, "read"):
            source = file
            self.filename: Optional[str] = getattr(file, "name", None)
            size = source.seek(0, io.SEEK_END)

            def read(user: Optional[int], offset: int, buffer: int, length: int) -> int:
                # An exception can't cross the library's C frames: it is a failed read there.
                try:
                    source.seek(offset)
                    data = source.read(length)
                    if len(data) != length:
                        return 1
                    ctypes.memmove(buffer, data, length)
                    return 0
                except Exception:  # noqa: BLE001
                    return 1
            self._reader = _c.READ_FN(read)  # kept as long as the library may call it
            self._handle = _c.lib.zem_open_reader(self._reader, size, None, ctypes.byref(error))
        else:
            self.filename = os.fsdecode(file)  # type: ignore[arg-type]
            self._handle = _c.lib.zem_open(os.fsencode(file), ctypes.byref(error))  # type: ignore
        if not self._handle:
            raise _failure(error.code, _decode(error.message))
        self._count: int = _c.lib.zem_count(self._handle)

    def __enter__(self) -> "ZemFile":
        return self

    def __exit__(self, *exception: object) -> None:
        self.close()

    def __del__(self) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._handle is None else "%d files" % self._count
        return "<zem.ZemFile filename=%r %s>" % (self.filename, state)

    def close(self) -> None:
        """Closes the archive; the file objects open() gave stop reading."""
        with self._lock:
            if self._handle is not None:
                _c.lib.zem_close(self._handle)
                self._handle = None

    def _open_handle(self) -> int:
        if self._handle is None:
            raise ValueError("I/O operation on a closed archive")
        return self._handle

    def _archive_failure(self, name_class: type = BadArchive) -> Exception:
        error = _c.lib.zem_archive_error(self._handle).contents
        return _failure(error.code, _decode(error.message), name_class)

    def infolist(self) -> List[ZemInfo]:
        """Every stored file, in archive order."""
        if self._infos is None:
            self._open_handle()
            entries = (_c.Entry * self._count)()
            _c.lib.zem_entries(self._handle, 0, entries, self._count)
            string_at = ctypes.string_at
            self._infos = [
                ZemInfo(_decode(string_at(name)), size, offset,
                        (year, month, day, hour, minute, second) if has_time else None, index)
                for index, (name, size, offset, has_time, year, month, day, hour, minute, second)
                in enumerate(struct.iter_unpack(_c.ENTRY_FORMAT, bytes(entries)))]
        return list(self._infos)

    def namelist(self) -> List[str]:
        """Every stored name, in archive order."""
        return [info.filename for info in self.infolist()]

    def getinfo(self, name: str) -> ZemInfo:
        """The stored file of exactly that name (where a damaged archive holds a name twice, the
        first); KeyError when there is none."""
        if self._by_name is None:
            by_name: Dict[str, ZemInfo] = {}
            for info in self.infolist():
                by_name.setdefault(info.filename, info)
            self._by_name = by_name
        try:
            return self._by_name[name]
        except KeyError:
            raise KeyError("there is no item named %r in the archive" % name) from None

    def _info_of(self, member: Union[str, ZemInfo]) -> ZemInfo:
        return member if isinstance(member, ZemInfo) else self.getinfo(member)

    def _read_into(self, index: int, offset: int, buffer: object, length: int) -> int:
        """Reads into `buffer` (a ctypes array or an address) at most `length` bytes of the
        entry from `offset`; the number read."""
        with self._lock:
            count = _c.lib.zem_read(self._open_handle(), index, offset, buffer, length)
            if count < 0:
                raise self._archive_failure()
        return count

    def _read_bytes(self, index: int, offset: int, length: int) -> bytes:
        # Small reads go through one buffer kept for them and are copied out once: a ctypes
        # buffer made for each costs more than the read itself.
        if length > _SCRATCH_SIZE:
            buffer = ctypes.create_string_buffer(length)
            return buffer.raw[:self._read_into(index, offset, buffer, length)]
        with self._lock:
            count = _c.lib.zem_read(self._open_handle(), index, offset, self._scratch, length)
            if count < 0:
                raise self._archive_failure()
            return self._scratch_view[:count].tobytes()

    def read(self, member: Union[str, ZemInfo]) -> bytes:
        """The stored file's bytes."""
        info = member if isinstance(member, ZemInfo) else self.getinfo(member)
        length = info.file_size
        if length > _SCRATCH_SIZE:
            return self._read_bytes(info.index, 0, length)
        # _read_bytes inlined: a program that reads many small files spends much of its time in
        # Python's calls.
        with self._lock:
            if self._handle is None:
                raise ValueError("I/O operation on a closed archive")
            count = _read(self._handle, info.index, 0, self._scratch, length)
            if count < 0:
                raise self._archive_failure()
            return self._scratch_view[:count].tobytes()

    def open(self, member: Union[str, ZemInfo]) -> io.BufferedReader:
        """A readable, seekable binary file object over the stored file, which reads the ranges
        asked for rather than the whole file."""
        return io.BufferedReader(_EntryFile(self, self._info_of(member)))

    def check(self) -> None:
        """The checks of `zem verify ARCHIVE`: the structure was checked when the archive was
        opened; this judges every stored name as extraction does. BadArchive for the first it
        refuses."""
        with self._lock:
            if _c.lib.zem_check(self._open_handle()) != _c.OK:
                raise self._archive_failure()

    def _extract(self, path: Optional[StrPath], patterns: Optional[List[str]],
                 replace: bool, no_link: bool = False) -> str:
        folder = os.getcwd() if path is None else os.fsdecode(path)
        names = [_encode(p) for p in patterns or []]
        array = (ctypes.c_char_p * len(names))(*names)
        told = _Warnings()
        with self._lock:
            code = _c.lib.zem_extract(self._open_handle(), os.fsencode(folder), array, len(names),
                                      (_c.EXTRACT_REPLACE if replace else 0)
                                      | (_c.EXTRACT_NO_LINK if no_link else 0),
                                      told.callback, None)
            if code != _c.OK:
                raise self._archive_failure()
        told.emit()
        return folder

    def extract(self, member: Union[str, ZemInfo], path: Optional[StrPath] = None, *,
                replace: bool = False) -> str:
        """Writes one stored file below the folder `path` (by default the current one) with
        every check of `zem extract`, and returns the path of the file written. An existing
        file is replaced only with replace=True (zem extract --force)."""
        info = self._info_of(member)
        folder = self._extract(path, [_exact_pattern(info.filename)], replace)
        return os.path.join(folder, *info.filename.split("\\"))

    def extractall(self, path: Optional[StrPath] = None,
                   members: Optional[Iterable[Union[str, ZemInfo]]] = None, *,
                   replace: bool = False) -> None:
        """Writes every stored file, or those of `members` (names or ZemInfo), below the folder
        `path` (by default the current one), as `zem extract` does: every stored name and every
        path below the folder is checked before anything is written, nothing is written through
        a link, and an existing file is replaced only with replace=True."""
        if members is None:
            self._extract(path, None, replace)
            return
        patterns = [_exact_pattern(self._info_of(m).filename) for m in members]
        if patterns:
            self._extract(path, patterns, replace)

    def extract_matching(self, patterns: Iterable[str], path: Optional[StrPath] = None, *,
                         replace: bool = False) -> None:
        """Writes what the patterns select, as `zem extract -C PATH NAME...` takes them: `*`,
        `?` and `[...]`, a folder's name selecting everything below it. NotFound (a KeyError)
        when a pattern selects nothing."""
        self._extract(path, list(patterns), replace)


class _EntryFile(io.RawIOBase):
    """A stored file's bytes, read by range through the archive."""

    def __init__(self, archive: ZemFile, info: ZemInfo) -> None:
        super().__init__()
        self._archive = archive
        self._info = info
        self._position = 0
        self.name = info.filename

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def tell(self) -> int:
        self._checkClosed()  # type: ignore[attr-defined]
        return self._position

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        self._checkClosed()  # type: ignore[attr-defined]
        bases = {io.SEEK_SET: 0, io.SEEK_CUR: self._position, io.SEEK_END: self._info.file_size}
        if whence not in bases:
            raise ValueError("invalid whence (%r)" % (whence,))
        position = bases[whence] + offset
        if position < 0:
            raise ValueError("negative seek position %d" % position)
        self._position = position
        return position

    def readinto(self, buffer: "memoryview | bytearray") -> int:  # type: ignore[override]
        self._checkClosed()  # type: ignore[attr-defined]
        view = memoryview(buffer).cast("B")
        length = min(len(view), max(0, self._info.file_size - self._position))
        if length == 0:
            return 0
        target = ctypes.addressof(ctypes.c_char.from_buffer(view))
        count = self._archive._read_into(self._info.index, self._position, target, length)
        self._position += count
        return count

    def readall(self) -> bytes:
        self._checkClosed()  # type: ignore[attr-defined]
        length = max(0, self._info.file_size - self._position)
        data = self._archive._read_bytes(self._info.index, self._position, length)
        self._position += len(data)
        return data


def _seconds_of(when: Union[int, float, datetime.datetime]) -> int:
    if isinstance(when, datetime.datetime):
        return int(when.timestamp() // 1)  # a naive one is local time, as --mtime reads it
    return int(when // 1)


def _time_rule(mtime: Optional[Union[int, float, datetime.datetime]],
               clamp_mtime: bool) -> Tuple[int, int]:
    """The time rule and its seconds, as zem create takes --mtime, --clamp-mtime and
    SOURCE_DATE_EPOCH."""
    if mtime is not None:
        return (_c.TIME_CLAMP if clamp_mtime else _c.TIME_REPLACE, _seconds_of(mtime))
    if clamp_mtime:
        raise ValueError("clamp_mtime needs mtime")
    epoch = os.environ.get("SOURCE_DATE_EPOCH", "")
    if not epoch:
        return (_c.TIME_KEEP, 0)
    if not epoch.isdigit():
        raise ValueError("SOURCE_DATE_EPOCH is %r, not a whole number of seconds" % epoch)
    return (_c.TIME_CLAMP, int(epoch))


def create(folder: StrPath, output: Union[StrPath, BinaryIO], *, sort: bool = False,
           mtime: Optional[Union[int, float, datetime.datetime]] = None, clamp_mtime: bool = False,
           utc: bool = False, exclude: Iterable[str] = ()) -> None:
    """Packs the folder into an archive, the bytes `zem create` writes with the same options:
    sort=True is --sort=name; mtime (seconds since 1970 UTC, or a datetime, a naive one being
    local time) is --mtime, and with clamp_mtime=True --clamp-mtime; utc=True is --utc; each
    pattern of exclude an --exclude. Without mtime, SOURCE_DATE_EPOCH when set caps the times,
    as it does for zem create.

    `output` is a path, replaced whole or left untouched (an archive inside the folder leaves out
    its own earlier version), or a binary file object: written through its descriptor in one
    forward pass from its position where it has one (a failure part way leaves part of an
    archive there), else copied from a temporary file once whole."""
    if isinstance(exclude, (str, bytes)):
        exclude = [exclude]  # type: ignore[list-item]
    rule, seconds = _time_rule(mtime, clamp_mtime)
    options = _c.lib.zem_create_options_new()
    if not options:
        raise MemoryError("out of memory")
    told = _Warnings()
    try:
        _c.lib.zem_create_options_set_sort(options, 1 if sort else 0)
        _c.lib.zem_create_options_set_time(options, rule, seconds)
        _c.lib.zem_create_options_set_utc(options, 1 if utc else 0)
        for pattern in exclude:
            if _c.lib.zem_create_options_add_exclude(options, _encode(pattern)) != _c.OK:
                raise MemoryError("out of memory")
        _c.lib.zem_create_options_set_warning(options, told.callback, None)
        source = os.fsencode(folder)
        if not hasattr(output, "write"):
            target = os.fsencode(output)  # type: ignore[arg-type]
            _run_create(folder, lambda error: _c.lib.zem_create(source, target, options, error))
        else:
            _create_into(folder, output,  # type: ignore[arg-type]
                         lambda fd, error: _c.lib.zem_create_fd(source, fd, options, error))
    finally:
        _c.lib.zem_create_options_free(options)
    told.emit()


def _create_into(folder: StrPath, stream: IO[bytes],
                 call: Callable[[int, object], int]) -> None:
    """Runs `call` (zem_create_fd) into the stream's descriptor, or where it has none into a
    temporary file copied to it once whole."""
    try:
        fd = stream.fileno()
    except (AttributeError, OSError, io.UnsupportedOperation):
        fd = -1
    if fd < 0:
        import shutil  # here: importing them costs every user of the package at start-up
        import tempfile
        with tempfile.TemporaryFile() as whole:
            _run_create(folder, lambda error: call(whole.fileno(), error))
            whole.seek(0)
            shutil.copyfileobj(whole, stream)
        return
    stream.flush()
    _run_create(folder, lambda error: call(fd, error))
    if stream.seekable():
        stream.seek(os.lseek(fd, 0, os.SEEK_CUR))  # the object's position after the writes


def _run_create(folder: StrPath, call: Callable[[object], int]) -> None:
    error = _c.Error()
    if call(ctypes.byref(error)) == _c.OK:
        return
    failure = _failure(error.code, _decode(error.message), Error)
    if isinstance(failure, OSError) and failure.errno is None:
        # The folder that can't be opened is named without the system's reason: asked again,
        # the system gives it (unless the folder has come back since).
        try:
            os.scandir(folder).close()
        except OSError as reason:
            failure = OSError(reason.errno, failure.args[0])
    raise failure
