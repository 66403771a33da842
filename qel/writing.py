"""Output files of the tool, checked before a run and written whole or not at all."""
import os
import stat
import tempfile
from typing import BinaryIO, Callable

from qel.errors import UsageError


def check_target(option: str, path: str) -> None:
    """Fails now, before any mining, when `path` could not be written later.

    Parameters
    ----------
    option : str
        The option that named the file (``"--json"``), for the message.
    path : str
        The output file; it need not exist, but its folder must.

    Raises
    ------
    UsageError
        When the folder is missing or not writable, or `path` is a folder or a file that
        may not be written.

    Examples
    --------
    >>> import tempfile
    >>> check_target("--json", os.path.join(tempfile.mkdtemp(), "motifs.json"))
    >>> check_target("--json", "/no/such/folder/motifs.json")
    Traceback (most recent call last):
    qel.errors.UsageError: --json /no/such/folder/motifs.json: no folder '/no/such/folder'
    """
    if path.endswith(os.sep) or os.path.isdir(path):
        raise UsageError(f"{option} {path}: is a folder; give a file name")
    if _in_place(path):
        # Not opened here: opening a pipe blocks until someone reads it.
        if not os.access(path, os.W_OK):
            raise UsageError(f"{option} {path}: permission denied")
        return
    target = os.path.realpath(path)
    folder = os.path.dirname(target)
    if not os.path.isdir(folder):
        shown = os.path.dirname(path) or folder
        raise UsageError(f"{option} {path}: no folder {shown!r}")
    if os.path.exists(target) and not os.access(target, os.W_OK):
        raise UsageError(f"{option} {path}: permission denied")
    try:
        # A file made and removed in the folder is the one test that also catches a
        # read-only file system and rules os.access cannot see.
        with tempfile.TemporaryFile(dir=folder):
            pass
    except OSError as error:
        raise UsageError(f"{option} {path}: cannot write in {os.path.dirname(path) or '.'!r}: "
                         f"{error.strerror or error}") from None


def write_whole(path: str, write: Callable[[BinaryIO], object]) -> None:
    """Has `write` fill a new file, then puts it in place of `path` in one step.

    The file is written under a temporary name in the same folder and renamed over `path`
    only once it is complete, so that a failure or an interrupt at any moment leaves `path`
    as it was (the previous results) and no temporary file behind. A symbolic link keeps
    pointing where it did: the file it names is replaced. A device or a pipe
    (``/dev/stdout``) cannot be replaced and is written directly.

    Parameters
    ----------
    path : str
        The output file.
    write : callable
        Called once with a binary stream open for writing; everything it writes is the file.

    Raises
    ------
    OSError
        When the file cannot be written or put in place; `path` is then unchanged.

    Examples
    --------
    >>> import tempfile
    >>> path = os.path.join(tempfile.mkdtemp(), "motifs.json")
    >>> write_whole(path, lambda stream: stream.write(b"{}\\n"))
    >>> open(path).read()
    '{}\\n'
    """
    if _in_place(path):
        with open(path, "wb") as stream:
            write(stream)
        return
    target = os.path.realpath(path)
    folder = os.path.dirname(target)
    descriptor, temporary = tempfile.mkstemp(dir=folder, prefix=f".{os.path.basename(target)}.", suffix=".part")
    try:
        with os.fdopen(descriptor, "wb") as stream:
            write(stream)
            stream.flush()
            # On disk before the rename: after a crash the name holds the old file or the new one.
            os.fsync(stream.fileno())
        os.chmod(temporary, _mode_for(target))
        os.replace(temporary, target)
    except BaseException:
        # Also on KeyboardInterrupt: the old file stays, and the part written goes.
        try:
            os.remove(temporary)
        except FileNotFoundError:
            pass
        raise


def _in_place(path: str) -> bool:
    """Whether `path` must be written as it is: a device or a pipe (/dev/full, /dev/stdout)
    cannot be replaced, nor a file known only by a descriptor's link. A link in /dev or
    /proc stands for where a descriptor leads now (/dev/stdout redirected to a file): the
    file it reaches is written, not replaced."""
    if os.path.islink(path) and os.path.abspath(path).startswith(("/dev/", "/proc/")):
        return True
    try:
        mode = os.stat(path).st_mode
    except OSError:
        # Nothing there yet (or a folder on the way that is not one, told by check_target).
        return False
    if not stat.S_ISREG(mode):
        return True
    try:
        return not os.path.samefile(os.path.realpath(path), path)
    except OSError:
        return True


def _mode_for(target: str) -> int:
    """The replaced file's permissions; for a new file, what open() would have given it
    (mkstemp makes its file private to the owner)."""
    try:
        return stat.S_IMODE(os.stat(target).st_mode)
    except FileNotFoundError:
        umask = os.umask(0)
        os.umask(umask)
        return 0o666 & ~umask
