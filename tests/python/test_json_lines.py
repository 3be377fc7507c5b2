"""The engine's reader of JSON Lines blocks against Python's reading of each line: wherever it
reads a block, every record is what `json.loads` and the replay's own checks make of its line,
to the sign of a zero; wherever Python would read a line otherwise or refuse it, the block is
left to Python."""

import json
import math
import random
import struct

import pytest

from tamsel_tools import _inspect
from tamsel_tools.replaying.fragments import _NotARecord, _parse_line, record_input, recorded_outcome

pa = pytest.importorskip("pyarrow")

LIMIT = 1 << 20
NUMBERS = ["0", "-0", "-0.0", "0.0", "1", "-1", "1.5", "1e5", "1E+5", "1e-400", "1e400", "123456789012345678",
           "18446744073709553664", "9007199254740993", "0.1", "0.30000000000000004", "2.5e-3", "NaN", "-Infinity",
           "Infinity", "1.7976931348623157e308", "4.9e-324", "123.456e2", "-12.000", "01", "1.", ".5", "-", "+1",
           "-NaN", "99999999999999999999999", "1234567890123456", "0.000001", "1" * 400,
           '{"number":"NaN"}', '{ "number" : "-0.0" }', '{"number":"-Infinity"}', '{"number":"\\u004eaN"}', '{"number":"nan"}',
           '{"number":"NaN","x":1}', '{"\\u006eumber":"NaN"}']
TEXTS = ['"a"', '"\\u00e9"', '"\\ud83d\\ude00"', '"\\ud800"', '"\\u0000"', '"tab\\t"', '"\xc3\xa9"', '"bad\x01"', '""',
         '"\\/"', '"\\x"', '"\xe9\u20ac\U0001f600"', '"\\"quoted\\""']
OTHERS = ["true", "false", "null", "[1,2]", "{}", '{"a":1}']
KEYS = ['"amount"', '"type"', '"role"', '"a\\u006dount"', '"x"', '"number"', '"amount"']


def scalar(rng):
    pick = rng.random()
    return rng.choice(NUMBERS if pick < 0.45 else TEXTS if pick < 0.8 else OTHERS)


# Values of one kind for each key, as a block's lines must have to be read in columns.
PLAIN_TEXTS = [text for text in TEXTS if "\\ud800" not in text and "\x01" not in text and "\\x" not in text]
PLAIN = {'"amount"': [n for n in NUMBERS[:24] if n != "1e400"], '"type"': PLAIN_TEXTS, '"role"': PLAIN_TEXTS[::-1],
         '"x"': ["true", "false"]}


def domain(rng, plain=False):
    if plain:
        keys = rng.sample(sorted(PLAIN), rng.randint(0, 4))
        return "{" + ",".join(f"{key}:{rng.choice(PLAIN[key])}" for key in keys) + "}"
    if rng.random() < 0.05:
        return rng.choice(["null", "5", "[]"])
    return "{" + ",".join(f"{rng.choice(KEYS)}:{scalar(rng)}" for _ in range(rng.randint(0, 4))) + "}"


def record_line(rng, plain=False):
    """A line of a decision log, mostly well formed, with every way of being otherwise (fewer
    when `plain`: then its fields are of one kind each)."""
    parts = []
    if rng.random() < 0.8:
        inner = [f'"{name}":{domain(rng, plain)}' for name in ("action", "actor", "snapshot") if rng.random() < 0.6]
        if rng.random() < 0.1:
            inner.append('"other":[1,{"x":null}]')
        parts.append('"input":{' + ",".join(inner) + "}")
    else:
        parts.extend(f'"{name}":{domain(rng, plain)}' for name in ("action", "actor", "snapshot") if rng.random() < 0.5)
    pick = rng.random()
    if pick < 0.6:
        effect, rule = rng.choice(["allow", "block", "deny"]), rng.choice(["null", '"r1"', "5"])
        parts.append(f'"decision":{{"effect":"{effect}","matched_rule":{rule}}}')
    elif pick < 0.8:
        parts.append('"error":' + rng.choice(['"boom"', "null", "5"]))
    elif pick < 0.9:
        parts.append('"decision":null')
    hashes = ['"h"', "null"] if plain else ['"h"', "null", "5"]
    for key, values in (("time", ['"2026-01-01T00:00:00Z"', "null", "5"]), ("policy_hash", hashes)):
        if rng.random() < 0.5:
            parts.append(f'"{key}":{rng.choice(values)}')
    if rng.random() < 0.1:
        parts.append('"id":{"deep":[[[[1]]]]}')
    if plain:
        rng.shuffle(parts)
        return ("{" + ",".join(parts) + "}").encode()
    if parts and rng.random() < 0.05:
        parts.append(parts[0])  # a key twice
    rng.shuffle(parts)
    text = "{" + ",".join(parts) + "}"
    if rng.random() < 0.05:
        text = "  " + text + " \r"
    if rng.random() < 0.04:
        quote = rng.choice([i for i, c in enumerate(text) if c == '"'] or [0])
        cut = text[: rng.randint(1, len(text))]
        text = rng.choice(["", "   ", "\x0c", "[]", "{}", text + "x", cut, text[:quote] + text[quote + 1 :]])
    return text.encode("utf-8", "surrogatepass")


def python_reading(line):
    """What the replay makes of a line read by Python: None for a blank line, else the record's
    input (numbers as `evaluate` converts them), time, policy hash and recorded outcome (None
    where none can be compared); _NotARecord where the line or its input is refused."""
    record = _parse_line(line, LIMIT)
    if record is None:
        return None
    domains = {}
    for name, fields in record_input(record).items():
        if name not in ("action", "actor", "snapshot"):
            continue
        if not isinstance(fields, dict) or not all(isinstance(v, (bool, int, float, str)) for v in fields.values()):
            raise _NotARecord("refused by evaluate")
        try:
            domains[name] = {key: float(v) if type(v) is int else v for key, v in fields.items()}
            for value in fields.values():
                if isinstance(value, str):
                    value.encode()
        except (OverflowError, UnicodeEncodeError):
            raise _NotARecord("refused by evaluate") from None
    try:
        recorded = recorded_outcome(record)
    except _NotARecord:
        recorded = None
    time, policy_hash = record.get("time"), record.get("policy_hash", "P")
    if policy_hash is not None and not isinstance(policy_hash, str):
        raise _NotARecord("its policy_hash is not a text")
    return {"input": domains, "time": time if isinstance(time, str) else None, "policy_hash": policy_hash,
            "recorded": recorded, "odd_time": time is not None and not isinstance(time, str)}


def native_reading(row):
    domains = {name: {key: value for key, value in fields.items() if value is not None}
               for name, fields in (row["input"] or {}).items() if fields is not None}
    decision, error = row["decision"], row["error"]
    recorded = ("error", None, error) if error is not None else None
    if recorded is None and decision is not None:
        recorded = (decision["effect"], decision["matched_rule"], None)
    return {"input": domains, "time": row["time"], "policy_hash": row["policy_hash"], "recorded": recorded}


def without_odd_time(reading):
    return {key: value for key, value in reading.items() if key != "odd_time"}


def same(a, b):
    """Equal to the bits of every double (NaN to NaN)."""
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(same(a[key], b[key]) for key in a)
    if isinstance(a, tuple) and isinstance(b, tuple):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, float) and isinstance(b, float):
        return (math.isnan(a) and math.isnan(b)) or struct.pack("<d", a) == struct.pack("<d", b)
    return type(a) is type(b) and a == b


@pytest.mark.parametrize("seed, lines_a_block", [(1, 1), (2, 1), (3, 4), (4, 12)])
def test_every_block_read_holds_what_python_reads_of_its_lines(seed, lines_a_block):
    rng = random.Random(seed)
    blocks_read = records = 0
    for _ in range(6000 // lines_a_block):
        lines = [record_line(rng, plain=lines_a_block > 1 and rng.random() > 0.05) for _ in range(lines_a_block)]
        read = _inspect.read_json_lines(b"\n".join(lines), LIMIT, LIMIT // 32, "P")
        if read is None:
            continue
        blocks_read += 1
        rows = pa.RecordBatch._import_from_c_capsule(read[0], read[1]).to_pylist()
        wanted = [(number, python_reading(line)) for number, line in enumerate(lines, 1)]  # raises where refused
        wanted = [(number, each) for number, each in wanted if each is not None]
        assert [row["position"] for row in rows] == [number for number, _ in wanted]
        starts = [sum(len(line) + 1 for line in lines[: number - 1]) for number, _ in wanted]
        assert [row["offset"] for row in rows] == starts
        for row, (_, each) in zip(rows, wanted):
            found = native_reading(row)
            assert same(found, without_odd_time(each)), (lines, found, each)
        records += len(rows)
        assert read[2:] == (len(lines), sum(each["odd_time"] for _, each in wanted),
                            sum(each["recorded"] is None for _, each in wanted))
    assert blocks_read > 100 / lines_a_block and records > 100  # the reader did read


@pytest.mark.parametrize("seed", [5, 6])
def test_every_line_python_reads_plainly_is_read(seed):
    """The reader leaves to Python only what Python reads otherwise: a line of plain values,
    however written, is read."""
    rng = random.Random(seed)
    for _ in range(500):
        fields = {f"f{index}": rng.choice([True, False, rng.randint(-10**15, 10**15), rng.random() * 1e6,
                                           "".join(rng.choice("aé€😀\"\\/\n\t") for _ in range(5))])
                  for index in range(4)}
        line = json.dumps({"time": "t", "input": {"actor": fields}, "error": "e"}, ensure_ascii=rng.random() < 0.5)
        read = _inspect.read_json_lines(line.encode(), LIMIT, LIMIT // 32, None)
        assert read is not None, line
        (row,) = pa.RecordBatch._import_from_c_capsule(read[0], read[1]).to_pylist()
        assert same(native_reading(row), without_odd_time(python_reading(line.encode())) | {"policy_hash": None})
