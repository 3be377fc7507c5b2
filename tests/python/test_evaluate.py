import collections
import types
from decimal import Decimal
from fractions import Fraction

import pytest

from conftest import build, rules_policy

ALLOW = {"effect": "allow", "matched_rule": None}


def decided(effect, rule):
    return {"effect": effect, "matched_rule": rule}


# ---- the example policy ----

@pytest.mark.parametrize(
    "given, expected",
    [
        ({}, ALLOW),
        ({"other": None}, ALLOW),
        ({"action": {}, "actor": {}, "snapshot": {}}, ALLOW),
        ({"action": {"type": "refund", "amount": 5000}}, decided("block", "block_large_refunds")),
        ({"action": {"type": "refund", "amount": 10, "currency": "EUR"}}, ALLOW),
        ({"action": {"type": "refund", "amount": 10, "currency": "USD"}},
         decided("block", "foreign_currency_or_frozen")),
        ({"action": {"type": "refund", "amount": 10, "currency": "EUR"}, "actor": {"frozen": True}},
         decided("block", "foreign_currency_or_frozen")),
        # An action rule decides before any global rule is looked at.
        ({"action": {"type": "refund", "amount": 5000}, "actor": {"trust_level": 1},
          "snapshot": {"min_trust_level": 3}}, decided("block", "block_large_refunds")),
        ({"action": {"type": "close_account"}, "actor": {"trust_level": 1},
          "snapshot": {"min_trust_level": 3}}, decided("block", "below_required_trust")),
        ({"actor": {"trust_level": 1}, "snapshot": {"min_trust_level": 3}},
         decided("block", "below_required_trust")),
        ({"actor": {"trust_level": 3}, "snapshot": {"min_trust_level": 3}}, ALLOW),
        ({"actor": {"trust_level": 1}}, ALLOW),  # the right-hand field is missing
        # Action types that name no action rule list.
        ({"action": {"type": "Refund", "amount": 5000}}, ALLOW),
        ({"action": {"type": 1, "amount": 5000}}, ALLOW),
        ({"action": {"type": True, "amount": 5000}}, ALLOW),
        ({"action": {"amount": 5000}}, ALLOW),
        # Actor-scoped rules never decide.
        ({"actor": {"trust_level": 1}, "snapshot": {"maintenance_mode": False}}, ALLOW),
        # A field of the wrong kind makes every comparison false, not_equals included.
        ({"action": {"type": "refund", "amount": 10, "currency": 5}}, ALLOW),
        ({"action": {"type": "refund", "amount": "5000", "currency": "EUR"}}, ALLOW),
        ({"action": {"type": "refund", "amount": 10}}, ALLOW),  # missing currency: not_equals false
    ],
)
def test_example_policy(example, given, expected):
    assert example.evaluate(given) == expected
    assert example.evaluate(input=given) == expected


def test_result_dict_order_and_ownership(example):
    first = example.evaluate({"action": {"type": "refund", "amount": 5000}})
    assert list(first) == ["effect", "matched_rule"]
    first["effect"] = "changed"
    assert example.evaluate({"action": {"type": "refund", "amount": 5000}})["effect"] == "block"


# ---- conversion, observed through a probe policy ----

PROBE_SCHEMA = """\
version: 1
actions:
  pay: {fields: {amount: number}}
actor:
  fields: {n: number, b: boolean, s: string, "ü": string}
snapshot:
  fields: {n: number}
"""
PROBE_RULES = [
    "{id: n_one, scope: {global: true}, when: [[actor, n], equals, {literal: 1}], effect: block}",
    "{id: n_nan, scope: {global: true}, when: [[actor, n], not_equals, {subject: [actor, n]}], "
    "effect: block}",
    "{id: n_zero, scope: {global: true}, when: [[actor, n], equals, {literal: 0}], effect: block}",
    "{id: n_negative, scope: {global: true}, when: [[actor, n], less_than, {literal: 0}], "
    "effect: block}",
    "{id: n_huge, scope: {global: true}, when: [[actor, n], greater_than, {literal: 1e300}], "
    "effect: block}",
    "{id: n_other, scope: {global: true}, when: [[actor, n], greater_than, {literal: -1e308}], "
    "effect: allow}",
    "{id: b_true, scope: {global: true}, when: [[actor, b], equals, {literal: true}], "
    "effect: require_approval}",
    "{id: b_false, scope: {global: true}, when: [[actor, b], equals, {literal: false}], "
    "effect: require_approval}",
    "{id: s_abc, scope: {global: true}, when: [[actor, s], equals, {literal: abc}], effect: block}",
    "{id: s_100, scope: {global: true}, when: [[actor, s], equals, {literal: '100'}], "
    "effect: block}",
    "{id: s_other, scope: {global: true}, when: [[actor, s], not_equals, {literal: abc}], "
    "effect: allow}",
    "{id: \"règle ✓\", scope: {global: true}, when: [[actor, \"ü\"], equals, {literal: \"ß\"}], "
    "effect: block}",
    "{id: pay_big, scope: {action: pay}, when: [[action, amount], greater_than, {literal: 100}], "
    "effect: block}",
]


@pytest.fixture(scope="module")
def probe():
    return build(PROBE_SCHEMA, rules_policy(*PROBE_RULES))


def matched(probe, field, value, domain="actor"):
    return probe.evaluate({domain: {field: value}})["matched_rule"]


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class IndexLike:
    def __index__(self):
        return 1


class NumberText(str):
    def __float__(self):
        return 1.0


class Text(str):
    pass


def fake_numpy_bool(name, truth, number=None):
    """A class that reads as numpy's bool by its module and name."""
    namespace = {"__module__": "numpy", "__bool__": lambda self: truth}
    if number is not None:
        namespace["__float__"] = lambda self: number
    return type(name, (), namespace)()


def raising_bool(self):
    raise RuntimeError("no truth")


@pytest.mark.parametrize(
    "field, value, rule",
    [
        ("n", 1, "n_one"),
        ("n", 1.0, "n_one"),
        ("n", True, None),  # a bool is never a number
        ("b", True, "b_true"),
        ("b", False, "b_false"),
        ("b", 1, None),
        ("b", 0, None),
        ("n", float("nan"), "n_nan"),
        ("n", -0.0, "n_zero"),
        ("n", 0, "n_zero"),
        ("n", -1, "n_negative"),
        ("n", FloatLike(-1.0), "n_negative"),  # -1.0 without an error is a number
        ("n", float("inf"), "n_huge"),
        ("n", 10**305, "n_huge"),
        ("n", 2**53 + 1, "n_other"),
        ("n", FloatLike(1.0), "n_one"),
        ("n", IndexLike(), "n_one"),
        ("n", Fraction(1, 1), "n_one"),
        ("n", Decimal("1"), "n_one"),
        ("n", NumberText("x"), "n_one"),  # numbers before texts for str subclasses
        ("s", NumberText("abc"), None),
        ("n", "1", None),  # a text is never parsed
        ("s", "100", "s_100"),
        ("s", "abc", "s_abc"),
        ("s", "ABC", "s_other"),
        ("s", Text("abc"), "s_abc"),
        ("s", "", "s_other"),
        ("s", "a\x00c", "s_other"),
        ("ü", "ß", "règle ✓"),
        ("b", fake_numpy_bool("bool_", True), "b_true"),
        ("b", fake_numpy_bool("bool", False), "b_false"),
        ("b", fake_numpy_bool("bool_", True, number=1.0), "b_true"),
        ("n", fake_numpy_bool("bool_", 1, number=1.0), "n_one"),  # __bool__ gave no bool
        ("n", fake_numpy_bool("bool8", True, number=1.0), "n_one"),  # not numpy's bool
        ("n", type("bool_", (), {"__module__": "numpy", "__bool__": raising_bool,
                                 "__float__": lambda self: 1.0})(), "n_one"),
    ],
)
def test_value_conversion(probe, field, value, rule):
    assert matched(probe, field, value) == rule


def test_numpy_values(probe):
    numpy = pytest.importorskip("numpy")
    assert matched(probe, "b", numpy.True_) == "b_true"
    assert matched(probe, "b", numpy.bool_(False)) == "b_false"
    assert matched(probe, "n", numpy.True_) is None
    assert matched(probe, "n", numpy.float64(1.0)) == "n_one"
    assert matched(probe, "n", numpy.int64(1)) == "n_one"
    assert matched(probe, "n", numpy.float32("nan")) == "n_nan"


UNSUPPORTED = [None, [], {}, (), b"1", bytearray(b"1"), 1j, 10**400, -(10**400), object(),
               "\ud800", Text("\udfff"), {1}, FloatLike("not a float"),
               fake_numpy_bool("bool_", 1)]


@pytest.mark.parametrize("value", UNSUPPORTED)
@pytest.mark.parametrize("field", ["n", "not_read_by_any_rule"])
def test_unsupported_values(probe, value, field):
    with pytest.raises(TypeError) as caught:
        probe.evaluate({"actor": {field: value}})
    assert str(caught.value) == "Unsupported value type"
    assert type(caught.value) is TypeError


@pytest.mark.parametrize(
    "given, error, message",
    [
        ({"action": None}, TypeError, "'NoneType' object cannot be converted to 'PyDict'"),
        ({"actor": []}, TypeError, "'list' object cannot be converted to 'PyDict'"),
        ({"snapshot": types.MappingProxyType({})}, TypeError,
         "'mappingproxy' object cannot be converted to 'PyDict'"),
        ({"snapshot": {"n": 1}, "actor": 5, "action": None}, TypeError,
         "'NoneType' object cannot be converted to 'PyDict'"),
        ({"action": {"x": None}, "actor": None}, TypeError, "Unsupported value type"),
        ({"actor": {1: 1}}, TypeError, "'int' object cannot be converted to 'PyString'"),
        ({"actor": {b"n": 1}}, TypeError, "'bytes' object cannot be converted to 'PyString'"),
        ({"actor": {"n": 1, (1, 2): 1}}, TypeError, "'tuple' object cannot be converted to 'PyString'"),
        # The key is checked before its value.
        ({"actor": {2.5: None}}, TypeError, "'float' object cannot be converted to 'PyString'"),
        ({"actor": {"\ud800": None}}, UnicodeEncodeError, None),
        ({"actor": {Text("x\udc80"): 1}}, UnicodeEncodeError, None),
        (types.MappingProxyType({}), TypeError,
         "argument 'input': 'mappingproxy' object cannot be converted to 'PyDict'"),
        ([("action", {})], TypeError, "argument 'input': 'list' object cannot be converted to 'PyDict'"),
    ],
)
def test_input_shape_errors(probe, given, error, message):
    with pytest.raises(error) as caught:
        probe.evaluate(given)
    assert type(caught.value) is error
    if message is not None:
        assert str(caught.value) == message


class SelectiveDict(dict):
    def __getitem__(self, key):
        raise AssertionError("the dict's own lookup must be used")

    def __missing__(self, key):
        raise AssertionError("the dict's own lookup must be used")


@pytest.mark.parametrize(
    "make",
    [dict, collections.OrderedDict, lambda items: collections.defaultdict(int, items),
     SelectiveDict],
)
def test_dict_subclasses_are_accepted(probe, make):
    given = make({"action": make({"type": "pay", "amount": 500}), "actor": make({"n": 1})})
    assert probe.evaluate(given) == decided("block", "pay_big")
    assert probe.evaluate(make({"actor": make({})})) == ALLOW


class CountingKey(str):
    calls = 0

    def __eq__(self, other):
        CountingKey.calls += 1
        return False

    def __hash__(self):
        CountingKey.calls += 1
        return id(self)


def test_str_subclass_keys_match_by_bytes(probe):
    first, second = CountingKey("amount"), CountingKey("amount")
    action = {"type": "pay", first: 500, second: 5}
    CountingKey.calls = 0
    # Both keys read as "amount"; the later one in dict order wins.
    assert probe.evaluate({"action": action}) == ALLOW
    action[second] = 501
    assert probe.evaluate({"action": action}) == decided("block", "pay_big")
    assert CountingKey.calls == 1  # only the assignment above hashed a key


class Mutating:
    def __init__(self, change):
        self.change = change

    def __float__(self):
        self.change()
        return 1.0


def test_dict_changed_during_the_walk(probe):
    grown = {}
    grown["a"] = Mutating(lambda: grown.__setitem__("z", 1))
    grown["b"] = 1
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        probe.evaluate({"actor": grown})

    replaced = {}
    replaced["a"] = Mutating(lambda: (replaced.pop("a"), replaced.__setitem__("c", 2)))
    replaced["b"] = 1
    with pytest.raises(RuntimeError, match="^dictionary keys changed during iteration$"):
        probe.evaluate({"actor": replaced})


def test_value_dropping_its_domain_during_the_walk(probe):
    given = {}
    given["actor"] = {"n": Mutating(lambda: given.clear()), "b": True}
    assert probe.evaluate(given) == decided("block", "n_one")


class EqualsAction:
    """A key of no str type that the dict's own lookup finds as "action"."""

    def __hash__(self):
        return hash("action")

    def __eq__(self, other):
        return other == "action"


def replacing_actor(given, actor):
    """A value whose conversion puts a new actor dict into the input."""
    return Mutating(lambda: given.__setitem__("actor", actor))


def input_with_replaced_actor():
    given = {"actor": {"n": 2}}
    given["action"] = {"x": replacing_actor(given, {"n": 1})}
    return given


@pytest.mark.parametrize(
    "given, expected",
    [
        ({"".join(["act", "ion"]): {"type": "pay", "amount": 500}}, decided("block", "pay_big")),
        ({Text("action"): {"type": "pay", "amount": 500}}, decided("block", "pay_big")),
        ({EqualsAction(): {"type": "pay", "amount": 500}}, decided("block", "pay_big")),
        ({"action": {"type": "pay", "amount": 500}, "actor": {}, "snapshot": {}, "other": 1},
         decided("block", "pay_big")),
        ({"actor": {"n": 1}, 7: None, "snapshot": {}}, decided("block", "n_one")),
        # The actor is looked up after the action's values ran their code.
        (input_with_replaced_actor(), decided("block", "n_one")),
    ],
    ids=["built_word", "str_subclass_word", "equal_object", "extra_key", "int_key", "replaced_later"],
)
def test_domains_are_found_by_the_dicts_own_rules(probe, given, expected):
    assert probe.evaluate(given) == expected


# ---- errors raised by conversion hooks ----

class Interrupt(BaseException):
    """Derived from BaseException alone, like KeyboardInterrupt."""


class Ordinary(Exception):
    pass


def raising_hook(hook_name, error):
    """A value whose __float__, __index__ or numpy-style __bool__ raises error."""
    def hook(self):
        raise error
    if hook_name == "__bool__":
        return type("bool_", (), {"__module__": "numpy", "__bool__": hook})()
    return type("Raising", (), {hook_name: hook})()


# Errors that end the call unchanged, and ordinary ones that only fail the attempt.
PROPAGATED = [KeyboardInterrupt(), SystemExit(3), MemoryError(), GeneratorExit(), Interrupt("x")]
DISCARDED = [ValueError("v"), RuntimeError("r"), OverflowError("o"), TypeError("t"),
             ZeroDivisionError("z"), Ordinary("e")]


@pytest.mark.parametrize("field", ["n", "not_read_by_any_rule"])
@pytest.mark.parametrize("hook_name", ["__float__", "__index__", "__bool__"])
@pytest.mark.parametrize("error, propagates",
                         [(e, True) for e in PROPAGATED] + [(e, False) for e in DISCARDED],
                         ids=lambda e: type(e).__name__ if isinstance(e, BaseException) else None)
def test_hook_errors(probe, hook_name, error, propagates, field):
    with pytest.raises(BaseException) as caught:
        probe.evaluate({"actor": {field: raising_hook(hook_name, error)}})
    if propagates:
        assert caught.value is error
    else:
        assert type(caught.value) is TypeError
        assert str(caught.value) == "Unsupported value type"


@pytest.mark.parametrize("error, outcome", [
    (ValueError("v"), "n_one"),  # the numpy order fails, the number order decides
    (KeyboardInterrupt(), KeyboardInterrupt),
    (MemoryError(), MemoryError),
], ids=["ordinary", "interrupt", "memory"])
def test_numpy_bool_error_before_the_number_order(probe, error, outcome):
    def hook(self):
        raise error
    value = type("bool_", (), {"__module__": "numpy", "__bool__": hook,
                               "__float__": lambda self: 1.0})()
    if isinstance(outcome, str):
        assert matched(probe, "n", value) == outcome
        return
    with pytest.raises(outcome) as caught:
        matched(probe, "n", value)
    assert caught.value is error


# ---- names and texts made at run time, and plans with many slots ----

@pytest.mark.parametrize(
    "action",
    [
        {"".join(["ty", "pe"]): "".join(["p", "ay"]), "".join(["amo", "unt"]): 500},
        {"type": CountingKey("pay"), CountingKey("amount"): 500},
        {"type": "pay", "amount": 500, "".join(["amo", "unt"]) + "x": 1},
    ],
    ids=["built_strs", "str_subclasses", "near_miss_key"],
)
def test_keys_and_types_are_matched_by_text(probe, action):
    CountingKey.calls = 0
    assert probe.evaluate({"action": action}) == decided("block", "pay_big")
    assert CountingKey.calls == 0  # a str subclass's own __hash__ and __eq__ never run


def test_texts_outlive_the_dict_that_held_them(probe):
    action = {"type": "".join(["p", "ay"]), "amount": 500}
    # The actor's hook empties the action dict after it was walked.
    assert probe.evaluate({"action": action, "actor": {"n": Mutating(action.clear)}}) == \
        decided("block", "pay_big")


def test_plans_with_more_fields_than_fit_inline():
    count = 40
    schema = ("version: 1\nactions: {}\nactor:\n  fields: {"
              + ", ".join(f"f{k}: number" for k in range(count)) + "}\nsnapshot: {fields: {}}\n")
    rules = [f"{{id: r{k}, scope: {{global: true}}, when: [[actor, f{k}], equals, {{literal: {k}}}], "
             f"effect: block}}" for k in range(count)]
    many = build(schema, rules_policy(*rules))
    assert many.evaluate({"actor": {f"f{k}": -1 for k in range(count)}}) == ALLOW
    assert many.evaluate({"actor": {"f39": 39, "f3": 3}}) == decided("block", "r3")
    assert many.evaluate({"actor": {"f39": 39}}) == decided("block", "r39")
