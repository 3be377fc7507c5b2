"""Finding the files of decision logs and cutting them into fragments, in log order.

A LOG is a file (JSON Lines, plain, gzip or zstd; or Parquet, told by its first bytes) or a
folder of them, hive-partitioned or not, whose files are taken in sorted path order. A fragment
is what one task reads: a JSON Lines file, or a range of row groups of a Parquet file.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import BinaryIO, Iterator, List, Optional, Sequence, Tuple, Union

from tamsel_tools.io.reading import FileRefused, open_regular, walk
from tamsel_tools.replaying.summary import BadRecord

JSONL = "jsonl"
PARQUET = "parquet"
GZIP_MAGIC = b"\x1f\x8b"
ZSTD_MAGIC = b"\x28\xb5\x2f\xfd"
PARQUET_MAGIC = b"PAR1"
# A folder's files that are logs; others (a _SUCCESS marker, checksums) are passed over.
LOG_ENDINGS = (".jsonl", ".ndjson", ".json", ".jsonl.gz", ".jsonl.zst", ".ndjson.gz", ".ndjson.zst", ".parquet", ".pq")
# Rows that one fragment of a Parquet file holds at least, unless its file ends first: enough
# that a task costs far more than its scheduling, few enough that threads and workers share.
FRAGMENT_ROWS = 1 << 18
# Bytes that one fragment of a plain JSON Lines file holds at least (a compressed one is one
# fragment): files cut at newlines, so that threads and workers share a large one.
FRAGMENT_BYTES = 8 << 20
_CHUNK = 1 << 20


class LogUnreadable(Exception):
    """A LOG argument that names nothing that can be read: the replay cannot be done."""

    def __init__(self, where: str, message: str):
        super().__init__(f"{where}: {message}")
        self.where = where
        self.message = message


@dataclass(frozen=True)
class Fragment:
    """One task's part of a log: where it is, its format, and where its records stand in log
    order."""

    log: int  # the LOG argument, from 0
    file: int  # the file among the argument's, in sorted path order
    path: str
    format: str  # JSONL or PARQUET
    row_groups: Tuple[int, ...] = ()  # Parquet: the row groups read, in order
    first_row: int = 0  # Parquet: the rows of the file before the first of them
    partition: Tuple[Tuple[str, str], ...] = ()  # hive keys of the path: (name, value)
    size: int = 0  # the bytes it reads, for the progress line
    start: int = 0  # JSON Lines: the offset of its first line, then first_row the lines before it
    end: int = 0  # JSON Lines: the offset past its last line; 0 for the file's end


def _refused(path: str, error: FileRefused) -> LogUnreadable:
    return LogUnreadable(path, error.message)


def open_log(path: str) -> BinaryIO:
    """The file, opened without waiting, if it is a regular file; LogUnreadable otherwise."""
    try:
        descriptor = open_regular(path)
    except FileRefused as error:
        raise _refused(path, error) from None
    return os.fdopen(descriptor, "rb", closefd=True)


def _sniff(path: str) -> str:
    with open_log(path) as file:
        head = file.read(4)
    return PARQUET if head == PARQUET_MAGIC else JSONL


def _partition(relative: str) -> Tuple[Tuple[str, str], ...]:
    """The hive keys of a file's path below its dataset's folder: each folder named NAME=VALUE."""
    keys = []
    for part in relative.split(os.sep)[:-1]:
        name, equals, value = part.partition("=")
        if equals and name:
            keys.append((name, value))
    return tuple(keys)


def _is_log_name(name: str) -> bool:
    return not name.startswith((".", "_")) and name.endswith(LOG_ENDINGS)


def files_of(log: str) -> List[Tuple[str, Tuple[Tuple[str, str], ...]]]:
    """The files of a LOG argument in sorted path order, each with its hive keys. Hidden folders
    and files (a log being written keeps its file hidden) and symbolic links are passed over."""
    if "\0" in log:
        raise LogUnreadable(log, "not a path: it holds a NUL character")
    if not os.path.isdir(log) or os.path.islink(log) and not os.path.isdir(os.path.realpath(log)):
        return [(log, ())]
    found = []
    for directory, subdirectories, names in walk(log):
        subdirectories[:] = sorted(name for name in subdirectories if not name.startswith((".", "_")))
        for name in names:
            path = os.path.join(directory, name)
            if _is_log_name(name) and not os.path.islink(path):
                found.append((path, _partition(os.path.relpath(path, log))))
    return sorted(found)


def _parquet_fragments(log: int, file: int, path: str, partition: Tuple[Tuple[str, str], ...]) -> List[Fragment]:
    try:
        import pyarrow.parquet as parquet  # type: ignore[import-untyped,import-not-found,unused-ignore]
    except ImportError:
        raise LogUnreadable(path, "a Parquet log, which needs pyarrow (tamsel[replay])") from None

    with open_log(path) as opened:
        try:
            metadata = parquet.ParquetFile(opened).metadata
        except Exception as error:  # noqa: BLE001 - pyarrow raises several kinds for a bad footer
            raise _BadFile(path, f"not a readable Parquet file: {error}") from None
    fragments: List[Fragment] = []
    groups: List[int] = []
    rows = size = first = 0
    for index in range(metadata.num_row_groups):
        group = metadata.row_group(index)
        groups.append(index)
        rows += group.num_rows
        size += group.total_byte_size
        if rows >= FRAGMENT_ROWS or index == metadata.num_row_groups - 1:
            fragments.append(Fragment(log, file, path, PARQUET, tuple(groups), first, partition, size))
            first += rows
            groups, rows, size = [], 0, 0
    return fragments


class _BadFile(Exception):
    def __init__(self, path: str, message: str):
        super().__init__(message)
        self.path = path
        self.message = message


def plan(logs: Sequence[str]) -> Tuple[List[Fragment], List[BadRecord]]:
    """The fragments of the logs in log order, and the files that could not be cut into any (a
    Parquet file whose footer does not read), as bad records. LogUnreadable when a LOG names
    nothing readable."""
    outline = outline_of(logs)
    return list(outline.fragments()), outline.bad


@dataclass(frozen=True)
class _Plain:
    """A plain JSON Lines file, cut into fragments only when they are asked for."""

    log: int
    file: int
    path: str
    partition: Tuple[Tuple[str, str], ...]


@dataclass(frozen=True)
class Outline:
    """The logs' files in log order, read only as far as their sizes and Parquet footers: the
    fragments of a large plain JSON Lines file (cut where a pass over it finds newlines) are
    made as they are taken, so that the first are replayed while the pass goes on."""

    parts: Tuple[Union[Fragment, _Plain], ...]
    bad: List[BadRecord]
    total: int  # the bytes of every fragment

    def fragments(self) -> Iterator[Fragment]:
        for part in self.parts:
            if isinstance(part, Fragment):
                yield part
            else:
                yield from _jsonl_fragments(part.log, part.file, part.path, part.partition)


def outline_of(logs: Sequence[str]) -> Outline:
    """LogUnreadable when a LOG names nothing readable."""
    parts: List[Union[Fragment, _Plain]] = []
    bad: List[BadRecord] = []
    total = 0
    for log_index, log in enumerate(logs):
        for file_index, (path, partition) in enumerate(files_of(log)):
            if _sniff(path) == JSONL:
                size = _size(path)
                total += size
                if size < 2 * FRAGMENT_BYTES:
                    parts.append(Fragment(log_index, file_index, path, JSONL, partition=partition, size=size))
                else:
                    parts.append(_Plain(log_index, file_index, path, partition))
                continue
            try:
                found = _parquet_fragments(log_index, file_index, path, partition)
            except _BadFile as error:
                bad.append(BadRecord((log_index, file_index, 0), error.path, error.message))
                continue
            parts.extend(found)
            total += sum(fragment.size for fragment in found)
    return Outline(tuple(parts), bad, total)


def _jsonl_fragments(log: int, file: int, path: str, partition: Tuple[Tuple[str, str], ...]) -> Iterator[Fragment]:
    """A plain file cut at the first newline past every FRAGMENT_BYTES, each part knowing the
    lines before it (counted here, in one pass, each part given as soon as its end is found);
    a compressed or small file whole."""
    size = _size(path)
    whole = Fragment(log, file, path, JSONL, partition=partition, size=size)
    if size < 2 * FRAGMENT_BYTES:
        yield whole
        return
    with open_log(path) as opened:
        head = opened.read(4)
        if head.startswith(GZIP_MAGIC) or head == ZSTD_MAGIC:
            yield whole
            return
        opened.seek(0)
        start = before = 0  # the current part's first offset, and the lines before it
        position = lines = 0
        while chunk := opened.read(_CHUNK):
            while (wanted := start + FRAGMENT_BYTES - position) < len(chunk):
                newline = chunk.find(b"\n", max(0, wanted))
                if newline < 0 or position + newline + 1 >= size:
                    break
                end = position + newline + 1
                yield _part(log, file, path, partition, start, end, before)
                start, before = end, lines + chunk.count(b"\n", 0, newline + 1)
            lines += chunk.count(b"\n")
            position += len(chunk)
    yield _part(log, file, path, partition, start, size, before)


def _part(
    log: int, file: int, path: str, partition: Tuple[Tuple[str, str], ...], start: int, end: int, before: int
) -> Fragment:
    return Fragment(
        log, file, path, JSONL, first_row=before, partition=partition, size=end - start, start=start, end=end
    )


def _size(path: str) -> int:
    try:
        return os.stat(path).st_size
    except OSError:
        return 0


def reopened_path(file: BinaryIO) -> str:
    """A path through which a library opens the very file already opened and checked (and
    never a FIFO put in its place since)."""
    return f"/proc/self/fd/{file.fileno()}"


def partition_value(fragment: Fragment, name: str) -> Optional[str]:
    for key, value in fragment.partition:
        if key == name:
            return value
    return None
