"""Reading what the user and the suites name: regular files only, never blocking, never unbounded.

A FIFO opened for reading waits for a writer, a device such as /dev/zero never
ends, and a suite may name any path on the machine. So every file is looked at
before it is read, opened so that the open itself cannot wait, read up to a
cap, and a suite's documents must stay inside its own folder or its project.
"""

from __future__ import annotations

import os
import re
import stat
from dataclasses import dataclass
from pathlib import Path
from typing import BinaryIO, Callable, Iterator, List, Optional, Tuple

MIB = 1 << 20
# Suites, input files and one line of standard input: far above any real suite or
# input, and low enough that the command stays under 200 MB whatever the text
# holds: Python holds a parsed text at two to three times its size, and more for
# each of its values (see BYTES_PER_VALUE).
DEFAULT_MAX_BYTES = 32 * MIB
# What a size may say at most: past it, a cap caps nothing that could be read.
_LARGEST = 1 << 62

# The names by which a suite is found in a folder.
SUITE_ENDINGS = (".suite.json", ".suite.yaml", ".suite.yml")

# The kinds of file that are not read, by the stat test that finds them.
_KINDS = (
    (stat.S_ISDIR, "a folder"),
    (stat.S_ISFIFO, "a FIFO"),
    (stat.S_ISCHR, "a character device"),
    (stat.S_ISBLK, "a block device"),
    (stat.S_ISSOCK, "a socket"),
)


# No file name holds it: a path with one names no file, and the system calls refuse it.
NUL = "\0"
NO_PATH = "not a path: it holds a NUL character"


class FileRefused(Exception):
    """The file was not read; the message says why, without its path."""

    def __init__(self, path: str, message: str, error_number: Optional[int] = None):
        super().__init__(message)
        self.path = path
        self.message = message
        self.error_number = error_number  # the system's, when the system refused it


def size_text(size: int) -> str:
    """A byte count as written in messages: in MiB when whole, else in bytes."""
    if size >= MIB and size % MIB == 0:
        return f"{size // MIB} MiB"
    return f"{size} bytes"


_SIZE = re.compile(r"([0-9]+)\s*(|B|KiB|MiB|GiB)")
_UNITS = {"": 1, "B": 1, "KiB": 1 << 10, "MiB": MIB, "GiB": 1 << 30}


def parse_size(text: str) -> int:
    """`--max-bytes`: a count of bytes, or of KiB, MiB or GiB; ValueError otherwise."""
    found = _SIZE.fullmatch(text.strip())
    if found is None or int(found[1]) == 0:
        raise ValueError(f"expected a positive size such as 1048576 or 32MiB, got {text!r}")
    return min(int(found[1]) * _UNITS[found[2]], _LARGEST)


def too_large(limit: int) -> str:
    return f"larger than the limit of {size_text(limit)} (--max-bytes raises it)"


# Parsed, a text takes many times its size: a JSON list of empty mappings takes
# 3 bytes an element as text and over 70 as objects. So the values that one
# text may hold are capped with its bytes: one for every 64 of them.
BYTES_PER_VALUE = 64
# The engine holds a document at several times its size (a long text at four
# times, small values at over a hundred bytes each once the tools see the rules),
# and a policy is built from three: together they have a quarter of the cap.
DOCUMENTS_SHARE = 4


@dataclass(frozen=True)
class Limits:
    """How much a command reads, and from where: the cap of `--max-bytes` on a suite, an input
    file or a line of standard input, and whether a suite's or a project file's documents may
    be outside its folder (`--allow-outside-paths`); the project file named (`--project`) and
    whether documents may hold what reads differently to people and to the engine
    (`--allow-invisible-breaks`). The command makes it and hands it on."""

    max_bytes: int = DEFAULT_MAX_BYTES
    allow_outside: bool = False
    project: Optional[str] = None
    allow_invisible: bool = False

    @property
    def max_values(self) -> int:
        return max(1, self.max_bytes // BYTES_PER_VALUE)

    @property
    def documents_max_bytes(self) -> int:
        return max(1, self.max_bytes // DOCUMENTS_SHARE)

    def _values_limit(self) -> str:
        return f"the limit that goes with {size_text(self.max_bytes)} (--max-bytes raises it)"

    def too_many_values(self, where: str = "") -> str:
        return f"more than {self.max_values} values (mappings, lists and scalars){where}, {self._values_limit()}"

    def documents_too_large(self, left: int, documents: str) -> str:
        """Why `documents` (such as "a policy's documents") cannot take a file past the `left` bytes."""
        total = self.documents_max_bytes
        before = "" if left == total else f", with the {size_text(total - left)} of those read before it"
        return (
            f"larger than the limit of {size_text(total)} for {documents} together{before} "
            "(a quarter of --max-bytes, which raises it)"
        )

    def too_many_separators(self) -> str:
        return (
            f"too many values: more than {self.max_values} commas, colons, brackets and braces, {self._values_limit()}"
        )


# Python holds a text at the width of its widest character: one byte, two past
# U+00FF, four past U+FFFF. One emoji in a text of 60 MB makes it 240 MB.
_CONTINUATION = bytes(range(0x80, 0xC0))


def _width(data: bytes) -> int:
    # The lead byte of a character past U+FFFF is F0 or more, past U+00FF C4 or more.
    widest = max(data, default=0)
    return 4 if widest >= 0xF0 else 2 if widest >= 0xC4 else 1


def too_wide(data: bytes, limit: int) -> Optional[str]:
    """Why the UTF-8 bytes, decoded, would take more than the cap, or None when they would not."""
    width = _width(data)
    if width * len(data) <= limit:
        return None
    characters = len(data.translate(None, _CONTINUATION))  # a character's bytes but its first
    if width * characters <= limit:
        return None
    return (
        f"larger than the limit of {size_text(limit)} once read: a character past "
        f"{'U+FFFF' if width == 4 else 'U+00FF'} makes every one take {width} bytes (--max-bytes raises it)"
    )


def not_regular(mode: int) -> Optional[str]:
    """What the file is when it is not a regular file, as said in messages; None for a regular file."""
    if stat.S_ISREG(mode):
        return None
    for test, name in _KINDS:
        if test(mode):
            return f"not a regular file: {name}"
    return "not a regular file"


def _open_regular(path: str) -> int:
    """A descriptor of the regular file at path, opened without waiting; FileRefused otherwise."""
    if NUL in path:
        raise FileRefused(path, NO_PATH)
    try:
        # Looked at first, so that a device is never opened at all.
        refused = not_regular(os.stat(path).st_mode)
        if refused is not None:
            raise FileRefused(path, refused)
        # O_NONBLOCK: should the path become a FIFO meanwhile, the open still returns.
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except OSError as error:
        raise FileRefused(path, f"cannot read: {error.strerror or error}", error.errno) from None
    try:
        refused = not_regular(os.fstat(descriptor).st_mode)
    except OSError as error:
        refused = f"cannot read: {error.strerror or error}"
    if refused is not None:
        os.close(descriptor)
        raise FileRefused(path, refused)
    return descriptor


def open_regular(path: str) -> int:
    """A descriptor of the regular file at path (the caller closes it), opened without waiting;
    FileRefused otherwise."""
    return _open_regular(path)


_CHUNK = MIB


def _read_up_to(file: BinaryIO, limit: int, size: int) -> bytes:
    """At most limit + 1 bytes of the file: as many as its size says in one read, so that no
    buffer the size of a large cap is made, then on in chunks while it gives more (a file
    whose size says nothing, as in /proc, or one that grows)."""
    first = file.read(min(limit, size) + 1)
    parts, total = [first], len(first)
    while total <= limit:
        more = file.read(min(limit + 1 - total, _CHUNK))
        if not more:
            break
        parts.append(more)
        total += len(more)
    return first if len(parts) == 1 else b"".join(parts)


def read_bytes(path: str, limit: int, refusal: Callable[[int], str] = too_large) -> bytes:
    """The bytes of the regular file at path, at most `limit` (the `--max-bytes` cap) of them;
    past it, FileRefused with the text that `refusal` gives for the limit."""
    descriptor = _open_regular(path)
    try:
        with os.fdopen(descriptor, "rb", closefd=True) as file:
            # Refused by its size before any of it is read; a file whose size says nothing
            # (as in /proc) is read up to the cap.
            size = os.fstat(descriptor).st_size
            if size > limit:
                raise FileRefused(path, refusal(limit))
            data = _read_up_to(file, limit, size)
    except OSError as error:
        raise FileRefused(path, f"cannot read: {error.strerror or error}", error.errno) from None
    if len(data) > limit:
        raise FileRefused(path, refusal(limit))
    return data


def not_utf8_at(data: bytes, error: UnicodeDecodeError) -> Tuple[int, int]:
    """The line and column (from 1, the column in characters) of the first byte of the data
    that is not UTF-8, as the engine places it."""
    line_start = data.rfind(b"\n", 0, error.start) + 1
    line = data.count(b"\n", 0, error.start) + 1
    return line, len(data[line_start : error.start].decode("utf-8", "replace")) + 1


class LineTooLong(Exception):
    """A line of standard input past the cap; what follows it is not read."""

    def __init__(self, limit: int):
        super().__init__(f"line {too_large(limit)}; standard input is not read further")


def lines(stream: BinaryIO, limit: int) -> Iterator[bytes]:
    """The lines of a byte stream, each at most `limit` bytes without its line feed. A longer
    line raises LineTooLong once its first `limit` bytes are read: the rest may never end."""
    while True:
        line = stream.readline(limit + 1)
        if not line:
            return
        if len(line) > limit and not (len(line) == limit + 1 and line.endswith(b"\n")):
            raise LineTooLong(limit)
        yield line


# Where a suite's documents may be, and the paths that leave it.


def _inside(path: Path, folder: Path) -> bool:
    return path == folder or folder in path.parents


def outside(folder: str, path: str) -> Optional[str]:
    """Why `path` (as opened from here) is not inside `folder`, or None when it is: a `..` that
    leaves the folder, or a symbolic link on the way that resolves out of it."""
    base = Path(os.path.abspath(folder))
    if not _inside(Path(os.path.normpath(os.path.abspath(path))), base):
        return "a path that leaves"
    if not _inside(Path(os.path.realpath(path)), Path(os.path.realpath(base))):
        return "a symbolic link that leads out of"
    return None


def refused_path(limit: str, folder: str, name: str, where: str, allow_outside: bool) -> Optional[str]:
    """Why the path `name`, relative to `folder`, may not be read: it is absolute, or it leaves
    `limit` (`where` names it in the message) lexically or through a symbolic link. None when it
    stays inside, or when paths outside are allowed (`--allow-outside-paths`)."""
    if NUL in name:
        return NO_PATH
    if not name:
        return "an empty path, which names no file"
    if allow_outside:
        return None
    reason = "an absolute path, outside" if os.path.isabs(name) else outside(limit, os.path.join(folder, name))
    return None if reason is None else f"{reason} {where} (--allow-outside-paths reads it)"


def document_path(suite: str, name: str, root: Optional[str], allow_outside: bool) -> Tuple[str, Optional[str]]:
    """The path of a document that a suite names (relative to the suite's folder), and why it is
    refused, or None. `root` is the project's folder when a project file holds the suite; else
    the suite's own folder is the limit."""
    folder = os.path.dirname(suite)
    where = "the suite's folder" if root is None else "the project's folder"
    return os.path.join(folder, name), refused_path(root or folder or ".", folder, name, where, allow_outside)


# The suites below a folder.


def _found(directory: str, name: str, top: Path) -> Tuple[str, Optional[str]]:
    """The path of an entry found below `top`, and why it is skipped, or None."""
    path = os.path.join(directory, name)
    try:
        if os.path.islink(path) and not _inside(Path(os.path.realpath(path)), top):
            return path, "a symbolic link that leads out of the folder, skipped"
        refused = not_regular(os.stat(path).st_mode)
    except OSError as error:
        return path, f"cannot read: {error.strerror or error}, skipped"
    return path, None if refused is None else f"{refused}, skipped"


def walk(top: str) -> Iterator[Tuple[str, List[str], List[str]]]:
    """As `os.walk(top)` walks, top down and into no symbolic link, but without recursion: a
    folder nested past Python's recursion limit is walked as any other. The caller may prune
    the list of subfolders it is given, as with `os.walk`."""
    pending = [top]
    while pending:
        directory = pending.pop()
        try:
            with os.scandir(directory) as entries:
                listed = list(entries)
        except OSError:
            continue
        subdirectories: List[str] = []
        files: List[str] = []
        for entry in listed:
            try:
                is_folder = entry.is_dir()
            except OSError:
                is_folder = False
            (subdirectories if is_folder else files).append(entry.name)
        yield directory, subdirectories, files
        pending.extend(
            os.path.join(directory, name)
            for name in reversed(subdirectories)
            if not os.path.islink(os.path.join(directory, name))
        )


def suites_below(folder: str, endings: Tuple[str, ...]) -> Tuple[List[str], List[Tuple[str, str]]]:
    """The suite files below `folder` in order, and the entries skipped with why. Folders whose
    name starts with a dot are passed over; symbolic links to folders are not followed."""
    top = Path(os.path.realpath(folder))
    found: List[str] = []
    skipped: List[Tuple[str, str]] = []
    for directory, subdirectories, files in walk(folder):
        subdirectories[:] = sorted(name for name in subdirectories if not name.startswith("."))
        for name in sorted(files):
            if name.endswith(endings):
                path, reason = _found(directory, name, top)
                (found.append(path) if reason is None else skipped.append((path, reason)))
    return sorted(found), skipped
