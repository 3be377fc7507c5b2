import json
import math

import pytest

from tamsel_tools.base import strict_json

NAN, INF = math.nan, math.inf


def strict(text):
    """A parser that refuses what RFC 8259 does not have."""

    def refuse(token):
        raise ValueError(f"not JSON: {token}")

    return json.loads(text, parse_constant=refuse)


DUMPS_CASES = [
    (1.5, "1.5"),
    (0.0, "0.0"),
    (-0.0, '{"number": "-0.0"}'),
    (NAN, '{"number": "NaN"}'),
    (INF, '{"number": "Infinity"}'),
    (-INF, '{"number": "-Infinity"}'),
    (5e-324, "5e-324"),
    ({"a": [NAN, (-0.0, True)], "b": "NaN"}, '{"a": [{"number": "NaN"}, [{"number": "-0.0"}, true]], "b": "NaN"}'),
]


@pytest.mark.parametrize("value, text", DUMPS_CASES)
def test_dumps_writes_rfc_8259(value, text):
    assert strict_json.dumps(value) == text
    strict(strict_json.dumps(value))


@pytest.mark.parametrize("value, _", DUMPS_CASES)
def test_loads_reads_back_what_dumps_wrote(value, _):
    back = strict_json.loads(strict_json.dumps(value))
    assert repr(back) == repr(json.loads(json.dumps(value, allow_nan=True)))  # NaN != NaN: compare texts


LOADS_CASES = [
    ('{"x": NaN, "y": -Infinity}', "{'x': nan, 'y': -inf}"),  # Python's tokens still read
    ('{"x": {"number": "-0.0"}}', "{'x': -0.0}"),
    # Anything else that looks alike stays an object.
    ('{"x": {"number": "nan"}}', "{'x': {'number': 'nan'}}"),
    ('{"x": {"number": "NaN", "more": 1}}', "{'x': {'number': 'NaN', 'more': 1}}"),
    ('{"x": {"number": 1.0}}', "{'x': {'number': 1.0}}"),
    ('{"number": "Infinity"}', "inf"),
]


@pytest.mark.parametrize("text, expected", LOADS_CASES)
def test_loads(text, expected):
    assert repr(strict_json.loads(text)) == expected


def test_dumps_keeps_json_dumps_options_but_never_allows_nan():
    assert strict_json.dumps({"é": NAN}, ensure_ascii=True, allow_nan=True) == '{"\\u00e9": {"number": "NaN"}}'
    assert strict_json.dumps([1.0], indent=1) == "[\n 1.0\n]"


# What decides, before parsing, whether a text may be parsed at all: never fewer than its values,
# keys included (each is an object as well).
@pytest.mark.parametrize("text, separators", [
    ("1", 0),
    ("[]", 1),
    ("[1, 2, 3]", 3),
    ('{"a": [1, 2], "b": {}}', 7),
    ('{"a": 1, "b": 2, "c": 3}', 6),
    ('[[], {}, [ ], { }]', 8),
    ('["a,b", "[{:"]', 6),
])  # fmt: skip
def test_separators_bound_the_values(text, separators):
    assert strict_json.separators(text) == separators
    assert _count_parsed(json.loads(text)) <= separators + 1


def _count_parsed(value):
    if isinstance(value, dict):
        return 1 + sum(1 + _count_parsed(item) for item in value.values())
    if isinstance(value, list):
        return 1 + sum(_count_parsed(item) for item in value)
    return 1
