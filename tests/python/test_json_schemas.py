"""The JSON Schemas of the three documents against the engine's own readers.

Every document of the project's tests, fuzz seeds and examples is read by the
engine and, as JSON, validated against the schema of its kind: what the engine
accepts (and reads whole) must validate, what the readers refuse for its form
must not.

What a JSON Schema cannot express, so that these documents are left out of the
comparison or stay a known difference:
- YAML itself: tags (`effect: !allow`), anchors and aliases (an editor
  validates the expanded value, as here), keys written twice (a JSON object
  holds one), keys that are no text, and the "<<" key, which the readers take
  as an ordinary key.
- Scalar resolution: the readers resolve plain scalars by their own grammar
  (0x1F, 0o17, 0b101 and +7 are integers, 007, yes and 1_000 texts), while an
  editor's YAML 1.2 loader resolves some of them differently. These tests
  resolve as the readers do.
- An empty value and `~` are both null in JSON; the readers take only the empty
  value as an empty list or map (`fields:`), so the schemas accept both.
- A plain integer key that selects a field by its position (`{0: action}`).
- Integers beyond 64 bits, NaN and the infinities, which JSON cannot hold; and
  1.0, which JSON Schema counts as an integer while the readers want digits.
- What only compilation checks: that actions and fields exist in the schema,
  the types of both sides, the operators a type admits. The schemas do check
  the closed word lists (domains, operators that compile, effects, types), that
  a global scope is true and that `all` and `any` hold two comparisons or more.
- Parsing limits: nesting deeper than 128 collections, alias expansion
  budgets, more than one document in a text.
"""

from __future__ import annotations

import ast
import json
import math
import re
from pathlib import Path
from typing import Any, Dict, Iterator, List, Optional, Tuple

import pytest
import yaml

import tamsel
from conftest import SCHEMA
from tamsel_tools import _inspect

jsonschema = pytest.importorskip("jsonschema")

ROOT = Path(__file__).resolve().parents[2]
KINDS = ("schema", "policy", "governance")
VALIDATORS = {
    kind: jsonschema.Draft202012Validator(json.loads((ROOT / "schemas" / f"{kind}.json").read_text()))
    for kind in KINDS
}
EMPTY_POLICY = "version: 1\nrules: []\n"
# The compile errors' texts begin so; every other construction error is a reading error.
COMPILE_ERRORS = re.compile(
    r"unknown action '|invalid scope configuration\Z|unknown domain '|unknown field '"
    r"|unknown operator '|invalid logical condition: |type mismatch: |operator '"
    r"|governance validation failed: "
)


class Unrepresentable(Exception):
    """The document holds what JSON cannot stand for (see the module's comment)."""


# ---- YAML to JSON, scalars resolved as the engine's readers resolve them ----

_UNSIGNED = re.compile(r"\+?(0x[0-9a-fA-F]+|0o[0-7]+|0b[01]+|0|[1-9][0-9]*)")
_NEGATIVE = re.compile(r"-(0x[0-9a-fA-F]+|0o[0-7]+|0b[01]+|0|[1-9][0-9]*)")
_FLOAT = re.compile(r"[-+]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][-+]?[0-9]+)?")
_LEADING_ZERO = re.compile(r"[-+]?0[0-9]+")
_BOOLEANS = {"true": True, "True": True, "TRUE": True, "false": False, "False": False, "FALSE": False}
_NULLS = ("", "~", "null", "Null", "NULL")


def _integer(text: str) -> Optional[int]:
    if _UNSIGNED.fullmatch(text):
        value = int(text.lstrip("+"), 0)
        return value if value < 2**64 else None
    if _NEGATIVE.fullmatch(text):
        value = -int(text[1:], 0)
        return value if value >= -(2**63) else None
    return None


def _float(text: str) -> Optional[float]:
    if text.lstrip("+") in (".inf", ".Inf", ".INF") or text in ("-.inf", "-.Inf", "-.INF"):
        raise Unrepresentable("an infinity")
    if text in (".nan", ".NaN", ".NAN"):
        raise Unrepresentable("NaN")
    if _LEADING_ZERO.fullmatch(text) or not _FLOAT.fullmatch(text):
        return None
    value = float(text)
    return value if math.isfinite(value) else None


def scalar(event: yaml.ScalarEvent) -> Any:
    text, tag = event.value, event.tag
    if tag is not None and tag != "!":
        if not tag.startswith("tag:yaml.org,2002:"):
            raise Unrepresentable("a tag")
        kind = tag.rsplit(":", 1)[1]
        if kind == "bool" and text in _BOOLEANS:
            return _BOOLEANS[text]
        if kind == "null" and text in _NULLS[1:]:
            return None
        number = _integer(text) if kind == "int" else _float(text) if kind == "float" else None
        if number is not None:
            return number
        if kind in ("bool", "null", "int", "float"):
            raise Unrepresentable("a tagged scalar that does not fit its tag")
        return text
    if event.style is not None:
        return text
    if text in _NULLS:
        return None
    if text in _BOOLEANS:
        return _BOOLEANS[text]
    if _UNSIGNED.fullmatch(text) or _NEGATIVE.fullmatch(text):
        value = _integer(text)
        if value is None:
            raise Unrepresentable("an integer beyond 64 bits")
        return value
    number = _float(text)
    return text if number is None else number


def to_json(text: str) -> Any:
    """The first document of the text as a JSON value; Unrepresentable or a YAML error."""
    events = iter(yaml.parse(text, Loader=yaml.SafeLoader))
    anchors: Dict[str, Any] = {}

    def node(event: Any) -> Any:
        if isinstance(event, yaml.AliasEvent):
            if event.anchor not in anchors:
                raise Unrepresentable("an unknown anchor")
            return anchors[event.anchor]
        if isinstance(event, yaml.ScalarEvent):
            value = scalar(event)
        elif isinstance(event, yaml.SequenceStartEvent):
            if event.tag not in (None, "!", "tag:yaml.org,2002:seq"):
                raise Unrepresentable("a tag")
            value = []
            for item in iter(lambda: next(events), None):
                if isinstance(item, yaml.SequenceEndEvent):
                    break
                value.append(node(item))
        else:
            if event.tag not in (None, "!", "tag:yaml.org,2002:map"):
                raise Unrepresentable("a tag")
            value = {}
            for key in iter(lambda: next(events), None):
                if isinstance(key, yaml.MappingEndEvent):
                    break
                if not isinstance(key, yaml.ScalarEvent) or key.tag not in (None, "!"):
                    raise Unrepresentable("a key that is no text")
                if key.style is None and not isinstance(scalar(key), (str, type(None), bool)):
                    raise Unrepresentable("a key that selects a field by position")
                if key.value in value:
                    raise Unrepresentable("a key written twice")
                if key.value == "<<":
                    raise Unrepresentable("a merge key")
                value[key.value] = node(next(events))
        if getattr(event, "anchor", None):
            anchors[event.anchor] = value
        return value

    for event in events:
        if isinstance(event, yaml.DocumentStartEvent):
            first = next(events)
            document = None if isinstance(first, yaml.DocumentEndEvent) else node(first)
            break
    else:
        return None
    for event in events:
        if isinstance(event, yaml.DocumentStartEvent):
            raise Unrepresentable("more than one document")
    return document


# ---- the corpus: every YAML text that the project's tests and examples hold ----

_C_STRINGS = re.compile(r'(?:"(?:[^"\\\n]|\\.)*"\s*)+')
_C_STRING = re.compile(r'"((?:[^"\\\n]|\\.)*)"')
_HELPERS = re.compile(r"(with_when|with_scope)\(\s*((?:\"(?:[^\"\\\n]|\\.)*\"\s*)+)\)")


def _c_text(literals: str) -> Optional[str]:
    try:
        raw = "".join(_C_STRING.findall(literals))
        return raw.encode("latin-1", "backslashreplace").decode("unicode_escape").encode("latin-1").decode()
    except (UnicodeError, ValueError):
        return None


def _cpp_texts(source: str) -> Iterator[str]:
    for found in _C_STRINGS.finditer(source):
        text = _c_text(found[0])
        if text is not None:
            yield text
    # The C++ tests' rule templates, around a scope or condition of their own.
    for helper, literals in _HELPERS.findall(source):
        fragment = _c_text(literals)
        if fragment is None:
            continue
        if helper == "with_when":
            yield f"version: 1\nrules:\n  - id: r\n    scope: {{action: a}}\n    when: {fragment}\n    effect: block\n"
        else:
            yield f"version: 1\nrules:\n  - id: r\n    scope: {fragment}\n    when: [[action, x], equals, {{literal: 1}}]\n    effect: block\n"


def _python_texts(source: str) -> Iterator[str]:
    for found in ast.walk(ast.parse(source)):
        if isinstance(found, ast.Constant) and isinstance(found.value, str):
            yield found.value
            if found.value.startswith("{id:"):  # a rule for conftest.rules_policy
                yield f"version: 1\nrules:\n  - {found.value}\n"


def corpus_texts() -> Iterator[Tuple[str, str]]:
    """(where it comes from, text) for every candidate document."""
    for path in sorted((ROOT / "tests" / "python").glob("*.py")):
        if path.name == Path(__file__).name:
            continue
        for text in _python_texts(path.read_text()):
            yield path.name, text
    for path in sorted((ROOT / "tests" / "cpp").glob("*.cpp")):
        for text in _cpp_texts(path.read_text()):
            yield path.name, text
    for path in sorted((ROOT / "fuzz").rglob("*")):
        if path.suffix in (".yaml", ".txt"):
            for text in path.read_text(errors="replace").split("\n#~\n"):
                yield path.name, text
    for path in sorted((ROOT / "examples").rglob("*.yaml")):
        yield path.name, path.read_text()
    for page in [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]:
        for block in re.findall(r"```yaml\n(.*?)```", page.read_text(), re.S):
            yield page.name, block


def kind_of(value: Any) -> Optional[str]:
    if not isinstance(value, dict) or "version" not in value:
        return None
    for kind, key in (("schema", "actions"), ("policy", "rules"), ("governance", "governance")):
        if key in value:
            return kind
    return None


def corpus() -> Dict[str, List[Tuple[str, str, Any]]]:
    """By kind, (source, text, JSON value) for every document that JSON can stand for."""
    found: Dict[str, List[Tuple[str, str, Any]]] = {kind: [] for kind in KINDS}
    seen = set()
    for source, text in corpus_texts():
        if text in seen:
            continue
        seen.add(text)
        try:
            value = to_json(text)
        except (Unrepresentable, yaml.YAMLError, RecursionError, StopIteration):
            continue
        kind = kind_of(value)
        if kind is not None:
            found[kind].append((source, text, value))
    return found


CORPUS = corpus()


# ---- what the engine says of a document ----

def _error(schema: str, policy: str, governance: Optional[str] = None) -> Optional[str]:
    try:
        tamsel.PyTamsel(schema, policy, governance)
    except ValueError as error:
        return str(error)
    return None


ACCEPTED_SCHEMAS = [text for _, text, _ in CORPUS["schema"] if _error(text, EMPTY_POLICY) is None]


def _documents(kind: str, text: str, schema: str = SCHEMA) -> Tuple[str, str, Optional[str]]:
    """The text built with stand-ins for the other two documents."""
    return {"schema": (text, EMPTY_POLICY, None), "policy": (schema, text, None),
            "governance": (schema, EMPTY_POLICY, text)}[kind]


def verdict(kind: str, text: str) -> Tuple[str, Optional[Tuple[str, str, Optional[str]]], Optional[str]]:
    """("accepted", the documents it was built with, None), ("unread", None, the reader's
    error), or ("uncompiled", None, None) when it reads but compiles against no schema
    of the corpus."""
    message = _error(*_documents(kind, text))
    if message is None:
        return "accepted", _documents(kind, text), None
    if kind == "governance" and message.startswith("governance validation failed: "):
        # Read, but violated by the stand-in policy: built with a policy that passes, if any.
        for schema, policy in _policies():
            if _error(schema, policy, text) is None:
                return "accepted", (schema, policy, text), None
        return "accepted", None, None
    if kind != "policy" or not COMPILE_ERRORS.match(message):
        return "unread", None, message
    for schema in ACCEPTED_SCHEMAS:
        if _error(schema, text) is None:
            return "accepted", _documents(kind, text, schema), None
    return "uncompiled", None, None


_POLICIES: List[Tuple[str, str]] = []


def _policies() -> List[Tuple[str, str]]:
    """(schema, policy) for every policy of the corpus that builds, to try governance with."""
    if not _POLICIES:
        for _, text, _ in CORPUS["policy"]:
            outcome, documents, _ = verdict("policy", text)
            if documents is not None:
                _POLICIES.append(documents[:2])
    return _POLICIES


def skips_a_key(kind: str, documents: Optional[Tuple[str, str, Optional[str]]]) -> Optional[bool]:
    """Whether the readers skipped a key of this document, as they report it themselves;
    None when no documents built with it (a governance document that every policy
    of the corpus violates), so that the readers' report is not had."""
    if documents is None:
        return None
    compiled, error = _inspect.load(*documents)
    assert error is None, error
    return any(skipped["document"] == kind for skipped in compiled.skipped_keys())


def errors_of(kind: str, value: Any) -> List[str]:
    return [f"{'/'.join(map(str, e.absolute_path))}: {e.message}" for e in VALIDATORS[kind].iter_errors(value)]


# ---- tests ----

def test_the_schemas_are_valid_draft_2020_12():
    for kind in KINDS:
        jsonschema.Draft202012Validator.check_schema(VALIDATORS[kind].schema)


def test_the_corpus_holds_every_kind():
    # A broken harvest would make the sweeps below pass over nothing.
    counts = {kind: len(CORPUS[kind]) for kind in KINDS}
    assert counts["schema"] >= 20 and counts["policy"] >= 50 and counts["governance"] >= 5, counts


@pytest.mark.parametrize("kind", KINDS)
def test_documents_the_engine_accepts_and_reads_whole_validate(kind):
    checked, failures = 0, []
    for source, text, value in CORPUS[kind]:
        outcome, documents, _ = verdict(kind, text)
        if outcome != "accepted" or skips_a_key(kind, documents) is not False:
            continue
        checked += 1
        errors = errors_of(kind, value)
        if errors:
            failures.append(f"{source}: {text!r}: {errors}")
    assert checked >= 3
    assert failures == []


def only_unknown_keys(error: Any) -> bool:
    """Whether the error is about keys the schema does not know, in every branch of some
    alternative that it reports on."""
    if error.validator == "additionalProperties":
        return True
    if error.validator not in ("anyOf", "oneOf"):
        return False
    branches: Dict[Any, List[Any]] = {}
    for suberror in error.context:
        branches.setdefault(suberror.schema_path[0], []).append(suberror)
    return any(all(only_unknown_keys(each) for each in branch) for branch in branches.values())


@pytest.mark.parametrize("kind", KINDS)
def test_documents_the_engine_accepts_fail_only_for_keys_it_does_not_read(kind):
    # Without the readers' own list of skipped keys: an unknown key may be one
    # they skip, any other complaint is a fault of the schema.
    checked, failures = 0, []
    for source, text, value in CORPUS[kind]:
        if verdict(kind, text)[0] != "accepted":
            continue
        checked += 1
        errors = [error for error in VALIDATORS[kind].iter_errors(value) if not only_unknown_keys(error)]
        if errors:
            failures.append(f"{source}: {text!r}: {[error.message for error in errors]}")
    assert checked >= 5
    assert failures == []


UNSEEN_BY_JSON = ("invalid type: unit value", "limit exceeded", "more than one document")


@pytest.mark.parametrize("kind", KINDS)
def test_documents_the_readers_refuse_do_not_validate(kind):
    checked, failures = 0, []
    for source, text, value in CORPUS[kind]:
        outcome, _, message = verdict(kind, text)
        # A null where an empty value reads as an empty list or map, and the
        # limits of parsing (module comment).
        if outcome != "unread" or any(limit in str(message) for limit in UNSEEN_BY_JSON):
            continue
        checked += 1
        if not errors_of(kind, value):
            failures.append(f"{source}: {text!r}: {message}")
    assert checked >= 3
    assert failures == []


SCHEMA_TEXT = "version: 1\nactions: {refund: {fields: {amount: number}}}\nactor: {fields: {role: string}}\nsnapshot: {fields: {}}\n"


def _rule(scope="{action: refund}", when="[[action, amount], greater_than, {literal: 1}]", effect="block"):
    return f"version: 1\nrules:\n  - id: r\n    scope: {scope}\n    when: {when}\n    effect: {effect}\n"


def _governance(must="{exists: true}", select="{where: {}}", extra=""):
    return (f"version: 1\ngovernance:\n  rules:\n    - id: g\n      select: {select}\n"
            f"      must: {must}\n      error: e\n{extra}")


# Documents refused for their form: the engine's message, and the schema's verdict.
REFUSED = [
    ("policy", _rule(effect="deny"),
     "rules[0].effect: unknown variant `deny`, expected one of `allow`, `block`, `require_approval` at line 6 column 13"),
    ("policy", _rule(effect="Allow"),
     "rules[0].effect: unknown variant `Allow`, expected one of `allow`, `block`, `require_approval` at line 6 column 13"),
    ("policy", _rule(scope="global"), "rules[0]: data did not match any variant of untagged enum ScopeAst at line 3 column 5"),
    ("policy", _rule(scope="{}"), "rules[0]: data did not match any variant of untagged enum ScopeAst at line 3 column 5"),
    ("policy", _rule(scope='{global: "true"}'), "rules[0]: data did not match any variant of untagged enum ScopeAst at line 3 column 5"),
    ("policy", _rule(scope="{action: 7}"), "rules[0]: data did not match any variant of untagged enum ScopeAst at line 3 column 5"),
    ("policy", _rule(scope="[action, refund]"), "rules[0]: data did not match any variant of untagged enum ScopeAst at line 3 column 5"),
    ("policy", _rule(when="{subject: [action, amount], operator: equals, value: 1}"),
     "rules[0]: data did not match any variant of untagged enum ConditionAst at line 3 column 5"),
    ("policy", _rule(when="[[action, amount], equals]"),
     "rules[0]: data did not match any variant of untagged enum ConditionAst at line 3 column 5"),
    ("policy", _rule(when="[[action, amount], equals, {literal: 1}, x]"),
     "rules[0]: data did not match any variant of untagged enum ConditionAst at line 3 column 5"),
    ("policy", _rule(when="[[action], equals, {literal: 1}]"),
     "rules[0]: data did not match any variant of untagged enum ConditionAst at line 3 column 5"),
    ("policy", _rule(when="[{domain: action}, equals, {literal: 1}]"),
     "rules[0]: data did not match any variant of untagged enum ConditionAst at line 3 column 5"),
    ("policy", _rule(when="[[action, amount], equals, {literal: ~}]"),
     "rules[0]: data did not match any variant of untagged enum ConditionAst at line 3 column 5"),
    ("policy", _rule(when="[[action, amount], equals, {literal: [1, 2]}]"),
     "rules[0]: data did not match any variant of untagged enum ConditionAst at line 3 column 5"),
    ("policy", _rule(when="[[action, amount], 5, {literal: 1}]"),
     "rules[0]: data did not match any variant of untagged enum ConditionAst at line 3 column 5"),
    ("policy", _rule(when="{all: [[[action, amount], equals, {literal: 1}], {any: [[[action, amount], equals, {literal: 2}], [[action, amount], equals, {literal: 3}]]}]}"),
     "rules[0]: data did not match any variant of untagged enum ConditionAst at line 3 column 5"),
    ("policy", _rule(when="{all: [[[[action, amount], equals, {literal: 1}]]]}"),
     "rules[0]: data did not match any variant of untagged enum ConditionAst at line 3 column 5"),
    ("policy", _rule(when="{alll: [[[action, amount], equals, {literal: 1}], [[action, amount], equals, {literal: 2}]]}"),
     "rules[0]: data did not match any variant of untagged enum ConditionAst at line 3 column 5"),
    ("policy", "version: 1\nrules:\n  - id: r\n    scope: {action: refund}\n    effect: block\n",
     "rules[0]: missing field `when` at line 3 column 5"),
    ("policy", "version: 1\n", "missing field `rules`"),
    ("policy", "version: -1\nrules: []\n", "version: invalid type: integer `-1`, expected u32 at line 1 column 10"),
    ("policy", "version: 4294967296\nrules: []\n", "version: invalid value: integer `4294967296`, expected u32 at line 1 column 10"),
    ("policy", "version: 1\nrules: {}\n", "rules: invalid type: map, expected a sequence at line 2 column 8"),
    ("policy", "version: 1\nrules:\n  - id: [r]\n    scope: {action: refund}\n    when: [[action, amount], equals, {literal: 1}]\n    effect: block\n",
     "rules[0].id: invalid type: sequence, expected a string at line 3 column 9"),
    # Read, but refused by compilation for words the schemas know.
    ("policy", _rule(scope="{global: false}"), "invalid scope configuration"),
    ("policy", _rule(when="[[actions, amount], equals, {literal: 1}]"), "unknown domain 'actions'"),
    ("policy", _rule(when="[[action, amount], greater, {literal: 1}]"), "unknown operator 'greater'"),
    ("policy", _rule(when="[[action, amount], in, {literal: 1}]"), "operator 'In' not supported for type 'number'"),
    ("policy", _rule(when="{any: [[[action, amount], equals, {literal: 1}]]}"),
     "invalid logical condition: must contain at least two conditions"),
    ("schema", SCHEMA_TEXT.replace("amount: number", "amount: integer"),
     "actions.refund.fields.amount: unknown variant `integer`, expected one of `string`, `number`, `boolean` at line 2 column 37"),
    ("schema", SCHEMA_TEXT.replace("amount: number", "amount: Number"),
     "actions.refund.fields.amount: unknown variant `Number`, expected one of `string`, `number`, `boolean` at line 2 column 37"),
    ("schema", SCHEMA_TEXT.replace("amount: number", "amount: [number]"),
     "actions.refund.fields.amount: invalid type: sequence, expected a YAML tag starting with '!' at line 2 column 37"),
    ("schema", SCHEMA_TEXT.replace("actor: {fields: {role: string}}\n", ""), "missing field `actor`"),
    ("schema", SCHEMA_TEXT.replace("{refund: {fields: {amount: number}}}", "{refund: {}}"),
     "actions.refund: missing field `fields` at line 2 column 19"),
    ("schema", SCHEMA_TEXT.replace("actions: {refund: {fields: {amount: number}}}", "actions: [refund]"),
     "actions: invalid type: sequence, expected a map at line 2 column 10"),
    ("governance", _governance(must="{exists: yes}"),
     "governance.rules[0]: data did not match any variant of untagged enum Constraint at line 4 column 7"),
    ("governance", _governance(must="{min_count: -1}"),
     "governance.rules[0]: data did not match any variant of untagged enum Constraint at line 4 column 7"),
    ("governance", _governance(must="{max: 1}"),
     "governance.rules[0]: data did not match any variant of untagged enum Constraint at line 4 column 7"),
    ("governance", _governance(must="{allowed_fields: action.amount}"),
     "governance.rules[0]: data did not match any variant of untagged enum Constraint at line 4 column 7"),
    ("governance", _governance(select="{}"), "governance.rules[0].select: missing field `where` at line 5 column 15"),
    ("governance", _governance(select="{where: {scope: {global: 1}}}"),
     "governance.rules[0].select.where.scope.global: invalid type: integer `1`, expected a boolean at line 5 column 40"),
    ("governance", _governance(extra="      applies_to: {action: [refund]}\n"),
     "governance.rules[0].applies_to: missing field `actions` at line 8 column 19"),
    ("governance", "version: 1\ngovernance: {}\n", "governance: missing field `rules` at line 2 column 13"),
]


@pytest.mark.parametrize("kind, text, message", REFUSED)
def test_a_document_of_the_wrong_form_does_not_validate(kind, text, message):
    assert _error(*_documents(kind, text, SCHEMA_TEXT)) == message
    assert errors_of(kind, to_json(text)) != []


# Forms the readers accept that a schema could easily get wrong.
ACCEPTED = [
    ("policy", _rule(scope="{actor: support_agent}", when="[[actor, role], equals, {literal: x}]")),
    ("policy", _rule(scope="{global: true}", when="[[actor, role], equals, {literal: x}]")),
    ("policy", _rule(scope="{action: refund, global: false}")),
    ("policy", _rule(scope="{action: 7, actor: agent}", when="[[actor, role], equals, {literal: x}]")),
    ("policy", _rule(when="{subject: {domain: action, field: amount}, operator: less_than, value: {literal: 1e3}}")),
    ("policy", _rule(when="{subject: [action, amount], operator: equals, value: {subject: [action, amount]}}")),
    ("policy", _rule(when="[{domain: action, field: amount}, not_equals, {subject: {domain: action, field: amount}}]")),
    ("policy", _rule(when="{all: [[[action, amount], equals, {literal: 1}], [[action, amount], equals, {literal: 0x1F}]]}")),
    ("policy", _rule(when="{any: [[[actor, role], equals, {literal: '5'}], {subject: [actor, role], operator: equals, value: {literal: yes}}]}")),
    ("policy", _rule(when="{subject: [action, amount], operator: equals, value: {literal: 1}, all: x}")),
    ("policy", _rule(when="{all: [[[action, amount], equals, {literal: 1}], [[action, amount], equals, {literal: 2}]], any: 0}")),
    ("policy", _rule(when="{subject: [action, amount], operator: equals, value: {literal: 1, subject: x}}")),
    ("policy", "version: 0x10\nrules:\n"),
    ("policy", "version: +7\nrules: []\n"),
    ("policy", _rule().replace("id: r", "id: 42")),
    ("policy", _rule().replace("id: r", "id:")),
    ("policy", _rule(effect='"require_approval"')),
    ("schema", "version: 1\nactions:\nactor: {fields: {}}\nsnapshot: {fields: }\n"),
    ("schema", "version: 1\nactions: {'': {fields: {'1': boolean, '': string}}}\nactor: {fields: {}}\nsnapshot: {fields: {x: \"number\"}}\n"),
    ("governance", "version: 1\ngovernance: {rules: }\n"),
    ("governance", _governance(must="{min_count: 1, max_count: x}")),
    ("governance", _governance(must="{exists: 1, forbid: true}")),
    ("governance", _governance(must="{allowed_fields: []}", select="{where: {id: 5, effect: Block}}")),
    ("governance", _governance(select="{where: {scope: {action: refund, global: ~}, when: {subject: {domain: x}}}}",
                               extra="      applies_to: {actions: []}\n")),
    ("governance", _governance(select="{where: }", extra="      applies_to:\n")),
]


@pytest.mark.parametrize("kind, text", ACCEPTED)
def test_an_accepted_form_validates(kind, text):
    message = _error(*_documents(kind, text, SCHEMA_TEXT))
    assert message is None or message.startswith("governance validation failed: ")
    assert errors_of(kind, to_json(text)) == []
