"""`DecisionLog`: decisions recorded as they are made, in files that a replay reads.

Records are buffered in memory, bounded by records and bytes, and written as one file when the
buffer is full, when its first record is `max_seconds` old (a background thread sees to it), on
`flush()`, `close()` and at interpreter exit. A file is written under a hidden name, flushed,
synced to disk and only then renamed to its final name, so that a reader never sees a file
that is not whole; the folder is synced after the rename. A process that dies loses at most the
records buffered since the last file was written.

In Parquet the three domains are struct columns under `input`, one field a name seen in the
file's records, typed by its kind (boolean, float64, string; a refused value as a struct). The
records buffered are kept in groups whose fields agree in kind; a record whose field has another
kind than in every group (a number where a text was) starts a group, and each group is written
as a file of its own, so no value is ever converted or lost.
"""

from __future__ import annotations

import atexit
import datetime
import os
import sys
import threading
import weakref
from typing import Any, Dict, List, Mapping, Optional, Tuple

from tamsel_tools.base import strict_json
from tamsel_tools.replaying.record import DOMAINS, EFFECTS, UTC, Kind, domains, json_input, rfc3339

FORMATS = ("parquet", "jsonl")
_ENDINGS = {"parquet": ".parquet", "jsonl": ".jsonl"}


class DecisionLogError(Exception):
    """A decision log could not write its records (a full disk, a folder removed): the records of
    that file are lost, every file written before stays whole."""


# The kinds of one field may change from record to record (a number, then a text, then a value
# refused); a Parquet column has one type. The records buffered are kept in groups whose kinds
# agree, each written as a file of its own; past so many groups the buffer is written first.
MAX_GROUPS = 8


class _Row:
    """One record as buffered: what both formats need of it."""

    __slots__ = ("time", "id", "fields", "decision", "error", "line", "size")

    def __init__(
        self,
        time: datetime.datetime,
        id: Optional[str],
        fields: Dict[str, Dict[str, Tuple[str, Any]]],
        decision: Optional[Tuple[str, Optional[str]]],
        error: Optional[str],
        line: str,
    ):
        self.time, self.id, self.fields, self.decision, self.error = time, id, fields, decision, error
        self.line = line  # the JSON Lines text, also the size that the byte bound counts
        self.size = len(line.encode("utf-8")) + 1

    def kinds(self) -> Dict[Tuple[str, str], str]:
        return {(domain, name): kind for domain, fields in self.fields.items() for name, (kind, _) in fields.items()}


class _Group:
    """Buffered records whose fields agree in kind: one file."""

    __slots__ = ("kinds", "rows")

    def __init__(self) -> None:
        self.kinds: Dict[Tuple[str, str], str] = {}
        self.rows: List[_Row] = []

    def takes(self, kinds: Dict[Tuple[str, str], str]) -> bool:
        return all(self.kinds.get(key, kind) == kind for key, kind in kinds.items())

    def add(self, row: _Row, kinds: Dict[Tuple[str, str], str]) -> None:
        self.kinds.update(kinds)
        self.rows.append(row)


_OPEN: "weakref.WeakSet[DecisionLog]" = weakref.WeakSet()


def _close_open_logs() -> None:
    """At interpreter exit, the records still buffered are written."""
    for log in list(_OPEN):
        try:
            log.close()
        except DecisionLogError as error:
            print(f"tamsel: decision log: {error}", file=sys.stderr)


atexit.register(_close_open_logs)


class DecisionLog:
    """Records every decision of one `tamsel.PyTamsel` (its policy hash taken once) in `folder`,
    as Parquet or JSON Lines files. Thread-safe; a context manager that closes it."""

    def __init__(
        self,
        folder: "str | os.PathLike[str]",
        engine: Any,
        format: str = "parquet",
        *,
        max_records: int = 100_000,
        max_bytes: int = 64 << 20,
        max_seconds: float = 5.0,
        prefix: str = "decisions",
    ):
        if format not in FORMATS:
            raise ValueError(f"format must be one of {', '.join(FORMATS)}, not {format!r}")
        if max_records < 1 or max_bytes < 1 or not max_seconds > 0:
            raise ValueError("max_records, max_bytes and max_seconds must be positive")
        if format == "parquet":
            import pyarrow  # type: ignore[import-untyped,import-not-found,unused-ignore]  # noqa: F401 - said now
        self.folder = os.fspath(folder)
        os.makedirs(self.folder, exist_ok=True)
        self.engine = engine
        self.policy_hash: str = engine.policy_hash()
        self.format = format
        self.max_records, self.max_bytes, self.max_seconds = max_records, max_bytes, max_seconds
        self.prefix = prefix
        self._lock = threading.Lock()
        self._groups: List[_Group] = []
        self._count = 0
        self._bytes = 0
        self._first_at = 0.0  # monotonic time of the buffer's first record
        self._sequence = 0
        self._failure: Optional[DecisionLogError] = None  # met by the background writer
        self._closed = False
        self._wake = threading.Event()
        self._writer = threading.Thread(
            target=_write_when_old, args=(weakref.ref(self),), daemon=True, name="decision-log"
        )
        _OPEN.add(self)
        self._writer.start()

    # ---- recording ----

    def evaluate(self, input: Any) -> Dict[str, Any]:
        """The engine's decision, recorded; for input it refuses, the error recorded and the
        `TypeError` raised, as `evaluate` raises it."""
        try:
            decision = self.engine.evaluate(input)
        except (TypeError, UnicodeEncodeError) as refused:
            self.record(input, error=str(refused))
            raise
        self.record(input, decision=decision)
        return decision  # type: ignore[no-any-return]

    def record(
        self, input: Any, decision: Optional[Mapping[str, Any]] = None, error: Optional[str] = None, id: Any = None
    ) -> None:
        """Records a decision a host made itself (`decision` as `evaluate` returns it), or the
        `error` text it met; `id` is any text the host gives the record."""
        if (decision is None) == (error is None):
            raise ValueError("give either decision or error")
        if decision is not None and decision.get("effect") not in EFFECTS:
            raise ValueError(f"a decision's effect is one of {', '.join(EFFECTS)}, not {decision.get('effect')!r}")
        row = self._row(input, decision, error, id)
        with self._lock:
            self._raise_failure()
            if self._closed:
                raise DecisionLogError(f"{self.folder}: the decision log is closed")
            kinds = row.kinds() if self.format == "parquet" else {}
            group = next((each for each in self._groups if each.takes(kinds)), None)
            if group is None and len(self._groups) == MAX_GROUPS:
                self._write()
            if group is None:
                group = _Group()
                self._groups.append(group)
            if not self._count:
                self._first_at = _monotonic()
            group.add(row, kinds)
            self._count += 1
            self._bytes += row.size
            if self._count >= self.max_records or self._bytes >= self.max_bytes:
                self._write()

    def _row(self, input: Any, decision: Optional[Mapping[str, Any]], error: Optional[str], id: Any) -> _Row:
        moment = datetime.datetime.now(UTC)
        record: Dict[str, Any] = {"time": rfc3339(moment), "policy_hash": self.policy_hash}
        if id is not None:
            record["id"] = id = str(id)
        record["input"] = json_input(input)
        kept: Optional[Tuple[str, Optional[str]]] = None
        if decision is not None:
            kept = (str(decision["effect"]), decision.get("matched_rule"))
            record["decision"] = {"effect": kept[0], "matched_rule": kept[1]}
        else:
            record["error"] = error = str(error)
        line = strict_json.dumps(record, ensure_ascii=False, separators=(",", ":"))
        return _Row(moment, id, domains(input), kept, error, line)

    # ---- writing ----

    def flush(self) -> None:
        """Writes the buffered records as one file now."""
        with self._lock:
            self._raise_failure()
            self._write()

    def close(self) -> None:
        """Writes what is buffered and stops; later records raise DecisionLogError."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
            self._wake.set()
            _OPEN.discard(self)
            self._raise_failure()
            self._write()

    def __enter__(self) -> DecisionLog:
        return self

    def __exit__(self, *exception: Any) -> None:
        self.close()

    def _raise_failure(self) -> None:
        failure, self._failure = self._failure, None
        if failure is not None:
            raise failure

    def _write_if_old(self) -> None:
        with self._lock:
            if self._count and _monotonic() - self._first_at >= self.max_seconds:
                try:
                    self._write()
                except DecisionLogError as error:
                    self._failure = error

    def _write(self) -> None:
        """The buffer as files, a group each (the lock held); DecisionLogError, the buffer
        dropped, when one cannot be written."""
        groups, self._groups, self._count, self._bytes = self._groups, [], 0, 0
        for index, group in enumerate(groups):
            try:
                self._write_file(group.rows)
            except DecisionLogError as error:
                lost = sum(len(each.rows) for each in groups[index + 1 :])
                if lost:
                    raise DecisionLogError(f"{error}, and {lost} records after them") from None
                raise

    def _write_file(self, rows: List[_Row]) -> None:
        self._sequence += 1
        # Named when written, under the lock: the files' sorted order is the order they were
        # written in, which a replay takes as the log's order.
        stamp = datetime.datetime.now(UTC).strftime("%Y%m%dT%H%M%S%fZ")
        name = f"{self.prefix}-{stamp}-{os.getpid()}-{self._sequence:06d}{_ENDINGS[self.format]}"
        final = os.path.join(self.folder, name)
        aside = os.path.join(self.folder, f".{name}.tmp")
        try:
            with open(aside, "xb") as file:
                if self.format == "parquet":
                    _write_parquet(rows, file, self.policy_hash)
                else:
                    file.write("".join(row.line + "\n" for row in rows).encode("utf-8"))
                file.flush()
                os.fsync(file.fileno())
            os.rename(aside, final)
            _sync_folder(self.folder)
        except Exception as error:  # noqa: BLE001 - OSError, or pyarrow's own for what it writes
            _remove(aside)
            reason = getattr(error, "strerror", None) or error
            raise DecisionLogError(f"{final}: cannot write {len(rows)} records: {reason}") from None


def _monotonic() -> float:
    import time

    return time.monotonic()


def _write_when_old(reference: "weakref.ref[DecisionLog]") -> None:
    """The background writer: a buffer is written once its first record is `max_seconds` old."""
    while True:
        log = reference()
        if log is None or log._closed:
            return
        wake, interval = log._wake, log.max_seconds / 4
        log._write_if_old()
        del log
        if wake.wait(interval):
            return


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


def _sync_folder(folder: str) -> None:
    descriptor = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


# ---- Parquet ----


def _arrow_type(kind: str) -> Any:
    import pyarrow  # type: ignore[import-untyped,import-not-found,unused-ignore]

    return {
        Kind.BOOLEAN: pyarrow.bool_(),
        Kind.NUMBER: pyarrow.float64(),
        Kind.TEXT: pyarrow.string(),
        Kind.REFUSED: pyarrow.struct([("refused", pyarrow.string())]),
    }[kind]


def record_schema(kinds: Mapping[Tuple[str, str], str]) -> Any:
    """The Parquet schema of records whose fields have these kinds, in order of first sight."""
    import pyarrow  # type: ignore[import-untyped,import-not-found,unused-ignore]

    domains_type = []
    for domain in DOMAINS:
        fields = [(name, _arrow_type(kind)) for (where, name), kind in kinds.items() if where == domain]
        if fields:  # Parquet holds no struct without fields: a domain never filled is left out
            domains_type.append((domain, pyarrow.struct(fields)))
    return pyarrow.schema(
        [
            ("time", pyarrow.timestamp("us", tz="UTC")),
            ("policy_hash", pyarrow.string()),
            ("id", pyarrow.string()),
            ("input", pyarrow.struct(domains_type)),
            ("decision", pyarrow.struct([("effect", pyarrow.string()), ("matched_rule", pyarrow.string())])),
            ("error", pyarrow.string()),
        ]
    )


def _write_parquet(rows: List[_Row], file: Any, policy_hash: str) -> None:
    import pyarrow  # type: ignore[import-untyped,import-not-found,unused-ignore]
    import pyarrow.parquet as parquet  # type: ignore[import-untyped,import-not-found,unused-ignore]

    kinds: Dict[Tuple[str, str], str] = {}
    for row in rows:
        for domain, fields in row.fields.items():
            for name, (kind, _) in fields.items():
                kinds.setdefault((domain, name), kind)
    schema = record_schema(kinds)
    present = [field.name for field in schema.field("input").type]
    table = pyarrow.table(
        {
            "time": pyarrow.array([row.time for row in rows], schema.field("time").type),
            "policy_hash": pyarrow.array([policy_hash] * len(rows), pyarrow.string()),
            "id": pyarrow.array([row.id for row in rows], pyarrow.string()),
            "input": pyarrow.array(
                [
                    {domain: _values(row.fields[domain]) if domain in row.fields else None for domain in present}
                    for row in rows
                ],
                schema.field("input").type,
            ),
            "decision": pyarrow.array(
                [
                    None if row.decision is None else {"effect": row.decision[0], "matched_rule": row.decision[1]}
                    for row in rows
                ],
                schema.field("decision").type,
            ),
            "error": pyarrow.array([row.error for row in rows], pyarrow.string()),
        },
        schema=schema,
    )
    parquet.write_table(table, file, compression="zstd")


def _values(fields: Dict[str, Tuple[str, Any]]) -> Dict[str, Any]:
    return {name: value for name, (_, value) in fields.items()}
