"""Replaying one fragment of a log: read it in batches, evaluate, compare, count.

`replay_fragment(fragment, job)` is what a task of any engine runs (a thread here, a Dask task,
a Ray or Spark task); it reads only its fragment, holds one batch at a time and returns a
`PartialSummary`. The policies are built once per process from their texts.
"""

from __future__ import annotations

import datetime
import functools
import io
import json
import struct
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, BinaryIO, Counter, Dict, Iterator, List, Optional, Tuple, Type, Union

from tamsel_tools.base import strict_json
from tamsel_tools.base.text import printable
from tamsel_tools.io.reading import BYTES_PER_VALUE, too_large, too_wide
from tamsel_tools.model.policy import Policy
from tamsel_tools.replaying.evaluators import Evaluator, Outcome, outcome, policy_evaluator, without_nulls
from tamsel_tools.replaying.json_blocks import read_block
from tamsel_tools.replaying.logs import (
    GZIP_MAGIC,
    JSONL,
    PARQUET,
    ZSTD_MAGIC,
    Fragment,
    LogUnreadable,
    open_log,
    partition_value,
    reopened_path,
)
from tamsel_tools.replaying.record import DOMAINS, EFFECTS, ERROR, parse_time
from tamsel_tools.replaying.summary import BadRecord, Example, Ordinal, PartialSummary

if TYPE_CHECKING:
    import pyarrow  # type: ignore[import-untyped,import-not-found,unused-ignore]

BATCH_ROWS = 1 << 16
_CHUNK = 1 << 20
# The bytes of whole lines that a JSON Lines file is read in: the engine reads a block at once.
BLOCK_BYTES = 4 << 20


@dataclass(frozen=True)
class PolicyTexts:
    """A policy's three documents, as texts: what a task needs to build it where it runs."""

    schema: str
    policy: str
    governance: Optional[str] = None


@dataclass(frozen=True)
class Job:
    """What every fragment of one replay is replayed with."""

    policy: PolicyTexts  # the policy replayed
    against: Optional[PolicyTexts] = None  # compared with this one instead of the recorded decisions
    since: Optional[datetime.datetime] = None  # records at this time or later
    until: Optional[datetime.datetime] = None  # records before this time
    examples: int = 5  # of each transition
    skip_bad: bool = False  # count bad records and go on, instead of stopping at the first
    max_bytes: int = 32 << 20  # the cap of one record: a JSON line, a row's texts
    batch_rows: int = BATCH_ROWS


@functools.lru_cache(maxsize=4)
def built(texts: PolicyTexts) -> Policy:
    """The policy of the texts, built once in each process that replays with it."""
    return Policy(texts.schema, texts.policy, texts.governance)


class _Stop(Exception):
    """A bad record met without --skip-bad: the fragment ends there."""


def replay_fragment(fragment: Fragment, job: Job) -> PartialSummary:
    """The partial summary of one fragment of a log."""
    partial = PartialSummary(bytes_read=fragment.size)
    try:
        if fragment.format == JSONL:
            _JsonLines(fragment, job, partial).replay()
        else:
            _Parquet(fragment, job, partial).replay()
    except _Stop:
        pass
    except LogUnreadable as error:
        partial.add_bad(BadRecord((fragment.log, fragment.file, 0), error.where, error.message))
    return partial


def replay_batch(
    batch: pyarrow.RecordBatch, job: Job, path: str = "", first_row: int = 0, log: int = 0, file: int = 0
) -> PartialSummary:
    """The partial summary of one Arrow batch of decision records (the columns of a Parquet
    decision log), for an engine that reads the log itself (a Ray Data or Spark task). `path`,
    `first_row`, `log` and `file` say where the batch stands in log order, for its examples."""
    partial = PartialSummary()
    fragment = Fragment(log, file, path, PARQUET, first_row=first_row)
    try:
        _Parquet(fragment, job, partial)._batch(batch, 0, first_row)
    except _Stop:
        pass
    return partial


def _bad(partial: PartialSummary, job: Job, bad: BadRecord) -> None:
    partial.add_bad(bad)
    if not job.skip_bad:
        raise _Stop


# ---- what a record is, in Python values ----


class _NotARecord(Exception):
    def __init__(self, message: str, column: Optional[int] = None):
        super().__init__(message)
        self.message = message
        self.column = column


NO_OUTCOME = "no decision nor error recorded (--against compares two policies on logs without them)"


def recorded_outcome(record: Dict[str, Any]) -> Outcome:
    """The outcome a record holds: its error, or its decision."""
    error = record.get("error")
    if error is not None:
        if not isinstance(error, str):
            raise _NotARecord("its error is not a text")
        return ERROR, None, error
    decision = record.get("decision")
    if not isinstance(decision, dict):
        raise _NotARecord(NO_OUTCOME)
    effect, rule = decision.get("effect"), decision.get("matched_rule")
    if effect not in EFFECTS:
        raise _NotARecord(f"its decision's effect is none of {', '.join(EFFECTS)}")
    if rule is not None and not isinstance(rule, str):
        raise _NotARecord("its decision's matched_rule is neither a text nor null")
    return effect, rule, None


def record_input(record: Any) -> Dict[str, Any]:
    if not isinstance(record, dict):
        raise _NotARecord("not a record: not an object")
    if "input" in record:
        if not isinstance(record["input"], dict):
            raise _NotARecord("not a record: its input is not an object")
        return record["input"]
    if not any(domain in record for domain in DOMAINS):
        raise _NotARecord("not a record: no input nor any domain")
    return {domain: record[domain] for domain in DOMAINS if domain in record}


def _in_window(job: Job, moment: datetime.datetime) -> bool:
    return (job.since is None or moment >= job.since) and (job.until is None or moment < job.until)


def _value_key(value: Any) -> str:
    """A field value as counted: numbers by their double, as `evaluate` compares them."""
    if isinstance(value, int) and not isinstance(value, bool):
        try:
            value = float(value)
        except OverflowError:
            pass
    return strict_json.dumps(value)


def _action_type(input: Dict[str, Any]) -> Optional[str]:
    action = input.get("action")
    kind = action.get("type") if isinstance(action, dict) else None
    return kind if isinstance(kind, str) else None


def count_changed(partial: PartialSummary, input: Dict[str, Any]) -> None:
    """A changed record's action type and actor values, counted."""
    partial.action_types[_action_type(input)] += 1
    actor = input.get("actor")
    if isinstance(actor, dict):
        for name, value in actor.items():
            if value is not None:
                partial.actor_values[(str(name), _value_key(value))] += 1


# ---- JSON Lines ----


def _decompressed(file: BinaryIO, path: str) -> BinaryIO:
    head = file.read(4)
    file.seek(0)
    if head.startswith(GZIP_MAGIC):
        try:
            import gzip  # needs zlib, which not every build of Python has
        except ImportError:
            raise LogUnreadable(path, "gzip-compressed, which this Python cannot read (it has no zlib)") from None
        return gzip.GzipFile(fileobj=file, mode="rb")  # type: ignore[return-value]
    if head == ZSTD_MAGIC:
        try:
            import zstandard  # type: ignore[import-untyped,import-not-found,unused-ignore]
        except ImportError:
            raise LogUnreadable(path, "zstd-compressed, which needs the zstandard package (tamsel[replay])") from None
        reader = zstandard.ZstdDecompressor().stream_reader(file, read_across_frames=True)
        return io.BufferedReader(reader, _CHUNK)
    return file


def _plain_read_errors() -> Tuple[Type[BaseException], ...]:
    try:
        import zlib  # a corrupt gzip log; not every build of Python has it
    except ImportError:
        return (OSError, EOFError)
    return (OSError, EOFError, zlib.error)


_READ_ERRORS = _plain_read_errors()


_TO_THE_END = 1 << 62


class _Bounded:
    """A file read no further than its next `left` bytes."""

    def __init__(self, file: BinaryIO, left: int):
        self.file, self.left = file, left

    def read(self, size: int) -> bytes:
        data = self.file.read(min(size, self.left))
        self.left -= len(data)
        return data

    def give_back(self, size: int) -> None:
        """The last `size` bytes read, to be read again."""
        self.file.seek(-size, io.SEEK_CUR)
        self.left += size

    def readline(self, size: int) -> bytes:
        data = self.file.readline(min(size, self.left))
        self.left -= len(data)
        return data


def _read_full(stream: BinaryIO, size: int) -> bytes:
    """`size` bytes, fewer only at the end of the stream."""
    data = stream.read(size)
    while data and len(data) < size:
        more = stream.read(size - len(data))
        if not more:
            break
        data += more
    return data


def _split(block: bytes) -> List[bytes]:
    """The lines of a block of whole lines, without their newlines."""
    lines = block.split(b"\n")
    return lines[:-1] if block.endswith(b"\n") else lines


def _read_errors() -> Tuple[Type[BaseException], ...]:
    try:
        import zstandard  # type: ignore[import-untyped,import-not-found,unused-ignore]
    except ImportError:
        return _READ_ERRORS
    return (*_READ_ERRORS, zstandard.ZstdError)


def _parse_line(line: bytes, limit: int) -> Optional[Any]:
    """The value of one line, None for a blank one; _NotARecord for one that is no JSON."""
    # An ASCII line is held at one byte a character: only others may grow past the cap.
    wide = None if line.isascii() else too_wide(line, limit)
    if wide is not None:
        raise _NotARecord(f"a line {wide}")
    try:
        text = line.decode("utf-8")
    except UnicodeDecodeError:
        raise _NotARecord("invalid UTF-8") from None
    text = text.rstrip("\r\n")
    if not text.strip():
        return None
    values = max(1, limit // BYTES_PER_VALUE)
    # A text holds fewer separators than characters: only a long one needs them counted.
    if len(text) > values and strict_json.separators(text) > values:
        raise _NotARecord(f"more than {values} values (mappings, lists and scalars), the limit of one record")
    try:
        value = json.loads(text)
    except ValueError as error:
        column = getattr(error, "colno", None)
        message = getattr(error, "msg", None) or str(error)
        raise _NotARecord(f"invalid JSON: {printable(message)}", column) from None
    except RecursionError:
        raise _NotARecord("invalid JSON: nested too deeply") from None
    # The special numbers' objects ({"number": "NaN"}), read back as floats where there are any.
    return strict_json.decode(value) if '"number"' in text else value


# ---- Parquet ----


def _arrow() -> Any:
    import pyarrow  # type: ignore[import-untyped,import-not-found,unused-ignore]
    import pyarrow.compute  # type: ignore[import-untyped,import-not-found,unused-ignore]

    return pyarrow, pyarrow.compute


class _Columns:
    """What a fragment read in columns shares: the outcomes of a batch compared and counted."""

    def __init__(self, fragment: Fragment, job: Job, partial: PartialSummary):
        self.fragment, self.job, self.partial = fragment, job, partial
        self.new: Evaluator = policy_evaluator(built(job.policy))
        self.old: Optional[Evaluator] = None if job.against is None else policy_evaluator(built(job.against))
        self.hash_of_path = partition_value(fragment, "policy_hash")
        self.counting: Any = None  # 1, 2, 3...: a batch's positions less the rows before it

    def _recorded(self, batch: pyarrow.RecordBatch) -> Tuple[Any, Any, Any]:
        """The recorded outcome's three columns: its kind (`_kinds`), rule, error text."""
        pa, pc = _arrow()
        rows = batch.num_rows
        nulls = pa.nulls(rows, pa.string())
        names = batch.schema.names
        error = _plain(batch.column("error")) if "error" in names else nulls
        if "decision" in names and batch.column("decision").type.num_fields:
            decision = batch.column("decision")
            fields = {field.name for field in decision.type}
            flat = dict(zip((field.name for field in decision.type), decision.flatten()))
            effect = flat["effect"] if "effect" in fields else nulls
            rule = _plain(flat["matched_rule"]) if "matched_rule" in fields else nulls
        else:
            effect, rule = nulls, nulls
        failed = pc.is_valid(error)
        return _kinds(effect, failed), pc.if_else(failed, nulls, rule), error

    def _outcomes(self, evaluator: Evaluator, inputs: Any) -> Tuple[Any, Any, Any]:
        pa, pc = _arrow()
        table = evaluator(pa.RecordBatch.from_arrays([inputs], ["input"]))
        effect, rule, error = (table.column(name).combine_chunks() for name in ("effect", "matched_rule", "error"))
        rule, error = _plain(rule), _plain(error)
        return _kinds(effect, pc.is_valid(error)), rule, error

    def _hashes(self, batch: pyarrow.RecordBatch) -> Any:
        pa, pc = _arrow()
        if "policy_hash" in batch.schema.names:
            hashes = batch.column("policy_hash")
            kind = hashes.type
            plain = not (pa.types.is_dictionary(kind) and pa.types.is_string(kind.value_type))
            return pc.cast(hashes, pa.string()) if plain else hashes
        return pa.repeat(pa.scalar(self.hash_of_path, pa.string()), batch.num_rows)

    def _compare(
        self, batch: pyarrow.RecordBatch, inputs: Any, positions: Any, recorded: Optional[Tuple[Any, ...]] = None
    ) -> None:
        """Counts the batch's records; `recorded` is `_recorded(batch)` where it is already made."""
        pa, pc = _arrow()
        if recorded is None:
            recorded = self._recorded(batch) if self.old is None else self._outcomes(self.old, inputs)
        before = recorded
        after = self._outcomes(self.new, inputs)
        partial = self.partial
        partial.records += len(inputs)
        hashes = self._hashes(batch)
        for value, count in _counts(hashes):
            partial.policy_hashes[value] += count
        if partial.first_hash is None:
            partial.first_hash = ((self.fragment.log, self.fragment.file, positions[0].as_py()), hashes[0].as_py())
        for transition, count in _kind_pairs(before[0], after[0]):
            partial.transitions[transition] += count
        partial.errors += pc.sum(pc.equal(after[0], _ERROR_KIND)).as_py() or 0
        changed = functools.reduce(pc.or_, [_differ(a, b) for a, b in zip(before, after)])
        chosen = pc.indices_nonzero(changed)
        if len(chosen) == 0:
            return
        partial.changed += len(chosen)
        for pair, count in _pair_counts(before[1].take(chosen), after[1].take(chosen)):
            partial.rule_changes[pair] += count
        self._affected(inputs, chosen)
        self._examples(inputs, positions, before[0].take(chosen), after[0].take(chosen), chosen)

    def _affected(self, inputs: Any, chosen: Any) -> None:
        """The action types and actor values of the changed records (at `chosen`), counted in
        columns: only those two are taken of each record."""
        pa, _ = _arrow()
        partial = self.partial
        domains = dict(zip((field.name for field in inputs.type), inputs.flatten()))
        action = domains.get("action")
        kind = None
        if action is not None:
            kind = dict(zip((field.name for field in action.type), action.flatten())).get("type")
        if kind is not None:
            kind = kind.take(chosen)
        if kind is not None and pa.types.is_dictionary(kind.type):
            kind = kind.cast(kind.type.value_type)
        if kind is None or not (pa.types.is_string(kind.type) or pa.types.is_large_string(kind.type)):
            partial.action_types[None] += len(chosen)  # a type that is no text names no action
        else:
            partial.action_types.update(dict(_counts(kind)))
        actor = domains.get("actor")
        if actor is None:
            return
        actor = actor.take(chosen)
        for field, values in zip(actor.type, actor.flatten()):
            for key, count in _value_counts(values):
                partial.actor_values[(field.name, key)] += count

    def _examples(self, inputs: Any, positions: Any, before: Any, after: Any, chosen: Any) -> None:
        _, pc = _arrow()
        partial, wanted = self.partial, self.job.examples
        for transition, _count in _kind_pairs(before, after):
            missing = wanted - len(partial.examples.get(transition, ()))
            if missing <= 0:
                continue
            # The first of the transition's rows, in row order.
            old, new = (OUTCOMES.index(kind) for kind in transition)
            among = pc.indices_nonzero(pc.and_(pc.equal(before, old), pc.equal(after, new)))[:missing]
            indices = chosen.take(among)
            places = positions.take(indices).to_pylist()
            found = [
                Example((self.fragment.log, self.fragment.file, place), transition, input, self.fragment.path, place)
                for input, place in zip(self._example_inputs(inputs, indices, places), places)
            ]
            partial.examples.setdefault(transition, []).extend(found)

    def _example_inputs(self, inputs: Any, indices: Any, places: List[int]) -> List[Dict[str, Any]]:
        """The inputs of the rows at `indices`, as `evaluate` takes them."""
        return [without_nulls(row) for row in inputs.take(indices).to_pylist()]


class _Parquet(_Columns):
    def replay(self) -> None:
        import pyarrow.parquet as parquet  # type: ignore[import-untyped,import-not-found,unused-ignore]

        with open_log(self.fragment.path) as opened:
            try:
                file = parquet.ParquetFile(reopened_path(opened))
                texts = _text_leaves(file.schema_arrow)
                if texts:
                    file = parquet.ParquetFile(reopened_path(opened), read_dictionary=texts)
            except Exception as error:  # noqa: BLE001 - pyarrow raises several kinds for a bad file
                raise LogUnreadable(self.fragment.path, f"not a readable Parquet file: {error}") from None
            names = file.schema_arrow.names
            if "input" not in names and not any(domain in names for domain in DOMAINS):
                where = self.fragment.path
                raise LogUnreadable(where, "not a decision log: it has no input column nor any domain")
            columns = [
                name for name in ("time", "policy_hash", "input", "decision", "error", *DOMAINS) if name in names
            ]
            row = self.fragment.first_row
            for group in self.fragment.row_groups:
                rows = file.metadata.row_group(group).num_rows
                self._group(file, group, columns, row, rows)
                row += rows

    def _group(self, file: Any, group: int, columns: List[str], first: int, rows: int) -> None:
        done = 0
        try:
            # Each fragment is decoded by the thread that replays it: handing its columns to
            # Arrow's pool to decode while the thread waits made two threads 1.2 times slower.
            batches = file.iter_batches(self.job.batch_rows, row_groups=[group], columns=columns, use_threads=False)
            for batch in batches:
                self._batch(batch, group, first + done)
                done += batch.num_rows
        except _Stop:
            raise
        except Exception as error:  # noqa: BLE001 - a corrupt page may raise any of pyarrow's errors
            where = f"{self.fragment.path}: row group {group}"
            message = f"cannot read: {printable(str(error))}"
            ordinal = (self.fragment.log, self.fragment.file, first + done + 1)
            _bad(self.partial, self.job, BadRecord(ordinal, where, message, max(1, rows - done)))

    def _positions(self, before: int, rows: int) -> Any:
        """before + 1 to before + rows, counted once for the fragment."""
        _, pc = _arrow()
        if self.counting is None or len(self.counting) < rows:
            self.counting = _positions(0, max(rows, self.job.batch_rows))
        return pc.add(self.counting.slice(0, rows), before)

    def _batch(self, batch: pyarrow.RecordBatch, group: int, first: int) -> None:
        pa, pc = _arrow()
        rows = batch.num_rows
        positions = self._positions(first, rows)
        names = batch.schema.names
        if "input" in names:
            inputs = batch.column("input")
            present = pc.is_valid(inputs)
        else:
            domains = [batch.column(domain) for domain in DOMAINS if domain in names]
            kept = [domain for domain in DOMAINS if domain in names]
            inputs = pa.StructArray.from_arrays(domains, kept)
            present = functools.reduce(pc.or_, [pc.is_valid(each) for each in domains])
        too_many, too_large_ = self._past_cap(batch)
        limit = self.job.max_bytes
        reasons = [
            (too_large_, f"a row {too_large(limit)}"),
            (too_many, f"more than {_values_cap(limit)} values (mappings, lists and scalars), the limit of one record"),
            (pc.invert(present), "not a record: no input nor any domain"),
        ]
        self._refuse_each(reasons, positions, group)
        keep = pc.and_(present, pc.invert(pc.or_(too_many, too_large_)))
        recorded = None
        if self.old is None:
            recorded = self._recorded(batch)
            keep = pc.and_(keep, self._recorded_valid(recorded, positions, group, present))
        if self.job.since is not None or self.job.until is not None:
            keep = pc.and_(keep, self._window(batch, positions, group, keep))
        if not pc.all(keep).as_py():
            inputs, positions, batch = inputs.filter(keep), positions.filter(keep), batch.filter(keep)
            recorded = None if recorded is None else tuple(column.filter(keep) for column in recorded)
        if len(inputs) == 0:
            return
        self._compare(batch, inputs, positions, recorded)

    def _past_cap(self, batch: pyarrow.RecordBatch) -> Tuple[Any, Any]:
        """The rows past the cap of one record, as two masks: more values than a line may hold,
        texts of more bytes. Rows are only looked at when the whole batch could hold one."""
        pa, pc = _arrow()
        limit = self.job.max_bytes
        none = pa.repeat(False, batch.num_rows)
        too_large_ = pc.greater(_row_sizes(batch.columns, _text_bytes), limit) if batch.nbytes > limit else none
        too_many = none
        if _most_values(batch.schema.types) > _values_cap(limit):
            too_many = pc.greater(_row_sizes(batch.columns, _values), _values_cap(limit))
        return too_many, too_large_

    def _refuse_each(self, reasons: List[Tuple[Any, str]], positions: Any, group: int) -> None:
        """Each row of the masks reported as a bad record, in row order, with the message of
        the first mask that holds it; the first ends the fragment without --skip-bad."""
        _, pc = _arrow()
        bad = functools.reduce(pc.or_, [mask for mask, _ in reasons])
        if not pc.any(bad).as_py():
            return
        rows = pc.indices_nonzero(bad)
        held = [mask.take(rows).to_pylist() for mask, _ in reasons]
        where = f"{self.fragment.path}: row group {group}"
        for index, position in enumerate(positions.take(rows).to_pylist()):
            message = next(message for (_, message), found in zip(reasons, held) if found[index])
            _bad(
                self.partial,
                self.job,
                BadRecord((self.fragment.log, self.fragment.file, position), where, f"row {position}: {message}"),
            )

    def _refuse(self, bad: Any, positions: Any, group: int, message: str) -> None:
        """Each row of the mask `bad` reported as a bad record; the first ends the fragment
        without --skip-bad."""
        pa, pc = _arrow()
        if not pc.any(bad).as_py():
            return
        where = f"{self.fragment.path}: row group {group}"
        for position in positions.filter(bad).to_pylist():
            ordinal = (self.fragment.log, self.fragment.file, position)
            _bad(self.partial, self.job, BadRecord(ordinal, where, f"row {position}: {message}"))

    def _recorded_valid(self, recorded: Tuple[Any, ...], positions: Any, group: int, present: Any) -> Any:
        pa, pc = _arrow()
        before = recorded[0]
        known = pc.greater_equal(before, 0)
        missing = pc.and_(present, pc.is_null(before))
        self._refuse(missing, positions, group, NO_OUTCOME)
        unknown = pc.and_(pc.and_(present, pc.is_valid(before)), pc.invert(pc.fill_null(known, False)))
        self._refuse(unknown, positions, group, f"its decision's effect is none of {', '.join(EFFECTS)}")
        return pc.fill_null(known, False)

    def _window(self, batch: pyarrow.RecordBatch, positions: Any, group: int, keep: Any) -> Any:
        pa, pc = _arrow()
        if "time" not in batch.schema.names:
            inside = pa.repeat(False, batch.num_rows)
        elif pa.types.is_timestamp(batch.column("time").type):
            inside = self._window_of_timestamps(batch.column("time"))
        else:
            inside = pa.array(
                [
                    self._inside(value, position, group)
                    for value, position in zip(batch.column("time").to_pylist(), positions.to_pylist())
                ],
                pa.bool_(),
            )
        self.partial.outside_window += pc.sum(pc.and_(keep, pc.invert(inside))).as_py() or 0
        return inside

    def _window_of_timestamps(self, times: Any) -> Any:
        """In columns: a timestamp without a zone is taken as UTC, a null is outside."""
        pa, pc = _arrow()
        times = pc.cast(times, pa.timestamp("us", "UTC"))
        inside = pc.is_valid(times)
        if self.job.since is not None:
            inside = pc.and_(inside, pc.greater_equal(times, pa.scalar(self.job.since, pa.timestamp("us", "UTC"))))
        if self.job.until is not None:
            inside = pc.and_(inside, pc.less(times, pa.scalar(self.job.until, pa.timestamp("us", "UTC"))))
        return pc.fill_null(inside, False)

    def _inside(self, value: Any, position: int, group: int) -> bool:
        if value is None:
            return False
        try:
            return _in_window(self.job, parse_time(value))
        except ValueError as error:
            ordinal = (self.fragment.log, self.fragment.file, position)
            where = f"{self.fragment.path}: row group {group}"
            _bad(self.partial, self.job, BadRecord(ordinal, where, f"row {position}: time: {error}"))
            return False


def _text_leaves(schema: Any) -> List[str]:
    """The paths of the text columns, in structs or not: read as Parquet keeps them (a
    dictionary of the few values most take, such as a policy hash or an action type), their
    texts are neither copied out for each row nor hashed again to be counted."""
    pa, _ = _arrow()
    found: List[str] = []

    def visit(path: str, kind: Any) -> None:
        if pa.types.is_struct(kind):
            for field in kind:
                visit(f"{path}.{field.name}", field.type)
        elif pa.types.is_string(kind):
            found.append(path)

    for field in schema:
        visit(field.name, field.type)
    return found


class _JsonLines(_Columns):
    """A JSON Lines file, read in blocks of whole lines: in columns where the engine's reader
    reads a block as `json.loads` reads its lines, else line by line, so a bad line is located as
    it always is. Each block read in columns is compared as one batch."""

    def __init__(self, fragment: Fragment, job: Job, partial: PartialSummary):
        super().__init__(fragment, job, partial)
        self.engine = built(job.policy).engine
        self.old_engine = None if job.against is None else built(job.against).engine
        # The text of the block being compared, and where its rows' lines start in it.
        self.text: bytes = b""
        self.offsets: Any = None

    def _where(self, line: int, column: Optional[int] = None) -> str:
        where = f"{self.fragment.path}:{line}"
        return where if column is None else f"{where}:{column}"

    def _block_size(self) -> int:
        # No line of a block passes the cap in bytes: a block is at most the cap and its newline.
        return min(BLOCK_BYTES, self.job.max_bytes + 1)

    def _pieces(self, stream: Any) -> Iterator[Tuple[Union[bytes, _NotARecord], int]]:
        """(text, n): a block of whole lines, the first n bytes of the text; or (a line longer
        than a block or why it is bad, 0). A plain file gives back the start of a line that a
        read cut, to be read again: a block then needs no copy."""
        size, carry = self._block_size(), b""
        rereads = isinstance(stream, _Bounded)
        while True:
            data = carry + _read_full(stream, size - len(carry)) if carry else _read_full(stream, size)
            if not data:
                return
            cut = len(data) if len(data) < size else data.rfind(b"\n") + 1
            if not cut:
                carry = b""
                yield self._long_line(stream, data), 0
            elif rereads:
                stream.give_back(len(data) - cut)
                yield data, cut
            else:
                carry = data[cut:]
                yield data, cut

    def _long_line(self, stream: BinaryIO, start: bytes) -> Union[bytes, _NotARecord]:
        """The line that `start` (a block without a newline) begins, read on up to the cap."""
        limit = self.job.max_bytes
        line = start + (stream.readline(limit + 1 - len(start)) if len(start) <= limit else b"")
        if len(line) > limit and not (len(line) == limit + 1 and line.endswith(b"\n")):
            while not line.endswith(b"\n"):  # the rest of the line, passed over
                line = stream.readline(_CHUNK)
                if not line:
                    break
            return _NotARecord(f"a line {too_large(limit)}")
        return line

    def replay(self) -> None:
        errors = _read_errors()
        with open_log(self.fragment.path) as file:
            stream: Any = _decompressed(file, self.fragment.path)
            if self.fragment.end:  # a part of a plain file
                file.seek(self.fragment.start)
                stream = _Bounded(file, self.fragment.end - self.fragment.start)
            elif stream is file:  # a whole plain file, read to its end whatever its size was
                stream = _Bounded(file, _TO_THE_END)
            done = self.fragment.first_row  # the lines read
            try:
                for piece, size in self._pieces(stream):
                    if size:
                        assert isinstance(piece, bytes)
                        done += self._block(done, piece, size)
                    else:
                        done += 1
                        self._line(done, piece)
            except errors as error:
                message = f"cannot read: {getattr(error, 'strerror', None) or error}"
                _bad(self.partial, self.job, BadRecord(self._ordinal(done + 1), self._where(done + 1), message))

    def _block(self, before: int, text: bytes, size: int) -> int:
        """The block of the text's first `size` bytes, in columns where the engine reads it
        exactly, else line by line; its lines."""
        lines = self._in_columns(before, text, size)
        if lines is not None:
            return lines
        split = _split(text[:size])
        for offset, line in enumerate(split):
            self._line(before + offset + 1, line)
        return len(split)

    def _ordinal(self, line: int) -> Ordinal:
        return (self.fragment.log, self.fragment.file, line)

    def _line(self, number: int, line: Union[bytes, _NotARecord]) -> None:
        try:
            if isinstance(line, _NotARecord):
                raise line
            record = _parse_line(line, self.job.max_bytes)
            if record is None:
                return
            self._record(number, record)
        except _NotARecord as bad:
            _bad(self.partial, self.job, BadRecord(self._ordinal(number), self._where(number, bad.column), bad.message))

    def _record(self, number: int, record: Any) -> None:
        input = record_input(record)
        if self.job.since is not None or self.job.until is not None:
            if "time" not in record or record["time"] is None:
                self.partial.outside_window += 1
                return
            try:
                moment = parse_time(record["time"])
            except ValueError as error:
                raise _NotARecord(f"time: {error}") from None
            if not _in_window(self.job, moment):
                self.partial.outside_window += 1
                return
        policy_hash = record.get("policy_hash", self.hash_of_path)
        if policy_hash is not None and not isinstance(policy_hash, str):
            raise _NotARecord("its policy_hash is not a text")
        before = recorded_outcome(record) if self.old is None else outcome(self.old_engine, input)
        after = outcome(self.engine, input)
        self._count(number, input, before, after, policy_hash)

    def _count(self, number: int, input: Dict[str, Any], before: Outcome, after: Outcome, policy_hash: Any) -> None:
        partial = self.partial
        ordinal = self._ordinal(number)
        partial.records += 1
        partial.policy_hashes[policy_hash] += 1
        if partial.first_hash is None:
            partial.first_hash = (ordinal, policy_hash)
        transition = (before[0], after[0])
        partial.transitions[transition] += 1
        if after[0] == ERROR:
            partial.errors += 1
        if before == after:
            return
        partial.changed += 1
        partial.rule_changes[(before[1], after[1])] += 1
        count_changed(partial, input)
        kept = partial.examples.setdefault(transition, [])
        if len(kept) < self.job.examples:
            kept.append(Example(ordinal, transition, input, self.fragment.path, number))

    # ---- blocks in columns ----

    def _in_columns(self, before: int, text: bytes, size: int) -> Optional[int]:
        """The block read in columns and compared: its lines; or None, nothing counted, where its
        lines are to be read one by one."""
        read = read_block(text, size, self.job.max_bytes, self.hash_of_path)
        if read is None:
            return None
        batch, lines, odd_times, bad_outcomes = read
        windowed = self.job.since is not None or self.job.until is not None
        # Python reads the time only to select by it, and the outcome only to compare with it.
        if (odd_times and windowed) or (bad_outcomes and self.old is None):
            return None
        _, pc = _arrow()
        inputs, positions = batch.column("input"), pc.add(batch.column("position"), before)
        if windowed:
            keep = self._window_of_texts(batch)
            if keep is None:
                return None
            if not pc.all(keep).as_py():
                inputs, positions, batch = inputs.filter(keep), positions.filter(keep), batch.filter(keep)
        if len(inputs):
            self.text, self.offsets = text, batch.column("offset")
            self._compare(batch, inputs, positions)
        return lines

    def _window_of_texts(self, batch: pyarrow.RecordBatch) -> Any:
        """The rows inside --since and --until, None where a time does not read: its line is bad."""
        pa, pc = _arrow()
        inside = []
        for value in batch.column("time").to_pylist():
            try:
                inside.append(value is not None and _in_window(self.job, parse_time(value)))
            except ValueError:
                return None
        mask = pa.array(inside, pa.bool_())
        self.partial.outside_window += batch.num_rows - (pc.sum(mask).as_py() or 0)
        return mask

    def _example_inputs(self, inputs: Any, indices: Any, places: List[int]) -> List[Dict[str, Any]]:
        """The examples' inputs as their lines hold them (integers as integers, fields in order)."""
        found = []
        for start in self.offsets.take(indices).to_pylist():
            end = self.text.find(b"\n", start)
            line = self.text[start : end if end >= 0 else len(self.text)]
            found.append(record_input(_parse_line(line, self.job.max_bytes)))
        return found


def _values_cap(limit: int) -> int:
    return max(1, limit // BYTES_PER_VALUE)


def _text_bytes(array: Any) -> Any:
    """Each row's bytes of text in a column (nested ones too), or None for a column of none."""
    pa, pc = _arrow()
    kind = array.type
    if pa.types.is_dictionary(kind):
        return _text_bytes(array.cast(kind.value_type))
    if pa.types.is_struct(kind):
        return _row_sizes(array.flatten(), _text_bytes)
    if (
        pa.types.is_string(kind)
        or pa.types.is_large_string(kind)
        or pa.types.is_binary(kind)
        or pa.types.is_large_binary(kind)
    ):
        return pc.fill_null(pc.binary_length(array), 0).cast(pa.int64())
    if pa.types.is_string_view(kind) or pa.types.is_binary_view(kind):
        return _text_bytes(array.cast(pa.large_binary()))
    if pa.types.is_list(kind) or pa.types.is_large_list(kind):
        inner = _text_bytes(array.flatten())
        if inner is None:
            return None
        # A row's bytes: the running sum of its elements' at its end less at its start.
        running = pa.concat_arrays([pa.array([0], pa.int64()), pc.cumulative_sum(inner)])
        offsets = pc.subtract(array.offsets.cast(pa.int64()), array.offsets[0].cast(pa.int64()))
        return pc.subtract(running.take(offsets[1:]), running.take(offsets[:-1]))
    return None


def _values(array: Any) -> Any:
    """Each row's values in a column: its fields, and a list's elements, that are not null."""
    pa, pc = _arrow()
    kind = array.type
    if pa.types.is_struct(kind):
        return _row_sizes(array.flatten(), _values)
    if pa.types.is_list(kind) or pa.types.is_large_list(kind):
        return pc.fill_null(pc.list_value_length(array), 0).cast(pa.int64())
    return pc.is_valid(array).cast(pa.int64())


def _row_sizes(columns: List[Any], size: Any) -> Any:
    """The sum, row by row, of `size` of each column (0 for a batch of no such column)."""
    pa, pc = _arrow()
    sizes = [found for found in (size(column) for column in columns) if found is not None]
    if not sizes:
        return pa.array([0] * (len(columns[0]) if columns else 0), pa.int64())
    return functools.reduce(pc.add, sizes)


def _most_values(types: List[Any]) -> float:
    """The most values a row of these types can hold (without bound when a list is among them)."""
    pa, _ = _arrow()
    most = 0.0
    for kind in types:
        if pa.types.is_struct(kind):
            most += _most_values([field.type for field in kind])
        elif pa.types.is_list(kind) or pa.types.is_large_list(kind):
            return float("inf")
        else:
            most += 1
    return most


def _positions(before: int, rows: int) -> Any:
    """before + 1 to before + rows, made in Arrow: a Python range holds the interpreter lock
    for every number, which threads then wait on."""
    pa, pc = _arrow()
    return pc.add(pc.cumulative_sum(pa.repeat(pa.scalar(1, pa.int64()), rows)), before)


def _differ(a: Any, b: Any) -> Any:
    """Row by row, whether two columns differ, a null differing from every text but null."""
    _, pc = _arrow()
    return pc.coalesce(pc.not_equal(a, b), pc.xor(pc.is_null(a), pc.is_null(b)))


def _value_counts(values: Any) -> List[Tuple[str, int]]:
    """The values of a column but nulls, each as counted (`_value_key`), with its count. Floats
    are grouped by their bits, so -0.0 and 0.0 stay apart as `evaluate`'s inputs keep them."""
    pa, _ = _arrow()
    kind = values.type
    if pa.types.is_dictionary(kind):
        values = values.cast(kind.value_type)
        kind = values.type
    if pa.types.is_floating(kind):
        bits = _counts(values.cast(pa.float64()).view(pa.int64()))
        found = [(struct.unpack("<d", struct.pack("<q", each))[0], count) for each, count in bits if each is not None]
    elif any(
        test(kind) for test in (pa.types.is_string, pa.types.is_large_string, pa.types.is_boolean, pa.types.is_integer)
    ):
        found = [(each, count) for each, count in _counts(values) if each is not None]
    else:  # nested values (refused ones), as rare as they are
        found = [(each, 1) for each in values.to_pylist() if each is not None]
    counted: Counter[str] = Counter()
    for value, count in found:
        counted[_value_key(value)] += count
    return list(counted.items())


def _counts(column: Any) -> List[Tuple[Any, int]]:
    counted = column.value_counts()
    return list(zip(counted.field("values").to_pylist(), counted.field("counts").to_pylist()))


def _pair_counts(a: Any, b: Any) -> List[Tuple[Tuple[Any, Any], int]]:
    """The pairs of values of two text columns, row by row, each with its count (a null is a
    value): one number a pair, counted by `value_counts`. A table's group_by would load Arrow's
    query engine, whose import alone costs a replay more than a small log's reading."""
    (left, left_values), (right, right_values) = _codes(a), _codes(b)
    return _counted_pairs(left, left_values, right, right_values)


def _counted_pairs(left: Any, left_values: Any, right: Any, right_values: Any) -> List[Tuple[Tuple[Any, Any], int]]:
    """The pairs of two columns of numbers standing for values, by those values, with their counts."""
    pa, pc = _arrow()
    width = len(right_values)
    counted = pc.add(pc.multiply(left.cast(pa.int64()), width), right.cast(pa.int64())).value_counts()
    return [
        ((left_values[key // width], right_values[key % width]), count)
        for key, count in zip(counted.field("values").to_pylist(), counted.field("counts").to_pylist())
    ]


def _codes(column: Any) -> Tuple[Any, List[Any]]:
    """Each row's value as a number, and the values the numbers stand for (null the last)."""
    pa, pc = _arrow()
    encoded = column.dictionary_encode()
    values = [*encoded.dictionary.to_pylist(), None]
    return pc.fill_null(encoded.indices.cast(pa.int64()), len(values) - 1), values


# An outcome's kind as a small number: its index here (an effect, or the error); -1 for an
# effect recorded that is none of them. Kinds are compared and counted as these numbers.
OUTCOMES = (*EFFECTS, ERROR)
_ERROR_KIND = OUTCOMES.index(ERROR)


def _kinds(effect: Any, failed: Any) -> Any:
    """Each row's kind: the error's where `failed`, else its effect's (null where none)."""
    pa, pc = _arrow()
    if pa.types.is_null(effect.type):
        effect = effect.cast(pa.string())
    encoded = effect if pa.types.is_dictionary(effect.type) else effect.dictionary_encode()
    # A null among a dictionary's values is no effect at all, as a null effect is.
    numbers = [
        None if value is None else OUTCOMES.index(value) if value in EFFECTS else -1
        for value in encoded.dictionary.to_pylist()
    ]
    kinds = pa.array(numbers, pa.int8()).take(encoded.indices)
    return pc.if_else(failed, pa.scalar(_ERROR_KIND, pa.int8()), kinds)


def _kind_pairs(before: Any, after: Any) -> List[Tuple[Tuple[str, str], int]]:
    """The (before, after) pairs of kinds, by their names, each with its count."""
    return _counted_pairs(before, OUTCOMES, after, OUTCOMES)


def _plain(column: Any) -> Any:
    """A text column as plain strings, whatever its layout (a dictionary, a column of nulls)."""
    pa, pc = _arrow()
    return column if pa.types.is_string(column.type) else pc.cast(column, pa.string())
