"""Evaluation in columns: every record's outcome must be that of `PyTamsel.evaluate` on the
record as pyarrow's to_pylist() gives it, null fields left out; checked on generated batches of
every Arrow layout and on the data of pyarrow, polars and DuckDB."""

import datetime
import decimal
import math
import random
import sys
import threading

import pytest

pa = pytest.importorskip("pyarrow")
hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import tamsel  # noqa: E402
from conftest import POLICY, SCHEMA  # noqa: E402
from policies import build, random_specs, schema_yaml  # noqa: E402
from tamsel_tools import _inspect  # noqa: E402
from tamsel_tools.model.policy import Policy  # noqa: E402

# ---------------------------------------------------------------- the row engine's answers


def as_input(row):
    """The record of a to_pylist() row, null fields left out, as evaluate receives it."""
    if "input" in row:
        row = row["input"]
        if row is None:
            return {}
    if not isinstance(row, dict):
        return row
    return {
        key: {f: v for f, v in value.items() if v is not None} if isinstance(value, dict) else value
        for key, value in row.items()
        if value is not None
    }


def outcome(engine, record):
    try:
        result = engine.evaluate(record)
    except TypeError as error:
        return {"effect": None, "matched_rule": None, "error": str(error)}
    return {"effect": result["effect"], "matched_rule": result["matched_rule"], "error": None}


def expected(engine, table):
    return [outcome(engine, as_input(row)) for row in table.to_pylist()]


def decided(policy, data):
    return policy.evaluate_batch(data).to_pylist()


@pytest.fixture(scope="module")
def example():
    return Policy(SCHEMA, POLICY)


# ---------------------------------------------------------------- generated batches

ACTION_FIELDS = ["type", "amount", "limit", "note", "flag", "code", "to", "reason", "urgent", "extra"]
ACTOR_FIELDS = ["level", "cap", "role", "frozen", "extra"]
SNAPSHOT_FIELDS = ["floor", "mode", "region", "extra"]
FIELDS = {"action": ACTION_FIELDS, "actor": ACTOR_FIELDS, "snapshot": SNAPSHOT_FIELDS}

BIG = 2**53
INTEGERS = {
    "int8": (pa.int8(), [0, 1, -3, 100, -128, 127]),
    "uint8": (pa.uint8(), [0, 1, 255]),
    "int16": (pa.int16(), [0, -3, 1000, -32768]),
    "uint16": (pa.uint16(), [0, 1000, 65535]),
    "int32": (pa.int32(), [0, 1, 1000, -(2**31)]),
    "uint32": (pa.uint32(), [0, 1000, 2**32 - 1]),
    "int64": (pa.int64(), [0, -3, 1000, BIG + 1, BIG + 3, -(BIG + 1), 2**63 - 1, -(2**63)]),
    "uint64": (pa.uint64(), [0, 1000, BIG + 1, BIG + 3, 2**64 - 1, 2**63 + 1025]),
}
FLOATS = [0.0, -0.0, 1.0, 2.5, -3.0, 1000.0, math.nan, math.inf, -math.inf, 5e-324, 1e300]
TEXTS = ["a", "b", "EUR", "pay", "send", "close", "", "é", "a text longer than twelve bytes"]
DECIMALS = [decimal.Decimal(v) for v in ("0", "-0.0001", "1000.0000", "2.5", "12345678901234.5678", "-7")]
SMALL_DECIMALS = [decimal.Decimal(v) for v in ("0", "2.5", "-7", "1000.25", "-0.01")]
HUGE = [decimal.Decimal(v) for v in ("9" * 76, "-" + "1" * 60, "0", "1000", str(BIG + 1))]
STRING_TYPES = [pa.string(), pa.large_string(), pa.string_view()]
INDEX_TYPES = [pa.int8(), pa.uint16(), pa.int32(), pa.int64()]
REFUSED = [
    (pa.binary(), [b"x", b""]),
    (pa.large_binary(), [b"y"]),
    (pa.binary(2), [b"zz"]),
    (pa.timestamp("us"), [datetime.datetime(2024, 1, 2, 3, 4, 5)]),
    (pa.date32(), [datetime.date(2024, 1, 2)]),
    (pa.time32("s"), [datetime.time(1, 2, 3)]),
    (pa.duration("s"), [datetime.timedelta(seconds=3)]),
    (pa.list_(pa.int64()), [[1, 2], []]),
    (pa.struct([("x", pa.int64())]), [{"x": 1}]),
    (pa.map_(pa.string(), pa.int64()), [[("k", 1)]]),
]


def maybe_null(rng, values, share=0.15):
    return [None if rng.random() < share else v for v in values]


def number_column(rng, n):
    roll = rng.random()
    if roll < 0.35:
        arrow_type, pool = INTEGERS[rng.choice(list(INTEGERS))]
        return pa.array(maybe_null(rng, [rng.choice(pool) for _ in range(n)]), arrow_type)
    if roll < 0.6:
        arrow_type = rng.choice([pa.float64(), pa.float32(), pa.float16()])
        pool = [v for v in FLOATS if arrow_type == pa.float64() or abs(v) < 6e4 and v != 5e-324]
        return pa.array(maybe_null(rng, [rng.choice(pool) for _ in range(n)]), arrow_type)
    if roll < 0.75:
        arrow_type, pool = rng.choice(
            [(pa.decimal128(18, 4), DECIMALS), (pa.decimal256(76, 0), HUGE), (pa.decimal32(9, 2), SMALL_DECIMALS)]
        )
        return pa.array(maybe_null(rng, [rng.choice(pool) for _ in range(n)]), arrow_type)
    if roll < 0.85 and n:  # runs of repeated values
        ends = sorted(set(rng.sample(range(1, n), min(n - 1, 4))) | {n})
        values = pa.array(maybe_null(rng, [rng.choice(FLOATS) for _ in ends]), pa.float64())
        return pa.RunEndEncodedArray.from_arrays(pa.array(ends, pa.int32()), values)
    indices = pa.array(maybe_null(rng, [rng.randrange(3) for _ in range(n)]), rng.choice(INDEX_TYPES))
    return pa.DictionaryArray.from_arrays(indices, pa.array([1000, -3, None], pa.int64()))


def text_column(rng, n):
    values = maybe_null(rng, [rng.choice(TEXTS) for _ in range(n)])
    arrow_type = rng.choice(STRING_TYPES)
    if rng.random() < 0.4:
        return pa.array(values, arrow_type).dictionary_encode().cast(
            pa.dictionary(rng.choice(INDEX_TYPES), arrow_type)
        )
    return pa.array(values, arrow_type)


def union_column(rng, n):
    numbers = pa.array([rng.choice(FLOATS) for _ in range(n)])
    texts = pa.array([rng.choice(TEXTS) for _ in range(n)])
    flags = pa.array([rng.random() < 0.5 for _ in range(n)])
    codes = pa.array([rng.randrange(3) for _ in range(n)], pa.int8())
    if rng.random() < 0.5:
        return pa.UnionArray.from_sparse(codes, [numbers, texts, flags])
    return pa.UnionArray.from_dense(codes, pa.array(range(n), pa.int32()), [numbers, texts, flags])


def field_column(rng, n):
    """A field's column: mostly numbers, texts or booleans, now and then a refused type."""
    roll = rng.random()
    if roll < 0.35:
        return number_column(rng, n)
    if roll < 0.65:
        return text_column(rng, n)
    if roll < 0.88:
        return pa.array(maybe_null(rng, [rng.random() < 0.5 for _ in range(n)]), pa.bool_())
    if roll < 0.93:
        return union_column(rng, n)
    if roll < 0.96:
        return pa.nulls(n)
    arrow_type, pool = rng.choice(REFUSED)
    return pa.array(maybe_null(rng, [rng.choice(pool) for _ in range(n)], share=0.6), arrow_type)


def domain_column(rng, domain, n):
    """A domain: mostly a struct of fields (some records null), now and then another type."""
    roll = rng.random()
    if roll < 0.06:
        return pa.array(maybe_null(rng, [rng.randrange(5) for _ in range(n)], 0.5), pa.int64())
    if roll < 0.1:
        return pa.array(maybe_null(rng, [rng.choice(TEXTS) for _ in range(n)], 0.5), pa.string())
    names = [f for f in FIELDS[domain] if rng.random() < 0.7]
    if domain == "action" and "type" in names and rng.random() < 0.8:
        types = maybe_null(rng, [rng.choice(["pay", "send", "close", "other"]) for _ in range(n)])
        columns = [pa.array(types, rng.choice(STRING_TYPES))]
        names.remove("type")
        names.insert(0, "type")
        columns += [field_column(rng, n) for _ in names[1:]]
    else:
        columns = [field_column(rng, n) for _ in names]
    mask = pa.array([rng.random() < 0.1 for _ in range(n)], pa.bool_())
    return pa.StructArray.from_arrays(columns, names=names, mask=mask) if names else pa.nulls(n, pa.struct([]))


def generated_table(rng, n):
    columns, names = [], []
    for domain in ("action", "actor", "snapshot"):
        if rng.random() < 0.85:
            columns.append(domain_column(rng, domain, n))
            names.append(domain)
    if rng.random() < 0.3:  # as decision records hold them: under "input"
        mask = pa.array([rng.random() < 0.1 for _ in range(n)], pa.bool_())
        inner = pa.StructArray.from_arrays(columns, names=names, mask=mask) if names else pa.nulls(n, pa.struct([]))
        if rng.random() < 0.1:
            inner = pa.array(maybe_null(rng, [rng.randrange(5) for _ in range(n)], 0.5), pa.int64())
        columns, names = [pa.array(range(n)), inner], ["time", "input"]
    table = pa.Table.from_arrays(columns, names=names) if names else pa.table({"id": pa.array(range(n))})
    # Sliced and cut into batches, so that every array has an offset.
    start = rng.randrange(n // 4 + 1)
    table = table.slice(start, n - start - rng.randrange(n // 4 + 1))
    cuts = sorted(rng.sample(range(table.num_rows + 1), min(3, table.num_rows + 1)))
    parts = [table.slice(a, b - a) for a, b in zip([0] + cuts, cuts + [table.num_rows])]
    return pa.concat_tables(parts)


@settings(max_examples=60, deadline=None, database=None)
@given(st.integers(0, 2**32 - 1))
def test_generated_batches_decide_as_evaluate(seed):
    rng = random.Random(seed)
    _, policy_yaml = build(random_specs(rng, rng.randrange(1, 12)))
    policy = Policy(schema_yaml(), policy_yaml)
    table = generated_table(rng, rng.randrange(0, 60))
    assert decided(policy, table) == expected(policy.engine, table)


# ---------------------------------------------------------------- the shape of the answer


def test_the_answer_is_a_table_of_three_columns_in_record_order(example):
    table = pa.table(
        {
            "action": [
                {"type": "refund", "amount": 5000, "currency": "EUR"},
                {"type": "refund", "amount": 40, "currency": "USD"},
                {"type": "refund", "amount": 40, "currency": "EUR"},
                None,
            ],
            "actor": [None, None, {"frozen": [True]}, None],
        }
    )
    answer = example.evaluate_batch(table)
    assert answer.schema == pa.schema(
        [("effect", pa.dictionary(pa.int8(), pa.string())), ("matched_rule", pa.string()), ("error", pa.string())]
    )
    assert answer.to_pylist() == [
        {"effect": "block", "matched_rule": "block_large_refunds", "error": None},
        {"effect": "block", "matched_rule": "foreign_currency_or_frozen", "error": None},
        {"effect": None, "matched_rule": None, "error": "Unsupported value type"},
        {"effect": "allow", "matched_rule": None, "error": None},
    ]
    assert answer.to_pylist() == expected(example.engine, table)


def test_empty_data_gives_an_empty_table(example):
    schema = pa.schema([("action", pa.struct([("type", pa.string())]))])
    for data in (schema.empty_table(), pa.RecordBatchReader.from_batches(schema, [])):
        answer = example.evaluate_batch(data)
        assert answer.num_rows == 0 and answer.column_names == ["effect", "matched_rule", "error"]


def test_record_batches_arrays_and_readers_are_taken(example):
    table = pa.table({"action": [{"type": "refund", "amount": 5000.0}] * 3})
    batch = table.to_batches()[0]
    struct_array = pa.StructArray.from_arrays([table.column("action").chunk(0)], names=["action"])
    reader = pa.RecordBatchReader.from_batches(table.schema, [batch, batch])
    for data, rows in ((batch, 3), (struct_array, 3), (reader, 6)):
        assert [d["matched_rule"] for d in decided(example, data)] == ["block_large_refunds"] * rows
    decisions = example._compiled.evaluate_arrow(table)
    assert len(decisions) == 3
    assert pa.table(decisions).equals(pa.table(decisions))  # exported as often as asked


def test_data_that_cannot_be_read_is_refused(example):
    cases = [
        (5, TypeError, "argument 'data': 'int' object cannot be converted to 'Arrow data'"),
        (pa.array([1, 2]), ValueError, "Arrow records must be a struct array (a record batch or a table), not the type 'l'"),
        (pa.table([pa.array([{"a": 1}]), pa.array([{"a": 2}])], names=["actor", "actor"]), ValueError,
         "the column 'actor' appears twice"),
        (pa.table({"actor": pa.StructArray.from_arrays([pa.array([1]), pa.array([2])], names=["a", "a"])}), ValueError,
         "column 'actor': the field 'a' appears twice, which no dict can hold"),
        (pa.table({"actor": pa.StructArray.from_arrays([pa.array([1], pa.bool8())], names=["ok"])}), ValueError,
         "column 'actor.ok': the extension type 'arrow.bool8' is not supported"),
        (pa.table({"snapshot": pa.array([1000], pa.timestamp("ns"))}), ValueError,
         "column 'snapshot': the Python type of its values depends on pandas and on each value"),
    ]  # fmt: skip
    for data, kind, message in cases:
        with pytest.raises(kind) as raised:
            example.evaluate_batch(data)
        assert str(raised.value) == message


def test_a_failing_stream_is_refused(example):
    schema = pa.schema([("action", pa.struct([("type", pa.string())]))])

    def batches():
        yield pa.record_batch([pa.array([{"type": "refund"}], schema.field(0).type)], schema=schema)
        raise OSError("disk gone")

    with pytest.raises(ValueError, match=r"^the Arrow stream failed: .*disk gone"):
        example.evaluate_batch(pa.RecordBatchReader.from_batches(schema, batches()))


def test_without_pyarrow_the_error_says_what_to_install(example, monkeypatch):
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    with pytest.raises(ImportError, match=r"^Policy.evaluate_batch needs pyarrow: pip install 'tamsel\[replay\]'$"):
        example.evaluate_batch(object())


def test_decision_columns_are_made_only_by_evaluate_arrow():
    with pytest.raises(TypeError, match="made by Compiled.evaluate_arrow"):
        _inspect.DecisionColumns()


# ---------------------------------------------------------------- other producers


def polars_frame():
    pl = pytest.importorskip("polars")
    return pl.DataFrame(
        {
            "action": [{"type": "refund", "amount": 5000, "currency": "EUR"},
                       {"type": "refund", "amount": 40, "currency": "an unknown long currency name"},
                       {"type": "close_account", "amount": None, "currency": None}],
            "actor": [{"trust_level": 1.5, "frozen": False}, None, {"trust_level": 1.0, "frozen": None}],
            "snapshot": [{"min_trust_level": 2}, {"min_trust_level": 2}, {"min_trust_level": 2}],
        }
    )  # fmt: skip


def test_polars_frames_are_taken(example):
    import polars as pl

    frame = polars_frame()
    frame = frame.with_columns(pl.col("action").struct.with_fields(pl.field("currency").cast(pl.Categorical)))
    table = pa.table(frame)
    assert decided(example, frame) == expected(example.engine, table)
    assert [d["matched_rule"] for d in decided(example, frame)] == [
        "block_large_refunds", "foreign_currency_or_frozen", "below_required_trust"]  # fmt: skip


def test_duckdb_relations_are_taken(example):
    duckdb = pytest.importorskip("duckdb")
    relation = duckdb.sql(
        """select {'type': 'refund', 'amount': a::double, 'currency': c} as action,
                  {'trust_level': t} as actor, {'min_trust_level': 2} as snapshot
           from (values (5000, 'EUR', 5), (40, 'USD', 5), (40, 'EUR', 1), (40, 'EUR', null)) v(a, c, t)"""
    )
    table = relation.to_arrow_table()
    answer = decided(example, relation)
    assert answer == expected(example.engine, table)
    assert [d["matched_rule"] for d in answer] == [
        "block_large_refunds", "foreign_currency_or_frozen", "below_required_trust", None]  # fmt: skip


# ---------------------------------------------------------------- threads


def big_table(rows):
    amounts = pa.array([float(i % 2000) for i in range(rows)])
    action = pa.StructArray.from_arrays(
        [pa.array(["refund"] * rows), amounts, pa.array(["EUR", "USD"] * (rows // 2))], names=["type", "amount", "currency"]
    )
    return pa.table({"action": action})


def test_threads_evaluate_batches_side_by_side(example):
    table = big_table(20_000)
    alone = example.evaluate_batch(table)
    answers = [None] * 4

    def work(i):
        answers[i] = example.evaluate_batch(table.slice(i * 10, 19_000))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for i, answer in enumerate(answers):
        assert answer.equals(alone.slice(i * 10, 19_000))


def test_the_interpreter_lock_is_released_while_a_batch_is_evaluated(example):
    """With a switch interval of many minutes, a waiting thread runs only when the lock is
    given up of the running thread's own accord: here, inside evaluate_arrow."""
    class Exported:  # the capsule made beforehand: no producer code runs in the call
        def __init__(self, capsule):
            self.capsule = capsule

        def __arrow_c_stream__(self, requested_schema=None):
            return self.capsule

    data = Exported(big_table(400_000).__arrow_c_stream__())
    gate, ran = threading.Event(), threading.Event()
    waiter = threading.Thread(target=lambda: (gate.wait(), ran.set()))
    interval = sys.getswitchinterval()
    waiter.start()
    sys.setswitchinterval(600)
    try:
        gate.set()
        example._compiled.evaluate_arrow(data)
        during = ran.is_set()
    finally:
        sys.setswitchinterval(interval)
        waiter.join()
    assert during


def test_pytamsel_keeps_its_own_surface():
    assert not hasattr(tamsel.PyTamsel, "evaluate_arrow") and not hasattr(tamsel.PyTamsel, "evaluate_batch")


def test_rules_found_through_their_texts_decide_as_evaluate():
    """Runs of rules that each require one text: the texts met in a batch are remembered, and
    past the memo's room (more distinct texts than it holds) looked up as before."""
    rules = [("pay", "all", [("action.note", "equals", f"t{i}"), ("action.amount", "greater_than", float(i))], "block")
             for i in range(12)]  # fmt: skip
    policy = Policy(schema_yaml(), build(rules)[1])
    rng = random.Random(5)
    notes = [f"t{rng.randrange(14)}" if i % 3 else f"distinct note {i}" for i in range(15_000)]
    action = pa.StructArray.from_arrays(
        [pa.array(["pay"] * len(notes)), pa.array(notes), pa.array([float(rng.randrange(16)) for _ in notes])],
        names=["type", "note", "amount"],
    )
    table = pa.table({"action": action})
    answer = decided(policy, table)
    assert answer == expected(policy.engine, table)
    assert len({a["matched_rule"] for a in answer}) == 13  # every rule decides somewhere, and none


def test_texts_of_every_length_lead_to_their_rules_as_evaluate():
    """The memo holds texts of up to 8 bytes as a word and views longer ones: texts of every
    length, texts that differ only inside, several rules for one text, the text test second in
    its rule, and a second test of the same field that must still be made; among enough other
    texts of the same sizes to fill the memo. What the run leaves undecided goes on to the rule
    after it and then to the global one."""
    texts = ["", "a", "ab", "abc", "abcd", "abcdefg", "abcdefgh", "x" * 16, "y" * 39, "z" * 40, "w" * 41,
             "é" * 30, "p" * 20 + "1" + "p" * 30, "p" * 20 + "2" + "p" * 30, "q" * 9 + "1" + "q" * 30]  # fmt: skip
    rules = [("pay", "all", [("action.note", "equals", "abc"), ("action.note", "equals", "abd")], "allow")]
    for text in texts:
        rules += [("pay", "all", [("action.amount", "greater_than", 5.0), ("action.note", "equals", text)], "block"),
                  ("pay", "atomic", [("action.note", "equals", text)], "require_approval")]  # fmt: skip
    rules += [("pay", "atomic", [("action.amount", "greater_than", 8.0)], "block"),  # after the run
              ("global", "atomic", [("actor.level", "less_than", 1.0)], "require_approval")]  # fmt: skip
    policy = Policy(schema_yaml(), build(rules)[1])
    others = ["abd", "abce", "x" * 15, "z" * 39 + "y", "w" * 40 + "x", "p" * 20 + "3" + "p" * 30, None]
    rng = random.Random(9)
    fillers = [f"{i:0{size}d}" for size in (3, 4, 8, 40, 51) for i in range(1600)]  # the sizes of abc, abcd, ...
    rng.shuffle(fillers)
    notes = [rng.choice(texts + others) if i % 3 == 0 else fillers[i // 3 * 2 + i % 3 - 1] for i in range(12_000)]
    action = pa.StructArray.from_arrays(
        [pa.array(["pay"] * len(notes)), pa.array(notes), pa.array([float(rng.randrange(10)) for _ in notes])],
        names=["type", "note", "amount"],
    )
    actor = pa.StructArray.from_arrays([pa.array([float(rng.randrange(4)) for _ in notes])], names=["level"])
    table = pa.table({"action": action, "actor": actor})
    answer = decided(policy, table)
    assert answer == expected(policy.engine, table)
    assert {a["matched_rule"] for a in answer} == {f"r{i}" for i in range(1, len(rules))} | {None}
