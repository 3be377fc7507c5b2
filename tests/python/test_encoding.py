import math
import os
import random
import signal
import struct
import threading
import time

import pytest

import tamsel

z3 = pytest.importorskip("z3")

from policies import build, schema_yaml  # noqa: E402
from tamsel_tools.analysis import semantics  # noqa: E402
from tamsel_tools.analysis import solver as _solver  # noqa: E402
from tamsel_tools.analysis.encoding import BOOLEAN, MISSING, NUMBER, TEXT, PolicyEncoding  # noqa: E402
from tamsel_tools.cli.progress import Progress  # noqa: E402

SCHEMA = schema_yaml()
NAN, INF = math.nan, math.inf
TINY = 5e-324  # the smallest subnormal
SMALLEST_NORMAL = 2.2250738585072014e-308
LARGEST = 1.7976931348623157e308
TRIALS = int(os.environ.get("TAMSEL_ANALYSIS_TRIALS", "120"))


def doubles(rng):
    """The doubles where comparisons go wrong: signed zeros, infinities, NaN, subnormals, the extremes,
    and each of them (and some plain values) nudged to a neighbour."""
    edges = [0.0, -0.0, INF, -INF, NAN, TINY, -TINY, SMALLEST_NORMAL, -SMALLEST_NORMAL, LARGEST, -LARGEST,
             1.0, -1.0, 2.5, 1000.0, rng.uniform(-1e6, 1e6)]  # fmt: skip
    value = rng.choice(edges)
    if not math.isnan(value) and rng.random() < 0.4:
        value = math.nextafter(value, rng.choice([INF, -INF]))
    return value


def test_order_keys_order_as_the_doubles_do():
    rng = random.Random(3)
    values = [doubles(rng) for _ in range(3000)]
    for a, b in zip(values, values[1:]):
        if math.isnan(a) or math.isnan(b):
            continue
        key_a, key_b = semantics.order_key(a), semantics.order_key(b)
        assert (key_a < key_b, key_a == key_b) == (a < b, a == b), (a, b)
        back = semantics.from_key(key_a)
        assert back == a and struct.pack("<d", back) == struct.pack("<d", a + 0.0)  # -0.0 reads back as 0.0
    assert (semantics.order_key(INF), semantics.order_key(-INF)) == (semantics.KEY_INFINITY, -semantics.KEY_INFINITY)


def random_value(rng, kind):
    roll = rng.random()
    if roll < 0.1:
        return None  # missing
    if roll < 0.25:
        kind = rng.choice(["number", "string", "boolean"])
    if kind == "number":
        return doubles(rng)
    if kind == "boolean":
        return rng.random() < 0.5
    return rng.choice(["a", "b", "", "other"])


FIELDS = [("actor.level", "number"), ("actor.cap", "number"), ("snapshot.floor", "number"),
          ("actor.role", "string"), ("snapshot.region", "string"), ("actor.frozen", "boolean"),
          ("snapshot.mode", "boolean")]  # fmt: skip


def random_comparison(rng):
    left, kind = rng.choice(FIELDS)
    operators = ["equals", "not_equals"] + (["greater_than", "less_than"] if kind == "number" else [])
    operator = rng.choice(operators)
    partners = [name for name, other in FIELDS if other == kind]
    if rng.random() < 0.35:
        return (left, operator, (rng.choice(partners),))
    if kind == "number":
        return (left, operator, doubles(rng))
    if kind == "boolean":
        return (left, operator, rng.random() < 0.5)
    return (left, operator, rng.choice(["a", "b", ""]))


def holds_in_encoding(encoding, solver, data):
    """Whether the encoding's formula of the condition (in the solver) is true for the input."""
    solver.push()
    for domain, field in encoding.fields:
        value = data.get(domain, {}).get(field)
        k, t, n, q, b = encoding.names((domain, field))
        kind = z3.Int(k)
        if value is None:
            solver.add(kind == MISSING)
        elif isinstance(value, bool):
            solver.add(kind == BOOLEAN, z3.Bool(b) == value)
        elif isinstance(value, str):
            solver.add(kind == TEXT, z3.Int(t) == encoding.texts.id(value))
        elif math.isnan(value):
            solver.add(kind == NUMBER, z3.Bool(q))
        else:
            solver.add(kind == NUMBER, z3.Not(z3.Bool(q)), z3.Int(n) == semantics.order_key(value))
    result = solver.check() == z3.sat
    solver.pop()
    return result


@pytest.mark.parametrize("seed", range(3))
def test_the_encoding_and_the_python_semantics_agree_with_the_engine(seed):
    rng = random.Random(seed)
    for _ in range(TRIALS // 3):
        condition = rng.choice(["atomic", "all", "any"])
        comparisons = [random_comparison(rng) for _ in range(1 if condition == "atomic" else rng.choice([2, 3]))]
        rules, text = build([("global", condition, comparisons, "block")])
        engine = tamsel.PyTamsel(SCHEMA, text)
        encoding = PolicyEncoding(rules)
        solver = z3.Solver()
        solver.from_string(encoding.declarations() + f"(assert {encoding.domain()})(assert {encoding.condition_text(rules[0])})")
        for _ in range(12):
            data = {"action": {}, "actor": {}, "snapshot": {}}
            for name, kind in FIELDS:
                value = random_value(rng, kind)
                if value is not None:
                    domain, field = name.split(".")
                    data[domain][field] = value
            engine_says = engine.evaluate(data)["matched_rule"] == "r0"
            assert semantics.condition_holds(rules[0], data) == engine_says, (comparisons, data)
            assert holds_in_encoding(encoding, solver, data) == engine_says, (comparisons, data)


IMPLIES_CASES = [
    # (condition, comparisons) of a rule, of another; whether the first implies the second
    (("atomic", [("actor.level", "greater_than", 5.0)]), ("atomic", [("actor.level", "greater_than", 1.0)]), True),
    (("atomic", [("actor.level", "greater_than", 1.0)]), ("atomic", [("actor.level", "greater_than", 5.0)]), False),
    (("atomic", [("actor.level", "equals", 0.0)]), ("atomic", [("actor.level", "equals", -0.0)]), True),
    (("atomic", [("actor.level", "greater_than", 1.0)]), ("atomic", [("actor.level", "not_equals", 0.0)]), True),
    # NaN differs from 0.0 too, and only not_equals admits it.
    (("atomic", [("actor.level", "not_equals", 0.0)]), ("any", [("actor.level", "greater_than", 0.0),
                                                              ("actor.level", "less_than", 0.0)]), False),
    (("atomic", [("actor.level", "equals", NAN)]), ("atomic", [("actor.role", "equals", "a")]), True),
    (("atomic", [("actor.level", "less_than", -INF)]), ("atomic", [("actor.role", "equals", "a")]), True),
    (("all", [("actor.role", "equals", "a"), ("actor.level", "equals", 2.0)]),
     ("any", [("actor.role", "not_equals", "b"), ("snapshot.mode", "equals", True)]), True),
    (("any", [("actor.role", "equals", "a"), ("actor.level", "equals", 2.0)]),
     ("atomic", [("actor.role", "equals", "a")]), False),
    (("atomic", [("actor.level", "less_than", ("actor.cap",))]),
     ("atomic", [("actor.level", "less_than", ("actor.cap",))]), True),
]  # fmt: skip


@pytest.mark.parametrize("first, second, expected", IMPLIES_CASES)
def test_implication_between_conditions(first, second, expected):
    rules, _ = build([("global", first[0], first[1], "block"), ("global", second[0], second[1], "block")])
    assert semantics.implies(rules[0], rules[1]) == expected


def hard_solver():
    """A factoring question that z3 takes far longer than a second over."""
    solver = z3.Solver()
    x, y, z_ = (z3.BitVec(name, 64) for name in "xyz")
    solver.add(x * y * z_ == 0x123456789ABCDEF1, x > 3, y > 3, z_ > 3, x * 7 + y == z_ * 5 + 11)
    return solver


def test_a_question_past_the_budget_is_unknown():
    budget = _solver.Budget(0.3)
    start = time.monotonic()
    assert _solver.check(hard_solver(), budget=budget) == "unknown"
    assert time.monotonic() - start < 5
    assert budget.expired() and _solver.check(z3.Solver(), budget=budget) == "unknown"


def test_ctrl_c_during_a_solver_call_is_a_keyboard_interrupt():
    timer = threading.Timer(0.3, lambda: os.kill(os.getpid(), signal.SIGINT))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            _solver.check(hard_solver(), budget=_solver.Budget(20))
    finally:
        timer.cancel()


class Terminal:
    def __init__(self, tty):
        self.tty, self.text = tty, ""

    def isatty(self):
        return self.tty

    def write(self, text):
        self.text += text

    def flush(self):
        pass


@pytest.mark.parametrize("tty, after, expected", [
    (True, 0.0, "\rlint: 3 of 10 rules\r\x1b[K"),
    (True, 60.0, ""),  # not yet two seconds (here a minute) in
    (False, 0.0, ""),  # standard error is a file or a pipe
])  # fmt: skip
def test_progress_shows_on_a_terminal_past_its_delay(tty, after, expected):
    stream = Terminal(tty)
    progress = Progress("lint", stream=stream, after=after)
    _solver.Budget(None, progress).report(3, 10)
    progress.close()
    assert stream.text == expected
