"""Files on disk: the one atomic writer, and the defensive reading of .npz files.

Every file the package writes (results, pictures, checkpoints) goes through
:func:`write_atomically`: a temporary file in the target's folder, flushed to disk, then renamed
over the target, so a file under its final name is always complete. The temporary is removed
on any failure, on Ctrl-C, and on SIGTERM or SIGHUP while it is being written.
"""
from __future__ import annotations

import errno
import json
import os
import secrets
import signal
import tempfile
import threading
import zipfile
from contextlib import contextmanager, suppress
from typing import IO, Any, Callable, Dict, Iterator, Set, Tuple, Union

import numpy as np
import numpy.typing as npt

PathLike = Union[str, "os.PathLike[str]"]
Arrays = Dict[str, npt.NDArray[Any]]

TEMPORARY_SUFFIX = ".part"
_NEW_FILE = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_CLOEXEC", 0)
# Signals that end a process unless handled: while a temporary exists, they remove it first.
_ENDING_SIGNALS = tuple(getattr(signal, name) for name in ("SIGTERM", "SIGHUP") if hasattr(signal, name))

_live: Set[str] = set()
_live_lock = threading.Lock()
_installed: Dict[int, Any] = {}


def _remove_live_and_end(signum: int, frame: Any) -> None:
    for temporary in list(_live):
        with suppress(OSError):
            os.unlink(temporary)
    signal.signal(signum, signal.SIG_DFL)
    os.kill(os.getpid(), signum)  # ends the process as the signal would have


@contextmanager
def _removed_if_ended(temporary: str) -> Iterator[None]:
    """While the block runs, a SIGTERM or SIGHUP that would end the process removes `temporary` first.

    Handlers of the program's own (that raise, as the command line's do) are left alone: the
    exception they raise removes the temporary like any other failure.
    """
    main = threading.current_thread() is threading.main_thread()
    with _live_lock:
        _live.add(temporary)
        if main and not _installed:
            for signum in _ENDING_SIGNALS:
                if signal.getsignal(signum) is signal.SIG_DFL:
                    _installed[signum] = signal.signal(signum, _remove_live_and_end)
    try:
        yield
    finally:
        with _live_lock:
            _live.discard(temporary)
            if main and not _live:
                for signum in list(_installed):
                    if signal.getsignal(signum) is _remove_live_and_end:
                        signal.signal(signum, _installed[signum])
                    del _installed[signum]


def _umask() -> int:
    try:  # read without changing it: changing it, even for a moment, races with other threads
        with open("/proc/self/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError):
        pass
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def _sync_folder(folder: str) -> None:
    with suppress(OSError):
        handle = os.open(folder, os.O_RDONLY)
        try:
            os.fsync(handle)
        finally:
            os.close(handle)


def _link_exclusively(temporary: str, target: str) -> None:
    """Give the complete `temporary` the name `target` too, unless `target` exists (FileExistsError)."""
    try:
        os.link(temporary, target)  # atomic, and fails if the target exists, whoever made it
    except FileExistsError:
        raise
    except OSError as error:  # a file system without hard links: exclusive still, atomic no longer
        if error.errno not in (errno.EPERM, errno.ENOTSUP, errno.EOPNOTSUPP, errno.ENOSYS, errno.EXDEV):
            raise
        with open(temporary, "rb") as source, open(target, "xb") as copy:
            copy.write(source.read())
            copy.flush()
            os.fsync(copy.fileno())


def write_atomically(path: PathLike, write: Callable[[IO[bytes]], Any], *, exclusive: bool = False) -> None:
    """Write a file through `write(file)`, so that `path` is either its old self or complete.

    Parameters
    ----------
    path : str or os.PathLike
        The file to write (replaced if it exists, unless `exclusive`).
    write : callable
        Writes the contents to the binary file object it is given.
    exclusive : bool
        Create `path` only if it does not exist yet, else raise FileExistsError: of several
        processes creating it at once, exactly one succeeds.

    Raises
    ------
    OSError
        If the folder cannot be written, the disk is full, and so on; nothing is left behind.
    """
    target = os.path.abspath(os.fspath(path))
    folder, name = os.path.split(target)
    # The temporary's name is known before the file exists, so an interrupt that lands the
    # moment it has been made (before its handle is even stored) still removes it.
    temporary = os.path.join(folder, f".{name}.{secrets.token_hex(8)}{TEMPORARY_SUFFIX}")
    with _removed_if_ended(temporary):
        try:
            handle = os.open(temporary, _NEW_FILE, 0o600)
        except FileExistsError:  # another's file of the same name (1 in 2^64): not ours to remove
            raise
        except BaseException:
            with suppress(OSError):
                os.unlink(temporary)
            raise
        try:
            with os.fdopen(handle, "wb") as file:
                write(file)
                file.flush()
                os.fsync(file.fileno())
            os.chmod(temporary, 0o666 & ~_umask())
            if exclusive:
                _link_exclusively(temporary, target)
                os.unlink(temporary)
            else:
                os.replace(temporary, target)
        except BaseException:
            with suppress(OSError):
                os.unlink(temporary)
            raise
    _sync_folder(folder)


def save_npz(path: PathLike, config: Dict[str, Any], arrays: Arrays, *, exclusive: bool = False) -> None:
    """Write `arrays` and `config` (as JSON text in the entry "config") atomically to the .npz file `path`."""
    entries: Dict[str, Any] = {"config": np.array(json.dumps(config)), **arrays}
    write_atomically(path, lambda file: _write_npz(file, entries), exclusive=exclusive)


def _write_npz(file: IO[bytes], entries: Dict[str, Any]) -> None:
    # The archive np.savez writes, closed however its writing ends: NumPy 1.x's own leaves the
    # zip file open when a signal interrupts it.
    with zipfile.ZipFile(file, mode="w", compression=zipfile.ZIP_STORED, allowZip64=True) as archive:
        for key, value in entries.items():
            with archive.open(f"{key}.npy", mode="w", force_zip64=True) as member:
                np.lib.format.write_array(member, np.asanyarray(value), allow_pickle=False)


def unwritable(path: PathLike) -> str:
    """Why the file `path` could not be written, or "" if it can: the folder is tried for real."""
    target = os.fspath(path)
    if not target:
        return "an empty path names no file"
    if os.path.isdir(target):
        return "it is a folder; give a file name"
    folder = os.path.dirname(os.path.abspath(target))
    if not os.path.isdir(folder):
        return f"folder {folder} does not exist; create it or choose another"
    try:  # a read-only mount or a full quota shows only when a file is made
        with tempfile.NamedTemporaryFile(dir=folder, prefix=".quarnel-probe-"):
            pass
    except OSError as error:
        return f"cannot write in folder {folder}: {error.strerror or error}"
    return ""


def read_npz(path: PathLike) -> Tuple[Dict[str, Any], Arrays]:
    """The configuration and the arrays of a .npz file written by :func:`save_npz`.

    Raises
    ------
    FileNotFoundError, PermissionError, IsADirectoryError
        If the file cannot be opened.
    ValueError
        If it is damaged or was not written by quarnel_lab; the message names the file.
    """
    name = os.fspath(path)
    with open(name, "rb") as file:  # FileNotFoundError and the like name the file themselves
        start = file.read(6)
        if start.startswith(b"\x93NUMPY"):
            raise ValueError(f"{name} is not a quarnel_lab file (a single .npy array, not a .npz)")
        if not start.startswith(b"PK\x03\x04"):
            raise ValueError(f"{name} is not a quarnel_lab file (not a .npz archive)")
        file.seek(0)
        try:  # through the open file: numpy leaves its own open when the archive is damaged
            with np.load(file, allow_pickle=False) as data:
                arrays = {key: data[key] for key in data.files}
        except Exception as error:
            raise ValueError(f"{name} is damaged ({_reason(error)})") from None
    if "config" not in arrays:
        raise ValueError(f"{name} was not saved by quarnel_lab: it has no configuration")
    stored = arrays.pop("config")
    try:
        if stored.shape != () or stored.dtype.kind != "U":
            raise ValueError("not a text entry")
        config = json.loads(str(stored[()]))
        if not isinstance(config, dict):
            raise ValueError("not a JSON object")
    except ValueError as error:
        raise ValueError(f"{name} is damaged: its configuration is unreadable ({_reason(error)})") from None
    return config, arrays


def _reason(error: BaseException) -> str:
    text = str(error)
    return f"{type(error).__name__}: {text}" if text else type(error).__name__

