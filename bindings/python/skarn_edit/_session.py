"""Sessions, viewports, searches and records over the C interface."""

from __future__ import annotations

import ctypes
import functools
import itertools
import operator
import os
import threading
import weakref
from dataclasses import dataclass
from typing import Callable, Iterator, List, Optional, Sequence, Tuple, Union

from . import _native
from ._native import lib

BytesLike = Union[bytes, bytearray, memoryview, str]
PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

# Values of the C interface's enumerations.
_IO_FLG_NONE, _IO_FLG_OVERWRITE, _IO_FLG_FORCE_OVERWRITE, _IO_FLG_IN_PLACE = 0, 1, 2, 4
_SESSION_EVENTS = {
    1: "create", 2: "edit", 4: "undo", 8: "clear", 16: "transform", 32: "create_checkpoint",
    64: "destroy_checkpoint", 128: "save", 256: "changes_paused", 512: "changes_resumed",
    1024: "create_viewport", 2048: "destroy_viewport",
}
_ALL_SESSION_EVENTS = 4095
_CHANGE_EVENTS = (2, 4)  # edit and undo carry a change record
# Viewport events that mean the viewport's bytes may have changed.
_VIEWPORT_CONTENT_EVENTS = 2 | 4 | 8 | 16
_VIEWPORT_MAX_CAPACITY = 1048576
_PATTERN_LIMIT = 524288
_REPLACE_IGNORE_CASE = 1
_READ_CHUNK = 1048576
_PATH_BUFFER = 4096
_KINDS = {b"I": "insert", b"D": "delete", b"O": "overwrite"}
_BOM_UNKNOWN, _BOM_NONE = 0, 1
_INT64_MIN, _INT64_MAX = -(1 << 63), (1 << 63) - 1
_viewport_serials = itertools.count()

_SAVE_MESSAGES = {
    -1: "bad offset",
    -2: "the target directory cannot be created",
    -3: "the temporary file's name is too long",
    -4: "the temporary file cannot be created",
    -5: "the temporary file cannot be opened",
    -6: "copying the content failed",
    -7: "copying the content failed",
    -8: "the written size does not match",
    -9: "the written size does not match",
    -10: "the existing target cannot be removed",
    -11: "no free numbered name for the target",
    -12: "renaming the temporary file failed",
    -13: "cancelled",
    -14: "the session's file was changed by another program (nothing written)",
    -16: "an in-place save needs the session's own file and the whole content",
    -17: "a block device cannot change size",
    -18: "the journal cannot be made or the new length allocated (the file is unchanged)",
    -19: "the file cannot be brought to the new content (its journal stays; recover() completes the save)",
    -100: "the session's own file changed on disk since the session was created (use force=True)",
}


class Error(OSError):
    """A failure reported by the library (changes paused, an operation that failed).

    When the library recorded why a call failed, the message is the
    package's own text, ": " and the library's message ("cannot open a
    session over 'x': ..."); `function` names the library's function, `result`
    holds what it returned, and `errno` and `strerror` name the failed system
    call, when there was one. Otherwise these attributes are None.
    """

    function: Optional[str] = None
    result: Optional[int] = None

    def __str__(self) -> str:
        # OSError would put "[Errno N] strerror" in place of a one-part message.
        return str(self.args[0]) if len(self.args) == 1 else super().__str__()


class SaveError(Error):
    """A failed save; `code` holds the library's result code. The message is
    the failure, ": " and the path, then the library's message as for Error."""

    def __init__(self, code: int, message: str, path: Optional[str] = None) -> None:
        super().__init__(message if path is None else f"{message}: {path}")
        self.code = code
        self.path = path


def _failed(error: Error) -> Error:
    """`error` with what the library recorded about the failed call (see
    Error); call _native.clear_error() before the call that failed."""
    record = _native.last_error()
    if record is None:
        return error
    if record.message:
        error.args = (f"{error.args[0]}: {record.message}",)
    error.function, error.result = record.function, record.result
    if record.sys_errno > 0:
        error.errno, error.strerror = record.sys_errno, os.strerror(record.sys_errno)
    return error


@dataclass(frozen=True)
class Change:
    """One change of the history. `serial` is positive; `data` is empty for a delete."""

    serial: int
    kind: str
    offset: int
    length: int
    data: bytes


@dataclass(frozen=True)
class CharacterCounts:
    """Characters of each width, and invalid bytes, of a range in one encoding."""

    bom: str
    bom_bytes: int
    single_byte: int
    double_byte: int
    triple_byte: int
    quad_byte: int
    invalid_bytes: int


def _change_from_pointer(pointer: int) -> Change:
    kind = _KINDS.get(lib.skarn_change_get_kind_as_char(pointer), "unknown")
    length = lib.skarn_change_get_length(pointer)
    data = b""
    if kind != "delete":
        address = lib.skarn_change_get_bytes(pointer)
        if address:
            data = ctypes.string_at(address, length)
    return Change(abs(lib.skarn_change_get_serial(pointer)), kind, lib.skarn_change_get_offset(pointer), length, data)


def _as_bytes(data: BytesLike, what: str = "data") -> bytes:
    if isinstance(data, str):
        return data.encode("utf-8")
    if isinstance(data, bytes):
        return data
    try:
        return memoryview(data).tobytes()
    except TypeError:
        raise TypeError(f"{what} must be a bytes-like object or str, not {type(data).__name__}") from None


def _as_int(value, what: str, *, saturate: bool = False) -> int:
    """`value` as an int of the library's 64-bit range. Beyond that range it
    raises OverflowError, or with `saturate` is held at the range's bound (for
    a length the library cuts at the end of the content anyway)."""
    try:
        value = operator.index(value)
    except TypeError:
        raise TypeError(f"{what} must be an integer, not {type(value).__name__}") from None
    if _INT64_MIN <= value <= _INT64_MAX:
        return value
    if saturate:
        return _INT64_MAX if value > 0 else _INT64_MIN
    raise OverflowError(f"{what} {value} is outside the 64-bit range of the library")


def _fspath_bytes(path: PathLike) -> bytes:
    return os.fsencode(os.fspath(path))


class _Guard:
    """The lock of one session, which its viewports, searches and transactions share.

    Re-entrant, because the library calls back on the calling thread and a
    callback may call into the session again. `callbacks` counts the
    session's callbacks running now: the library refuses to destroy the
    session, one of its viewports or one of its searches meanwhile, so such a
    destruction is queued in `deferred` and done as the outermost call holding
    the lock returns, once the library is out of the session.
    """

    __slots__ = ("_lock", "_depth", "callbacks", "deferred")

    def __init__(self) -> None:
        self._lock = threading.RLock()
        self._depth = 0
        self.callbacks = 0
        self.deferred: List[Callable[[], None]] = []

    def __enter__(self) -> None:
        self._lock.acquire()
        self._depth += 1

    def __exit__(self, *exc) -> None:
        try:
            if self._depth == 1 and self.deferred:
                self._run_deferred()
        finally:
            self._depth -= 1
            self._lock.release()

    def _run_deferred(self) -> None:
        # Every queued destruction is done, also those queued by the
        # destructions themselves; the first exception is raised after the last.
        error = None
        while self.deferred:
            try:
                self.deferred.pop(0)()
            except BaseException as raised:
                error = error or raised
        if error is not None:
            raise error


def _serialised(method):
    """Runs the method under the lock of its session (`self._guard`)."""
    @functools.wraps(method)
    def locked(self, *args, **kwargs):
        with self._guard:
            return method(self, *args, **kwargs)
    return locked


class Viewport:
    """A window of up to 1 MiB onto a session's content that follows every edit.

    Made by Session.viewport(); its bytes are read when `data` is asked for.
    It shares its session's lock: see Session for what is safe across threads.
    """

    def __init__(self, session: "Session", offset: int, capacity: int, floating: bool,
                 on_change: Optional[Callable[["Viewport"], None]]) -> None:
        self._session = session
        self._guard = session._guard
        self._closed = False
        self.on_change = on_change
        self._serial = next(_viewport_serials)  # creation order, the order the library calls them in
        self_ref = weakref.ref(self)
        guard = self._guard

        def trampoline(_viewport: int, event: int, _event_ptr: int) -> None:
            viewport = self_ref()
            if viewport is None or viewport.closed or viewport.on_change is None:
                return
            guard.callbacks += 1
            try:
                viewport.on_change(viewport)
            except BaseException as error:  # raised again by the call that caused the event
                viewport._session._keep_exception(error)
            finally:
                guard.callbacks -= 1

        # The library calls this until it has destroyed the viewport: it lives as long.
        self._callback = _native.VIEWPORT_EVENT_CBK(trampoline)
        _native.clear_error()
        self._handle = lib.skarn_edit_create_viewport(session._live(), offset, capacity, 1 if floating else 0,
                                                      self._callback, None, _VIEWPORT_CONTENT_EVENTS)
        if not self._handle:
            session._raise_kept()
            raise _failed(Error("the viewport cannot be created"))

    def _live(self) -> int:
        if self._closed:
            raise ValueError("operation on a closed viewport")
        self._session._live()
        return self._handle

    @property
    def closed(self) -> bool:
        return self._closed or self._session._closed

    @property
    @_serialised
    def data(self) -> bytes:
        """The viewport's current bytes (read again after an edit touched it)."""
        handle = self._live()
        _native.clear_error()
        address = lib.skarn_viewport_get_data(handle)
        if not address:
            # A viewport at or past the end of the content shows nothing.
            if lib.skarn_viewport_get_offset(handle) >= self._session._size():
                return b""
            raise _failed(Error("the viewport's bytes cannot be read"))
        return ctypes.string_at(address, max(0, lib.skarn_viewport_get_length(handle)))

    @property
    @_serialised
    def offset(self) -> int:
        """Offset of the first byte (a floating viewport moves with edits before it)."""
        return lib.skarn_viewport_get_offset(self._live())

    @property
    @_serialised
    def length(self) -> int:
        """Number of bytes the viewport holds: its capacity, cut at the end of the content."""
        return max(0, lib.skarn_viewport_get_length(self._live()))

    @property
    @_serialised
    def capacity(self) -> int:
        return lib.skarn_viewport_get_capacity(self._live())

    @property
    @_serialised
    def floating(self) -> bool:
        return bool(lib.skarn_viewport_is_floating(self._live()))

    @property
    @_serialised
    def stale(self) -> bool:
        """True when an edit touched the viewport since its bytes were last read."""
        return bool(lib.skarn_viewport_has_changes(self._live()))

    @_serialised
    def move(self, offset: int, capacity: Optional[int] = None) -> None:
        """Re-anchors the viewport at `offset`, optionally with a new capacity."""
        offset = _as_int(offset, "offset")
        capacity = None if capacity is None else _as_int(capacity, "capacity")
        handle = self._live()
        if capacity is None:
            capacity = lib.skarn_viewport_get_capacity(handle)
        if offset < 0:
            raise ValueError(f"viewport offset {offset} is negative")
        if not 1 <= capacity <= _VIEWPORT_MAX_CAPACITY:
            raise ValueError(f"viewport capacity {capacity} is not in 1..{_VIEWPORT_MAX_CAPACITY}")
        _native.clear_error()
        result = lib.skarn_viewport_modify(handle, offset, capacity, lib.skarn_viewport_is_floating(handle))
        self._session._raise_kept()
        if result != 0:
            raise _failed(Error("the viewport cannot be moved"))

    @_serialised
    def close(self) -> None:
        """Destroys the viewport; closing again does nothing.

        From inside a callback of its session (its own `on_change` included)
        the viewport is closed at once (`closed` is true, it gets no more
        calls) and the library destroys it as soon as the session call that
        ran the callback returns, or the transaction around that call ends.
        """
        session = self._session
        if self._closed or session._closed:
            return  # a closing session destroys its viewports itself
        self._closed = True
        session._viewports.discard(self)
        if self._guard.callbacks:
            self._guard.deferred.append(self._destroy)  # keeps the viewport and its callback until then
            return
        self._destroy()

    def _destroy(self) -> None:
        # Raises what the session's callback raised about the destruction.
        handle, self._handle = self._handle, None
        if handle and self._session._handle:
            lib.skarn_edit_destroy_viewport(handle)
        self._session._raise_kept()

    def _forget(self) -> None:
        # The session destroys the library's viewport.
        self._closed = True
        self._handle = None

    def __enter__(self) -> "Viewport":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    @_serialised
    def __repr__(self) -> str:
        if self.closed:
            return "<skarn_edit.Viewport closed>"
        return f"<skarn_edit.Viewport offset={self.offset} length={self.length} capacity={self.capacity}>"


class _Transaction:
    # Holds the session's lock from enter to exit: the changes of other
    # threads wait instead of joining this undo step.
    def __init__(self, session: "Session") -> None:
        self._session = session

    def __enter__(self) -> "Session":
        session = self._session
        guard = session._guard
        guard.__enter__()
        try:
            handle = session._live()
            _native.clear_error()
            if session._transaction_depth == 0 and lib.skarn_session_begin_transaction(handle) != 0:
                raise _failed(Error("a transaction is already open"))
        except BaseException:
            guard.__exit__(None, None, None)
            raise
        session._transaction_depth += 1
        return session

    def __exit__(self, *exc) -> None:
        session = self._session
        try:
            session._transaction_depth -= 1
            if session._transaction_depth == 0 and session._handle:
                lib.skarn_session_end_transaction(session._handle)
        finally:
            session._guard.__exit__(None, None, None)


class Session:
    """An editing session over a file of any size (or over nothing).

    The library edits a private copy of the file (or, with `in_place=True`,
    the file itself when the library supports it); nothing is written to a
    file until `save()`. Offsets are byte offsets into the edited content.
    Use it as a context manager, or call `close()`.

    Integers beyond the library's 64-bit range raise OverflowError, except a
    length the library cuts at the end of the content anyway (read, delete,
    save, character_counts, byte_profile), which reaches to that end;
    slices and find's start and end are cut to the content as in slicing.

    Threads: a session, its viewports and its searches share one re-entrant
    lock, so any thread may use them and each call runs whole before another
    thread's call to the same session starts; a transaction holds the lock
    until it ends. Once a thread closes the session, calls in every thread
    raise ValueError. A search iterator advanced by several threads yields
    each match to one of them. Callbacks run on the thread whose call caused
    them, with the lock held: a callback must not wait for another thread
    that uses the same session. Different sessions have different locks.
    """

    def __init__(self, path: Optional[PathLike] = None, checkpoint_dir: Optional[PathLike] = None, *,
                 in_place: bool = False, journal: bool = False, journal_sync_ms: int = 0) -> None:
        """Opens a session over the file at `path` (None: over nothing).

        The private copy and checkpoint files go into `checkpoint_dir` (None:
        the file's directory, else the temporary directory). With `journal`
        the session keeps a journal there (`journal_path`) of every change,
        from which Session.resume() rebuilds it after the process died;
        `journal_sync_ms` says when its records reach the disk: 0 never
        synced (only a power cut loses anything), N > 0 at most every N ms,
        -1 before each call returns. Closing the session removes the journal.
        """
        self._prepare(path)
        encoded_path = None if path is None else _fspath_bytes(path)
        encoded_directory = None if checkpoint_dir is None else _fspath_bytes(checkpoint_dir)
        if encoded_path and not os.path.isfile(encoded_path):
            raise Error(2, "no such file", self.path)
        if in_place or journal:
            options = self._options(journal, journal_sync_ms)
            if in_place:
                if not encoded_path:
                    raise ValueError("an in-place session needs a file")
                options.flags |= _native.SESSION_OPT_IN_PLACE
            options.checkpoint_directory = encoded_directory
            _native.clear_error()
            handle = lib.skarn_edit_create_session_with_options(encoded_path, ctypes.byref(options))
        else:
            _native.clear_error()
            handle = lib.skarn_edit_create_session(encoded_path, self._callback, None, 0, encoded_directory)
        if not handle:
            raise _failed(Error(f"cannot open a session over {self.path!r}" if path is not None
                                else "cannot open a session"))
        self._opened(handle)
        self.in_place: Optional[bool] = bool(in_place)

    @classmethod
    def resume(cls, journal_path: PathLike, *, journal_sync_ms: int = 0) -> "Session":
        """Rebuilds the journaled session that a process left behind when it
        died, from its journal at `journal_path` (find_journal() finds it).

        The session has the content, history (undo and redo go on from
        there), open transaction and checkpoints it had when its last call
        returned; it journals on into the same journal, which closing it
        removes. `journal_sync_ms` is as for Session(); `in_place` is None,
        as the library keeps that choice in the journal without telling it.
        Raises Error when the library refuses the journal (a live session
        holds it, the session's file changed since, a damaged header, a file
        it names is missing); the journal then stays as it was.
        """
        encoded = _fspath_bytes(journal_path)
        file_path = ctypes.create_string_buffer(_PATH_BUFFER)
        described = lib.skarn_util_describe_journal(encoded, file_path) if _native.has(
            "skarn_util_describe_journal") else 0
        session = cls.__new__(cls)
        session._prepare(os.fsdecode(file_path.value) if described > 0 and file_path.value else None)
        options = session._options(True, journal_sync_ms)
        _native.clear_error()
        handle = lib.skarn_edit_resume_session(encoded, ctypes.byref(options))
        if not handle:
            raise _failed(Error(f"cannot resume the session of the journal {os.fsdecode(encoded)!r}"))
        session._opened(handle)
        session.in_place = None
        return session

    def _prepare(self, path: Optional[PathLike]) -> None:
        """The state of a session not yet opened, and its event callback."""
        self._guard = _Guard()
        self._handle: Optional[int] = None
        self._closed = True  # until the library made the session
        self._segment: Optional[int] = None
        self._segment_capacity = 0
        # The session keeps its viewports (and so their callbacks) alive until
        # they or the session are closed, as the library keeps them.
        self._viewports: set = set()
        self._kept_exception: Optional[BaseException] = None
        self._transaction_depth = 0
        self._generation = 0
        self._on_event: Optional[Callable[[str, Optional[Change]], None]] = None
        self.path = None if path is None else os.fspath(path)

        self_ref = weakref.ref(self)
        guard = self._guard

        def trampoline(_session: int, event: int, event_ptr: int) -> None:
            session = self_ref()
            if session is None or session._closed or session._on_event is None:
                return
            guard.callbacks += 1
            try:
                change = _change_from_pointer(event_ptr) if event in _CHANGE_EVENTS and event_ptr else None
                session._on_event(_SESSION_EVENTS.get(event, str(event)), change)
            except BaseException as error:  # raised again by the call that caused the event
                session._keep_exception(error)
            finally:
                guard.callbacks -= 1

        self._callback = _native.SESSION_EVENT_CBK(trampoline)

    def _options(self, journal: bool, journal_sync_ms: int) -> _native.SessionOptions:
        """An options record with the session's callback and, with `journal`,
        a journal synced as `journal_sync_ms` says (version 1 without one, for
        libraries that have no journals)."""
        if not _native.has("skarn_edit_create_session_with_options"):
            raise NotImplementedError("this build of libskarn_edit has no in-place or journaled sessions")
        options = _native.SessionOptions()
        options.version = 1
        options.event_cbk = self._callback
        if journal:
            if not _native.has("skarn_edit_resume_session"):
                raise NotImplementedError("this build of libskarn_edit has no journaled sessions")
            journal_sync_ms = _as_int(journal_sync_ms, "journal_sync_ms")
            if not -1 <= journal_sync_ms < (1 << 31):
                raise ValueError(f"journal_sync_ms {journal_sync_ms} is not -1, 0 or a number of milliseconds")
            options.version = _native.SESSION_OPTIONS_VERSION
            options.flags = _native.SESSION_OPT_JOURNAL
            options.journal_sync_ms = journal_sync_ms
        return options

    def _opened(self, handle: int) -> None:
        self._handle = handle
        self._closed = False

    # -- lifecycle -------------------------------------------------------

    @_serialised
    def close(self) -> None:
        """Destroys the session and its private files; closing again does nothing.

        No callback of the session or of its viewports is called once
        close() is. From inside such a callback the session is closed at once
        (`closed` is true and further calls raise ValueError) and the library
        destroys it as soon as the session call that ran the callback returns
        (that call still returns its result), or the transaction around that
        call ends. Closing from another thread waits for the running call.
        """
        if self._closed:
            return
        self._closed = True
        if self._guard.callbacks:
            self._guard.deferred.append(self._destroy)
            return
        self._destroy()

    def _destroy(self) -> None:
        handle, self._handle = self._handle, None
        # The viewport objects (and their callbacks) outlive the library's viewports.
        viewports, self._viewports = self._viewports, set()
        for viewport in viewports:
            viewport._forget()
        self._generation += 1
        if self._segment:
            lib.skarn_segment_destroy(self._segment)
            self._segment = None
        if handle:
            lib.skarn_edit_destroy_session(handle)
        del viewports
        self._raise_kept()

    @property
    def closed(self) -> bool:
        return self._closed

    def __enter__(self) -> "Session":
        self._live()
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_handle", None) is None:
            return  # never opened, or closed
        try:
            self._kept_exception = None
            self._on_event = None
            self.close()
        except Exception:
            pass

    @_serialised
    def __repr__(self) -> str:
        if self._closed:
            return "<skarn_edit.Session closed>"
        return f"<skarn_edit.Session path={self.path!r} length={self._size()}>"

    def _live(self) -> int:
        if self._closed:
            raise ValueError("operation on a closed session")
        return self._handle

    def _size(self) -> int:
        # The content's size; the caller holds the lock and checked the session.
        return lib.skarn_session_get_computed_file_size(self._handle)

    def _keep_exception(self, error: BaseException) -> None:
        if self._kept_exception is None:
            self._kept_exception = error

    def _raise_kept(self) -> None:
        error = self._kept_exception
        if error is not None:
            self._kept_exception = None
            raise error

    # -- reading -----------------------------------------------------------

    @_serialised
    def __len__(self) -> int:
        return lib.skarn_session_get_computed_file_size(self._live())

    def _window(self, capacity: int) -> int:
        if self._segment_capacity < capacity:
            segment = lib.skarn_segment_create(capacity)
            if not segment:
                raise MemoryError("cannot allocate a read buffer")
            if self._segment:
                lib.skarn_segment_destroy(self._segment)
            self._segment, self._segment_capacity = segment, capacity
        return self._segment

    @_serialised
    def read(self, offset: int, length: int) -> bytes:
        """Returns up to `length` bytes from `offset` (fewer at the end of the content)."""
        offset, length = _as_int(offset, "offset"), _as_int(length, "length", saturate=True)
        handle = self._live()
        size = lib.skarn_session_get_computed_file_size(handle)
        if offset < 0 or offset > size:
            raise ValueError(f"offset {offset} is outside the content (0..{size})")
        if length < 0:
            raise ValueError(f"length {length} is negative")
        length = min(length, size - offset)
        if length == 0:
            return b""
        if _native.new_bytes is not None:
            # The bytes are read once, into the object returned.
            result, address = _native.new_bytes(length)
            self._read_to(handle, offset, address, length)
            return result
        buffer = bytearray(length)
        self._read_to(handle, offset, ctypes.addressof((ctypes.c_char * length).from_buffer(buffer)), length)
        return bytes(buffer)

    @_serialised
    def readinto(self, offset: int, buffer) -> int:
        """Fills the writable bytes-like `buffer` from `offset`; returns the number of bytes
        stored (fewer than its size at the end of the content). Nothing is allocated per call."""
        offset = _as_int(offset, "offset")
        view = memoryview(buffer)
        if view.readonly or not view.c_contiguous:
            raise TypeError("readinto needs a writable contiguous buffer")
        view = view.cast("B")
        handle = self._live()
        size = lib.skarn_session_get_computed_file_size(handle)
        if offset < 0 or offset > size:
            raise ValueError(f"offset {offset} is outside the content (0..{size})")
        length = min(len(view), size - offset)
        if length == 0:
            return 0
        self._read_to(handle, offset, ctypes.addressof((ctypes.c_char * length).from_buffer(view)), length)
        return length

    def _read_to(self, handle: int, offset: int, address: int, length: int) -> None:
        """Copies exactly `length` bytes of content from `offset` to memory at `address`."""
        _native.clear_error()
        if _native.has("skarn_session_read"):
            if lib.skarn_session_read(handle, offset, address, length) != length:
                raise _failed(Error(f"cannot read {length} bytes of the content at offset {offset}"))
            return
        # An older library: through a segment of at most 1 MiB.
        segment = self._window(min(length, _READ_CHUNK))
        done = 0
        while done < length:
            if lib.skarn_session_get_segment(handle, segment, offset + done) != 0:
                raise _failed(Error(f"cannot read the content at offset {offset + done}"))
            count = min(lib.skarn_segment_get_length(segment), length - done)
            if count <= 0:
                raise Error(f"cannot read the content at offset {offset + done}")
            ctypes.memmove(address + done, lib.skarn_segment_get_data(segment), count)
            done += count

    @_serialised
    def __getitem__(self, index: Union[int, slice]) -> Union[int, bytes]:
        if isinstance(index, slice):
            start, stop, step = index.indices(len(self))
            if step != 1:
                raise ValueError("only slices with a step of 1 are supported")
            return self.read(start, stop - start) if stop > start else b""
        position = _as_int(index, "index", saturate=True)
        size = len(self)
        if position < 0:
            position += size
        if not 0 <= position < size:
            raise IndexError("session index out of range")
        return self.read(position, 1)[0]

    def __contains__(self, pattern: BytesLike) -> bool:
        return any(True for _ in self.find(pattern))

    # -- edits ---------------------------------------------------------------

    def _edit(self, handle: int, result: int, what: str) -> int:
        # The edit's call comes after _native.clear_error().
        self._generation += 1
        self._raise_kept()
        if result > 0:
            return result
        if lib.skarn_session_changes_paused(handle):
            raise Error(f"{what} refused: changes are paused")
        raise _failed(Error(f"{what} refused by the library" if result == 0 else f"{what} failed"))

    def insert(self, offset: int, data: BytesLike) -> int:
        """Inserts `data` (bytes-like, or str taken as UTF-8) at `offset`; returns the change's serial."""
        return self._put(lib.skarn_edit_insert_bytes, "insert", offset, data, "nothing to insert")

    def overwrite(self, offset: int, data: BytesLike) -> int:
        """Overwrites bytes at `offset` with `data` (extending the content past its end); returns the serial."""
        return self._put(lib.skarn_edit_overwrite_bytes, "overwrite", offset, data, "nothing to overwrite with")

    @_serialised
    def _put(self, function: Callable[..., int], name: str, offset: int, data: BytesLike, empty: str) -> int:
        # An edit that writes `data` at `offset`: insert and overwrite.
        data = _as_bytes(data)
        offset = _as_int(offset, "offset")
        handle = self._live()
        size = lib.skarn_session_get_computed_file_size(handle)
        if not 0 <= offset <= size:
            raise ValueError(f"offset {offset} is outside the content (0..{size})")
        if not data:
            raise ValueError(empty)
        _native.clear_error()
        return self._edit(handle, function(handle, offset, data, len(data)), name)

    @_serialised
    def delete(self, offset: int, length: int) -> int:
        """Deletes up to `length` bytes at `offset` (cut at the end of the content); returns the serial."""
        offset = _as_int(offset, "offset")
        length = _as_int(length, "length", saturate=True)
        handle = self._live()
        size = lib.skarn_session_get_computed_file_size(handle)
        if not 0 <= offset < size:
            raise ValueError(f"offset {offset} is outside the content (0..{size - 1})")
        if length < 1:
            raise ValueError(f"length {length} is below 1")
        _native.clear_error()
        return self._edit(handle, lib.skarn_edit_delete(handle, offset, length), "delete")

    @_serialised
    def undo(self) -> int:
        """Undoes the last change or transaction; returns the serial of its oldest change, 0 when none is left."""
        handle = self._live()
        if lib.skarn_session_changes_paused(handle):
            raise Error("undo refused: changes are paused")
        undone_before = lib.skarn_session_get_num_undone_changes(handle)
        _native.clear_error()
        result = lib.skarn_edit_undo_last_change(handle)
        self._generation += 1
        self._raise_kept()
        # -1 is both the failure result and the undo of change 1; the history tells them apart.
        if result == -1 and lib.skarn_session_get_num_undone_changes(handle) == undone_before:
            raise _failed(Error("undo failed"))
        return -result

    @_serialised
    def redo(self) -> int:
        """Redoes the last undone change or transaction; returns its newest change's serial, 0 when none."""
        handle = self._live()
        if lib.skarn_session_changes_paused(handle):
            raise Error("redo refused: changes are paused")
        _native.clear_error()
        result = lib.skarn_edit_redo_last_undo(handle)
        self._generation += 1
        self._raise_kept()
        if result < 0:
            raise _failed(Error("redo failed"))
        return result

    def transaction(self) -> _Transaction:
        """A context manager grouping the changes made inside it into one undo step (nests).

        While it is open other threads wait to use the session.
        """
        return _Transaction(self)

    @_serialised
    def clear_changes(self) -> None:
        """Forgets the whole history and returns to the original content, dropping every checkpoint."""
        handle = self._live()
        _native.clear_error()
        result = lib.skarn_edit_clear_changes(handle)
        self._generation += 1
        self._raise_kept()
        if result != 0:
            raise _failed(Error("the changes cannot be cleared"))

    @_serialised
    def pause_changes(self) -> None:
        """Makes edits, undo and redo raise Error until resume_changes()."""
        lib.skarn_session_pause_changes(self._live())
        self._raise_kept()

    @_serialised
    def resume_changes(self) -> None:
        lib.skarn_session_resume_changes(self._live())
        self._raise_kept()

    @property
    @_serialised
    def changes_paused(self) -> bool:
        return bool(lib.skarn_session_changes_paused(self._live()))

    @property
    @_serialised
    def num_changes(self) -> int:
        """Number of changes in force, over every checkpoint level."""
        return lib.skarn_session_get_num_changes(self._live())

    @property
    @_serialised
    def num_undone_changes(self) -> int:
        """Number of undone changes that redo() can bring back."""
        return lib.skarn_session_get_num_undone_changes(self._live())

    @property
    @_serialised
    def changes(self) -> Sequence[Change]:
        """The changes in force at the current checkpoint level, oldest first."""
        context = lib.skarn_visit_change_create_context(self._live(), 0)
        if not context:
            raise MemoryError("cannot walk the changes")
        records: List[Change] = []
        try:
            lib.skarn_visit_change_begin(context)
            while not lib.skarn_visit_change_at_end(context):
                records.append(_change_from_pointer(lib.skarn_visit_change_context_get_change(context)))
                lib.skarn_visit_change_next(context)
        finally:
            lib.skarn_visit_change_destroy_context(context)
        return tuple(records)

    # -- events ----------------------------------------------------------------

    @property
    def on_event(self) -> Optional[Callable[[str, Optional[Change]], None]]:
        """Called with (event name, Change or None) for each session event; None for no calls.

        It runs inside the call that caused the event, on that call's thread;
        an exception it raises is raised again by that call.
        """
        return self._on_event

    @on_event.setter
    @_serialised
    def on_event(self, callback: Optional[Callable[[str, Optional[Change]], None]]) -> None:
        handle = self._live()
        if callback is not None and not callable(callback):
            raise TypeError("on_event must be callable or None")
        self._on_event = callback
        # Without a callback the library is not asked to call back at all.
        lib.skarn_session_set_event_interest(handle, _ALL_SESSION_EVENTS if callback else 0)

    # -- search ----------------------------------------------------------------

    @_serialised
    def find(self, pattern: BytesLike, start: int = 0, end: Optional[int] = None, *, ignore_case: bool = False,
             reverse: bool = False, overlap: bool = False) -> Iterator[int]:
        """Iterates over the offsets of `pattern` in [start, end), in search order.

        Matches do not overlap unless `overlap` is true; `ignore_case` folds
        ASCII letters. Editing the session while iterating raises RuntimeError.
        Each step of the iterator takes the session's lock.
        """
        pattern = _as_bytes(pattern, "pattern")
        if not pattern:
            raise ValueError("empty pattern")
        if len(pattern) >= _PATTERN_LIMIT:
            raise ValueError(f"patterns are limited to {_PATTERN_LIMIT - 1} bytes")
        start, stop, _ = slice(start, end).indices(len(self))
        return self._matches(pattern, start, stop, bool(ignore_case), bool(reverse), bool(overlap))

    def _matches(self, pattern: bytes, start: int, stop: int, ignore_case: bool, reverse: bool,
                 overlap: bool) -> Iterator[int]:
        if stop - start < len(pattern):
            return
        guard = self._guard
        with guard:
            handle = self._live()
            _native.clear_error()
            context = lib.skarn_search_create_context_bytes(handle, pattern, len(pattern), start,
                                                            stop - start, int(ignore_case), int(reverse))
            if not context:
                raise _failed(Error("the search cannot be started"))
            generation = self._generation
        # Forwards the next search starts `advance` bytes past the match;
        # backwards it ends just after the byte `advance` before it.
        if reverse:
            advance = 2 - len(pattern) if overlap else 1
        else:
            advance = 1 if overlap else len(pattern)
        try:
            while True:
                # The lock is held for each step, never while the caller has the match.
                with guard:
                    self._live()
                    if self._generation != generation:
                        raise RuntimeError("the session changed during the search")
                    if not lib.skarn_search_next_match(context, advance):
                        return
                    match = lib.skarn_search_context_get_match_offset(context)
                yield match
        finally:
            with guard:
                if guard.callbacks:  # the library keeps the context until the call that ran the callback returns
                    guard.deferred.append(lambda: self._destroy_search(context))
                else:
                    self._destroy_search(context)

    def _destroy_search(self, context: int) -> None:
        if self._handle:  # else the session destroyed its searches
            lib.skarn_search_destroy_context(context)

    def count(self, pattern: BytesLike, start: int = 0, end: Optional[int] = None, *, ignore_case: bool = False,
              reverse: bool = False, overlap: bool = False) -> int:
        """Number of matches of `pattern` in [start, end) that find() with the
        same arguments yields (non-overlapping unless `overlap`; `reverse`
        counts those of a backward search).

        The library has no count of its own: this runs the search. Matches of
        one pattern taken without overlap from either end number the same.
        """
        return sum(1 for _ in self.find(pattern, start, end, ignore_case=ignore_case, reverse=reverse,
                                        overlap=overlap))

    # -- saving, checkpoints, transforms -------------------------------------

    @_serialised
    def save(self, path: PathLike, *, overwrite: bool = False, force: bool = False, offset: int = 0,
             length: Optional[int] = None, in_place: bool = False) -> str:
        """Saves the content (or `length` bytes from `offset`) to `path`; returns the path written.

        An existing `path` is kept and a free numbered name is used unless
        `overwrite` is true; `force` also replaces the session's own file
        when it changed on disk. A `length` past the end saves to the end.
        `in_place` writes the whole content into the session's own file
        itself (`path` names it; `overwrite` is implied) through a journal
        beside it: the file keeps its inode and hard links, and a save cut
        short is completed or taken back by recover(). Raises SaveError on
        failure.
        """
        target = _fspath_bytes(path)
        offset = _as_int(offset, "offset")
        length = None if length is None else _as_int(length, "length", saturate=True)
        handle = self._live()
        size = lib.skarn_session_get_computed_file_size(handle)
        if length is None:
            length = size - offset
        if not 0 <= offset <= size or length < 0 or (length == 0 and offset < size):
            raise ValueError(f"range {offset}+{length} is not a non-empty range of the content (0..{size})")
        length = min(length, size - offset)
        flags = _IO_FLG_FORCE_OVERWRITE if force else (_IO_FLG_OVERWRITE if overwrite or in_place else _IO_FLG_NONE)
        if in_place:
            flags |= _IO_FLG_IN_PLACE
        saved = ctypes.create_string_buffer(_PATH_BUFFER)
        _native.clear_error()
        result = lib.skarn_edit_save_segment(handle, target, flags, saved, offset, length)
        self._raise_kept()
        if result != 0:
            message = _SAVE_MESSAGES.get(result, f"save failed ({result})")
            raise _failed(SaveError(result, message, os.fsdecode(target)))
        return os.fsdecode(saved.value)

    @_serialised
    def checkpoint(self) -> None:
        """Freezes the content into a checkpoint file and starts a new level of history on it."""
        handle = self._live()
        _native.clear_error()
        result = lib.skarn_edit_create_checkpoint(handle)
        self._generation += 1
        self._raise_kept()
        if result != 0:
            raise _failed(Error("the checkpoint cannot be created"))

    @_serialised
    def drop_checkpoint(self) -> None:
        """Returns to the content and history before the last checkpoint (or transform)."""
        handle = self._live()
        if lib.skarn_session_get_num_checkpoints(handle) == 0:
            raise Error("there is no checkpoint")
        _native.clear_error()
        result = lib.skarn_edit_destroy_last_checkpoint(handle)
        self._generation += 1
        if result == 0:
            # The library marks the viewports stale without telling them; the
            # content they show may have changed, so their callbacks are told.
            for viewport in sorted(self._viewports, key=lambda v: v._serial):
                if viewport.on_change is not None and not viewport.closed:
                    try:
                        viewport.on_change(viewport)
                    except BaseException as error:
                        self._keep_exception(error)
        self._raise_kept()
        if result != 0:
            raise _failed(Error("the checkpoint cannot be dropped"))

    @property
    @_serialised
    def journal_path(self) -> Optional[str]:
        """The path of the session's journal, or None for a session without one."""
        if not _native.has("skarn_session_get_journal_path"):
            return None
        path = lib.skarn_session_get_journal_path(self._live())
        return None if path is None else os.fsdecode(path)

    @property
    @_serialised
    def num_checkpoints(self) -> int:
        return lib.skarn_session_get_num_checkpoints(self._live())

    @_serialised
    def transform(self, func: Union[Callable[[int], int], bytes, bytearray, memoryview], offset: int = 0,
                  length: int = 0) -> None:
        """Replaces each byte of [offset, offset + length) (length 0: to the end) by its image.

        `func` maps a byte value to a byte value and is called once for each
        of the 256 values; or it is a 256-byte table. The bytes are rewritten
        in the library without a Python call per byte, through a new
        checkpoint: drop_checkpoint() takes the transform back.
        """
        self._live()
        offset, length = _as_int(offset, "offset"), _as_int(length, "length")
        if callable(func):
            images = []
            for value in range(256):
                image = _as_int(func(value), "the transform's result", saturate=True)
                if not 0 <= image <= 255:
                    raise ValueError(f"the transform maps {value} to {image}, not a byte value")
                images.append(image)
            table = bytes(images)
        else:
            table = _as_bytes(func, "the transform table")
            if isinstance(func, str) or len(table) != 256:
                raise ValueError("a transform table has exactly 256 bytes")
        # `func` may have changed or closed the session: the range is checked now.
        handle = self._live()
        size = lib.skarn_session_get_computed_file_size(handle)
        if not 0 <= offset <= size or length < 0:
            raise ValueError(f"range {offset}+{length} is outside the content (0..{size})")
        buffer = ctypes.create_string_buffer(table, 256)
        if _native.has("skarn_util_byte_table_transform"):
            function = ctypes.cast(lib.skarn_util_byte_table_transform, ctypes.c_void_p)
            keep = None
        else:
            # An older library: look the table up from Python, byte by byte.
            keep = _native.BYTE_TRANSFORM(lambda byte, _user: table[byte])
            function = ctypes.cast(keep, ctypes.c_void_p)
        _native.clear_error()
        result = lib.skarn_edit_apply_transform(handle, function, ctypes.cast(buffer, ctypes.c_void_p), offset,
                                                length)
        del keep
        self._generation += 1
        self._raise_kept()
        if result != 0:
            raise _failed(Error("the transform failed"))

    @_serialised
    def replace_all(self, pattern: BytesLike, replacement: BytesLike, start: int = 0, end: Optional[int] = None, *,
                    ignore_case: bool = False) -> int:
        """Replaces every non-overlapping `pattern` in [start, end) by `replacement`; returns how many.

        Matches are taken left to right, as bytes.replace does over the range
        (an empty replacement deletes them; `ignore_case` folds ASCII
        letters). The library writes the result in one pass into a new
        checkpoint: drop_checkpoint() takes the whole replacement back. When
        nothing matches no checkpoint is made and the result is 0.
        """
        pattern = _as_bytes(pattern, "pattern")
        replacement = _as_bytes(replacement, "replacement")
        if not pattern:
            raise ValueError("empty pattern")
        if len(pattern) >= _PATTERN_LIMIT:
            raise ValueError(f"patterns are limited to {_PATTERN_LIMIT - 1} bytes")
        if not _native.has("skarn_edit_replace_all"):
            raise Error("the loaded library has no replace-all")
        handle = self._live()
        start, stop, _ = slice(start, end).indices(lib.skarn_session_get_computed_file_size(handle))
        if stop - start < len(pattern):
            return 0  # and a length of 0 would mean "to the end" to the library
        _native.clear_error()
        result = lib.skarn_edit_replace_all(handle, pattern, len(pattern), replacement, len(replacement), start,
                                            stop - start, _REPLACE_IGNORE_CASE if ignore_case else 0)
        self._generation += 1
        self._raise_kept()
        if result < 0:
            raise _failed(Error("the replacement failed"))
        return result

    # -- content analysis ----------------------------------------------------

    @property
    @_serialised
    def bom(self) -> str:
        """Name of the byte-order mark at the start of the content ("none" without one)."""
        kind = lib.skarn_session_detect_BOM(self._live(), 0)
        return lib.skarn_util_BOM_to_cstring(kind).decode("ascii")

    def _range(self, offset: int, length: Optional[int]) -> Tuple[int, int, int]:
        # The live handle and the range cut at the end of the content.
        offset = _as_int(offset, "offset")
        length = None if length is None else _as_int(length, "length", saturate=True)
        handle = self._live()
        size = lib.skarn_session_get_computed_file_size(handle)
        if not 0 <= offset <= size:
            raise ValueError(f"offset {offset} is outside the content (0..{size})")
        if length is None:
            length = size - offset
        if length < 0:
            raise ValueError(f"length {length} is negative")
        return handle, offset, min(length, size - offset)

    @_serialised
    def character_counts(self, offset: int = 0, length: Optional[int] = None,
                         bom: Optional[str] = None) -> CharacterCounts:
        """Counts the characters of each width in [offset, offset + length).

        `bom` names the encoding ("UTF-8", "UTF-16LE", ...); by default the
        byte-order mark found at `offset` (UTF-8 without one).
        """
        handle, offset, length = self._range(offset, length)
        if bom is None:
            kind = lib.skarn_session_detect_BOM(handle, offset) if length else _BOM_NONE
        else:
            kind = lib.skarn_util_cstring_to_BOM(bom.encode("ascii", "replace"))
            if kind == _BOM_UNKNOWN:
                raise ValueError(f"unknown encoding {bom!r}")
        name = lib.skarn_util_BOM_to_cstring(kind).decode("ascii")
        if length == 0:
            return CharacterCounts(name, 0, 0, 0, 0, 0, 0)
        counts = lib.skarn_character_counts_create()
        if not counts:
            raise MemoryError("cannot allocate the counts")
        try:
            _native.clear_error()
            if lib.skarn_session_character_counts(handle, counts, offset, length, kind) != 0:
                raise _failed(Error("the content cannot be read"))
            return CharacterCounts(name, lib.skarn_character_counts_bom_bytes(counts),
                                   lib.skarn_character_counts_single_byte_chars(counts),
                                   lib.skarn_character_counts_double_byte_chars(counts),
                                   lib.skarn_character_counts_triple_byte_chars(counts),
                                   lib.skarn_character_counts_quad_byte_chars(counts),
                                   lib.skarn_character_counts_invalid_bytes(counts))
        finally:
            lib.skarn_character_counts_destroy(counts)

    @_serialised
    def byte_profile(self, offset: int = 0, length: Optional[int] = None) -> List[int]:
        """Counts of each byte value in [offset, offset + length), then the number of CR LF pairs (257 numbers)."""
        handle, offset, length = self._range(offset, length)
        profile = (ctypes.c_int64 * 257)()
        _native.clear_error()
        if length and lib.skarn_session_byte_frequency_profile(handle, profile, offset, length) != 0:
            raise _failed(Error("the content cannot be read"))
        return list(profile)

    # -- viewports -------------------------------------------------------------

    @_serialised
    def viewport(self, offset: int, capacity: int, *, floating: bool = False,
                 on_change: Optional[Callable[[Viewport], None]] = None) -> Viewport:
        """A live window of `capacity` bytes (1 to 1 MiB) at `offset`.

        A floating viewport moves with inserts and deletes before it.
        `on_change(viewport)` is called when an edit, undo, clear or
        transform affects it, inside that call and on its thread; an
        exception it raises is raised again by that call.
        """
        offset, capacity = _as_int(offset, "offset"), _as_int(capacity, "capacity")
        self._live()
        if offset < 0:
            raise ValueError(f"viewport offset {offset} is negative")
        if not 1 <= capacity <= _VIEWPORT_MAX_CAPACITY:
            raise ValueError(f"viewport capacity {capacity} is not in 1..{_VIEWPORT_MAX_CAPACITY}")
        if on_change is not None and not callable(on_change):
            raise TypeError("on_change must be callable or None")
        viewport = Viewport(self, offset, capacity, floating, on_change)
        self._viewports.add(viewport)
        self._raise_kept()
        return viewport

    @property
    @_serialised
    def viewports(self) -> Sequence[Viewport]:
        """The open viewports."""
        return tuple(self._viewports)


# The package's public names, as users see them in messages and reprs.
for _public in (Error, SaveError, Change, CharacterCounts, Viewport, Session):
    _public.__module__ = "skarn_edit"


def recover(path: PathLike) -> bool:
    """Completes or takes back an in-place save of `path` that was cut short,
    from the journal it left beside the file: True when it recovered the
    file (to its new content when the journal reached the disk whole, else
    to its old content), False when there was nothing to recover. Raises
    Error when the journal cannot be applied; it then stays for another try.
    """
    encoded = _fspath_bytes(path)
    if not _native.has("skarn_util_recover_file"):
        raise NotImplementedError("this build of libskarn_edit cannot recover in-place saves")
    _native.clear_error()
    result = lib.skarn_util_recover_file(encoded)
    if result < 0:
        raise _failed(Error(f"cannot recover {os.fsdecode(encoded)!r}"))
    return result > 0


def find_journal(path: PathLike, checkpoint_directory: Optional[PathLike] = None) -> Optional[str]:
    """The path of the newest journal that a journaled session over the file
    at `path` left behind when its process died and that no live session
    holds, in `checkpoint_directory` (None: the directory a session over the
    file would choose), or None when there is none. Raises Error when the
    file's path does not resolve or the directory cannot be read.
    """
    if not _native.has("skarn_util_find_journal"):
        raise NotImplementedError("this build of libskarn_edit has no journaled sessions")
    encoded = _fspath_bytes(path)
    directory = None if checkpoint_directory is None else _fspath_bytes(checkpoint_directory)
    found = ctypes.create_string_buffer(_PATH_BUFFER)
    _native.clear_error()
    result = lib.skarn_util_find_journal(encoded, directory, found)
    if result < 0:
        raise _failed(Error(f"cannot look for the journals of {os.fsdecode(encoded)!r}"))
    return os.fsdecode(found.value) if result > 0 else None


def remove_journal(path: PathLike) -> None:
    """Removes the session journal at `path`, left behind by a process that
    died, with every file it kept (the session's private copy, its
    checkpoint files). Raises Error, removing nothing, when it is not a
    session journal or a live session holds it.
    """
    if not _native.has("skarn_util_remove_journal"):
        raise NotImplementedError("this build of libskarn_edit has no journaled sessions")
    encoded = _fspath_bytes(path)
    _native.clear_error()
    if lib.skarn_util_remove_journal(encoded) != 0:
        raise _failed(Error(f"cannot remove the journal {os.fsdecode(encoded)!r}"))
