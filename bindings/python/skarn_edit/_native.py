"""Loading of the shared library and the C prototypes the package uses."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import List, Optional

c_int64 = ctypes.c_int64
c_int32 = ctypes.c_int32
c_int = ctypes.c_int
c_void_p = ctypes.c_void_p
c_char_p = ctypes.c_char_p
c_uint8 = ctypes.c_uint8

# Callback types of the C interface. The session and viewport callbacks get
# their record pointers as plain addresses.
SESSION_EVENT_CBK = ctypes.CFUNCTYPE(None, c_void_p, c_int32, c_void_p)
VIEWPORT_EVENT_CBK = ctypes.CFUNCTYPE(None, c_void_p, c_int32, c_void_p)
BYTE_TRANSFORM = ctypes.CFUNCTYPE(c_uint8, c_uint8, c_void_p)
PROGRESS_CBK = ctypes.CFUNCTYPE(c_int, c_int32, c_int64, c_int64, c_void_p)
LOG_CBK = ctypes.CFUNCTYPE(None, c_char_p, c_void_p)

ENVIRONMENT_VARIABLE = "SKARN_EDIT_LIBRARY"


class SessionOptions(ctypes.Structure):
    """Layout of skarn_session_options_struct, version 2."""

    _fields_ = [
        ("version", c_int32),
        ("flags", c_int32),
        ("checkpoint_directory", c_char_p),
        ("event_cbk", SESSION_EVENT_CBK),
        ("user_data", c_void_p),
        ("event_interest", c_int32),
        ("progress_cbk", PROGRESS_CBK),
        ("progress_user_data", c_void_p),
        ("journal_sync_ms", c_int32),  # version 2
    ]


class ErrorRecord(ctypes.Structure):
    """Layout of skarn_error_struct, the calling thread's last failure."""

    _fields_ = [
        ("result", c_int64),
        ("sys_errno", c_int32),
        ("function", c_char_p),
        ("message", c_char_p),
    ]


SESSION_OPTIONS_VERSION = 2
SESSION_OPT_IN_PLACE = 1
SESSION_OPT_JOURNAL = 2


def _library_names() -> List[str]:
    if sys.platform == "darwin":
        return ["libskarn_edit.dylib"]
    if os.name == "nt":
        return ["skarn_edit.dll", "libskarn_edit.dll"]
    return ["libskarn_edit.so"]


def _load() -> ctypes.CDLL:
    """Loads the library from SKARN_EDIT_LIBRARY, else from the package's
    directory (where the install puts the library it builds), else through the
    system's loader; raises ImportError naming every place tried when none works."""
    tried: List[str] = []
    explicit = os.environ.get(ENVIRONMENT_VARIABLE)
    if explicit:
        try:
            return ctypes.CDLL(explicit)
        except OSError as error:
            # An explicit choice that fails is not replaced by another library.
            raise ImportError(f"skarn_edit: cannot load {ENVIRONMENT_VARIABLE}={explicit!r}: {error}") from None
    tried.append(f"{ENVIRONMENT_VARIABLE} (not set)")

    here = Path(__file__).resolve().parent
    candidates = [here / name for name in _library_names()]
    candidates += sorted(here.glob(_library_names()[0] + ".*"))
    for candidate in candidates:
        if candidate.exists():
            try:
                return ctypes.CDLL(str(candidate))
            except OSError as error:
                tried.append(f"{candidate}: {error}")
        else:
            tried.append(f"{candidate} (absent)")

    system_names = []
    found = ctypes.util.find_library("skarn_edit")
    if found:
        system_names.append(found)
    system_names += _library_names()
    for name in system_names:
        try:
            return ctypes.CDLL(name)
        except OSError as error:
            tried.append(f"system loader {name!r}: {error}")
    raise ImportError("skarn_edit: cannot find the shared library libskarn_edit; set "
                      f"{ENVIRONMENT_VARIABLE} to its path. Tried: " + "; ".join(tried))


lib = _load()

# name: (result type, argument types)
_PROTOTYPES = {
    "skarn_version_major": (c_int, []),
    "skarn_version_minor": (c_int, []),
    "skarn_version_patch": (c_int, []),
    "skarn_edit_create_session": (c_void_p, [c_char_p, SESSION_EVENT_CBK, c_void_p, c_int32, c_char_p]),
    "skarn_edit_destroy_session": (None, [c_void_p]),
    "skarn_edit_insert_bytes": (c_int64, [c_void_p, c_int64, c_char_p, c_int64]),
    "skarn_edit_overwrite_bytes": (c_int64, [c_void_p, c_int64, c_char_p, c_int64]),
    "skarn_edit_delete": (c_int64, [c_void_p, c_int64, c_int64]),
    "skarn_edit_undo_last_change": (c_int64, [c_void_p]),
    "skarn_edit_redo_last_undo": (c_int64, [c_void_p]),
    "skarn_edit_clear_changes": (c_int, [c_void_p]),
    "skarn_edit_save_segment": (c_int, [c_void_p, c_char_p, c_int, c_char_p, c_int64, c_int64]),
    "skarn_edit_create_checkpoint": (c_int, [c_void_p]),
    "skarn_edit_destroy_last_checkpoint": (c_int, [c_void_p]),
    "skarn_edit_apply_transform": (c_int, [c_void_p, c_void_p, c_void_p, c_int64, c_int64]),
    "skarn_session_get_computed_file_size": (c_int64, [c_void_p]),
    "skarn_session_get_segment": (c_int, [c_void_p, c_void_p, c_int64]),
    "skarn_session_get_num_changes": (c_int64, [c_void_p]),
    "skarn_session_get_num_undone_changes": (c_int64, [c_void_p]),
    "skarn_session_get_num_checkpoints": (c_int64, [c_void_p]),
    "skarn_session_get_checkpoint_directory": (c_char_p, [c_void_p]),
    "skarn_session_set_event_interest": (c_int32, [c_void_p, c_int32]),
    "skarn_session_begin_transaction": (c_int, [c_void_p]),
    "skarn_session_end_transaction": (c_int, [c_void_p]),
    "skarn_session_pause_changes": (None, [c_void_p]),
    "skarn_session_resume_changes": (None, [c_void_p]),
    "skarn_session_changes_paused": (c_int, [c_void_p]),
    "skarn_session_detect_BOM": (c_int32, [c_void_p, c_int64]),
    "skarn_session_character_counts": (c_int, [c_void_p, c_void_p, c_int64, c_int64, c_int32]),
    "skarn_session_byte_frequency_profile": (c_int, [c_void_p, ctypes.POINTER(c_int64), c_int64, c_int64]),
    "skarn_util_BOM_to_cstring": (c_char_p, [c_int32]),
    "skarn_util_cstring_to_BOM": (c_int32, [c_char_p]),
    "skarn_character_counts_create": (c_void_p, []),
    "skarn_character_counts_destroy": (None, [c_void_p]),
    "skarn_character_counts_bom_bytes": (c_int64, [c_void_p]),
    "skarn_character_counts_single_byte_chars": (c_int64, [c_void_p]),
    "skarn_character_counts_double_byte_chars": (c_int64, [c_void_p]),
    "skarn_character_counts_triple_byte_chars": (c_int64, [c_void_p]),
    "skarn_character_counts_quad_byte_chars": (c_int64, [c_void_p]),
    "skarn_character_counts_invalid_bytes": (c_int64, [c_void_p]),
    "skarn_segment_create": (c_void_p, [c_int64]),
    "skarn_segment_destroy": (None, [c_void_p]),
    "skarn_segment_get_data": (c_void_p, [c_void_p]),
    "skarn_segment_get_length": (c_int64, [c_void_p]),
    "skarn_edit_create_viewport": (c_void_p, [c_void_p, c_int64, c_int64, c_int, VIEWPORT_EVENT_CBK, c_void_p,
                                              c_int32]),
    "skarn_edit_destroy_viewport": (None, [c_void_p]),
    "skarn_viewport_modify": (c_int, [c_void_p, c_int64, c_int64, c_int]),
    "skarn_viewport_get_data": (c_void_p, [c_void_p]),
    "skarn_viewport_get_length": (c_int64, [c_void_p]),
    "skarn_viewport_get_offset": (c_int64, [c_void_p]),
    "skarn_viewport_get_capacity": (c_int64, [c_void_p]),
    "skarn_viewport_is_floating": (c_int, [c_void_p]),
    "skarn_viewport_has_changes": (c_int, [c_void_p]),
    "skarn_search_create_context_bytes": (c_void_p, [c_void_p, c_char_p, c_int64, c_int64, c_int64, c_int, c_int]),
    "skarn_search_next_match": (c_int, [c_void_p, c_int64]),
    "skarn_search_destroy_context": (None, [c_void_p]),
    "skarn_search_context_get_match_offset": (c_int64, [c_void_p]),
    "skarn_change_get_serial": (c_int64, [c_void_p]),
    "skarn_change_get_kind_as_char": (ctypes.c_char, [c_void_p]),
    "skarn_change_get_offset": (c_int64, [c_void_p]),
    "skarn_change_get_length": (c_int64, [c_void_p]),
    "skarn_change_get_bytes": (c_void_p, [c_void_p]),
    "skarn_visit_change_create_context": (c_void_p, [c_void_p, c_int]),
    "skarn_visit_change_begin": (c_int, [c_void_p]),
    "skarn_visit_change_next": (c_int, [c_void_p]),
    "skarn_visit_change_at_end": (c_int, [c_void_p]),
    "skarn_visit_change_context_get_change": (c_void_p, [c_void_p]),
    "skarn_visit_change_destroy_context": (None, [c_void_p]),
}

# Functions that older libraries may lack; the package checks with has().
_OPTIONAL_PROTOTYPES = {
    "skarn_edit_create_session_with_options": (c_void_p, [c_char_p, ctypes.POINTER(SessionOptions)]),
    "skarn_util_byte_table_transform": (c_uint8, [c_uint8, c_void_p]),
    "skarn_session_read": (c_int64, [c_void_p, c_int64, c_void_p, c_int64]),
    "skarn_error_last": (ctypes.POINTER(ErrorRecord), []),
    "skarn_error_clear": (None, []),
    "skarn_set_log_callback": (None, [LOG_CBK, c_void_p]),
    "skarn_util_recover_file": (c_int, [c_char_p]),
    "skarn_edit_resume_session": (c_void_p, [c_char_p, ctypes.POINTER(SessionOptions)]),
    "skarn_session_get_journal_path": (c_char_p, [c_void_p]),
    "skarn_util_find_journal": (c_int, [c_char_p, c_char_p, c_char_p]),
    "skarn_util_describe_journal": (c_int, [c_char_p, c_char_p]),
    "skarn_util_remove_journal": (c_int, [c_char_p]),
    "skarn_edit_replace_all": (c_int64, [c_void_p, c_char_p, c_int64, c_char_p, c_int64, c_int64, c_int64, c_int32]),
}


def _declare(name: str, prototype) -> None:
    function = getattr(lib, name)
    function.restype, function.argtypes = prototype


for _name, _prototype in _PROTOTYPES.items():
    _declare(_name, _prototype)

_present = set()
for _name, _prototype in _OPTIONAL_PROTOTYPES.items():
    try:
        _declare(_name, _prototype)
    except AttributeError:
        continue
    _present.add(_name)


def has(name: str) -> bool:
    """Tells whether the loaded library exports the optional function `name`."""
    return name in _present


@dataclass(frozen=True)
class Failure:
    """What the library recorded about the calling thread's last failed call:
    its result, the errno of the system call that failed (0 when none), the
    function called and the message of the first line it logged."""

    result: int
    sys_errno: int
    function: str
    message: str


def clear_error() -> None:
    """Forgets the calling thread's last failure, so that last_error() names
    only a failure of the calls that follow."""
    if has("skarn_error_clear"):
        lib.skarn_error_clear()


def last_error() -> Optional[Failure]:
    """The calling thread's last failure since clear_error(), or None (also
    from a library without failure records)."""
    if not has("skarn_error_last"):
        return None
    record = lib.skarn_error_last()
    if not record:
        return None
    fields = record.contents
    return Failure(fields.result, fields.sys_errno, os.fsdecode(fields.function or b""),
                   os.fsdecode(fields.message or b""))


def _bytes_allocator():
    """On CPython, a function making a new bytes object of n bytes (contents
    unset) and the address of its bytes, so that the library can write a read
    straight into the object it returns; None elsewhere."""
    if sys.implementation.name != "cpython":
        return None
    new_bytes = ctypes.pythonapi.PyBytes_FromStringAndSize
    new_bytes.restype = ctypes.py_object
    new_bytes.argtypes = [c_void_p, ctypes.c_ssize_t]
    # A bytes object's characters start where its fixed part ends, less the
    # one character that part already counts.
    data_offset = bytes.__basicsize__ - 1

    def allocate(n: int):
        obj = new_bytes(None, n)
        return obj, id(obj) + data_offset

    return allocate


new_bytes = _bytes_allocator()


def version_string() -> str:
    return f"{lib.skarn_version_major()}.{lib.skarn_version_minor()}.{lib.skarn_version_patch()}"
