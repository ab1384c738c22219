"""Writing a file whole or not at all.

Every writer of the package that is given a path (``dump``, editing) goes
through ``replace_file``: the text is written to a temporary file in the
target's own folder and renamed over the target only once it is complete
and on disk, so a failure anywhere (an unencodable str, a full disk, an
interrupt) leaves the target as it was.  The rename is atomic on POSIX
because both names are in one folder, hence on one file system.
"""

from __future__ import annotations

import os
import stat
import tempfile
from typing import Union

__all__ = ["replace_file"]

PathLike = Union[str, "os.PathLike[str]"]


def _new_file_mode() -> int:
    # What open() would give a new file: 0o666 less the umask.  The umask can
    # only be read by setting it, so it is set straight back.
    mask = os.umask(0o022)
    os.umask(mask)
    return 0o666 & ~mask


def replace_file(path: PathLike, data: bytes) -> None:
    """Makes ``path`` hold ``data``, atomically: either the old content or
    the new, never a part.  An existing file keeps its mode; a link is
    followed, so the file it names is replaced and the link stays."""
    target = os.path.realpath(os.fspath(path))
    try:
        mode = stat.S_IMODE(os.stat(target).st_mode)
    except FileNotFoundError:
        mode = _new_file_mode()
    folder, name = os.path.split(target)
    fd, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".tmp", dir=folder)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(temporary, mode)
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
