"""Editing files of any size from Python, over the skarn_edit C library.

    import skarn_edit
    with skarn_edit.Session("big.log") as s:
        s.overwrite(0, b"#")
        print(list(s.find(b"ERROR")))
        s.save("big-fixed.log")

The shared library is loaded from the path in SKARN_EDIT_LIBRARY, else from
this package's directory (where installing the package puts the library it
builds), else through the system's loader.
"""

from ._native import version_string as _version_string
from ._session import (Change, CharacterCounts, Error, SaveError, Session, Viewport, find_journal, recover,
                       remove_journal)

__version__: str = _version_string()

__all__ = ["Session", "Viewport", "Change", "CharacterCounts", "Error", "SaveError", "recover", "find_journal",
           "remove_journal", "__version__"]
