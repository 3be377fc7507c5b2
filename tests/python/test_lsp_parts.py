"""The language server's parts that read documents: places, completion while typing, spans,
symbols and pairing, without a client."""

from __future__ import annotations

import asyncio
import os
from pathlib import Path
from typing import List, Optional, Tuple

import pytest

pytest.importorskip("lsprotocol")
pytest.importorskip("yaml")
from tamsel_tools.io.reading import Limits  # noqa: E402
from tamsel_tools.lsp import (
    completion,  # noqa: E402
    diagnostics,  # noqa: E402
    navigation,  # noqa: E402
    yaml_nodes,  # noqa: E402
)
from tamsel_tools.lsp.pairing import Pairings  # noqa: E402
from tamsel_tools.lsp.store import Store, lines_of, role_by_content  # noqa: E402
from tamsel_tools.model import declared as _schema  # noqa: E402

PROJECT = Path(__file__).parent / "lsp_project"
SCHEMA = _schema.read((PROJECT / "schema.yaml").read_text())
RULE = "version: 1\nrules:\n  - id: r\n    scope: {action: refund}\n    when: %s\n    effect: block\n"

# The text of the condition while it is typed, the cursor at the end of "|" (removed).
TYPING = [
    ("[[action, |", ["amount", "currency"]),
    ("[[actor, |]]", ["frozen", "role", "trust_level"]),
    ("[[snapshot, mai|", ["maintenance_mode", "min_trust_level"]),
    ("[[|", ["action", "actor", "snapshot"]),
    ("[[action, amount], |", ["equals", "not_equals", "greater_than", "less_than"]),
    ("[[action, currency], |", ["equals", "not_equals"]),
    ("[[actor, frozen], equals, {literal: |", ["true", "false"]),
    ("[[actor, role], equals, {literal: |", []),
    ("[[action, amount], less_than, {subject: [snapshot, |", ["maintenance_mode", "min_trust_level"]),
    ('{subject: {domain: action, field: "|', ["amount", "currency"]),
    ("{subject: {domain: actor, field:|}, operator: equals, value: {literal: 1}}", ["frozen", "role", "trust_level"]),
    ("{all: [[[action, amount], equals, {literal: 1}], [[actor, |", ["frozen", "role", "trust_level"]),
    ("[[nowhere, |", []),
    ("[[action, amount], equals, {literal: 1}] # [[actor, |", []),
]


@pytest.mark.parametrize("condition, labels", TYPING)
def test_completion_while_typing(condition: str, labels: List[str]) -> None:
    text = RULE % condition.replace("|", "")
    line = 4
    column = len("    when: ") + condition.index("|")
    items = completion.complete(lines_of(text), "policy", line, column, SCHEMA)
    assert [item.label for item in items] == labels


def test_completion_in_a_global_rule_sees_no_action_field() -> None:
    text = RULE.replace("{action: refund}", "{global: true}") % "[[action, |"
    items = completion.complete(lines_of(text.replace("|", "")), "policy", 4, 20, SCHEMA)
    assert items == []


GOVERNANCE = (
    "version: 1\ngovernance:\n  rules:\n    - id: g\n      select:\n        where:\n%s\n"
    "      must: {exists: true}\n      error: e\n"
)
GOVERNANCE_PLACES = [
    ("          id: |", ["first", "second"]),
    ("          when: {subject: {domain: actor, field: |}}", ["frozen", "role", "trust_level"]),
    ("          when: {subject: {field: |}}", [
        "amount", "currency", "frozen", "maintenance_mode", "min_trust_level", "role", "trust_level"]),
    ("          effect: |", ["allow", "block", "require_approval"]),
]


@pytest.mark.parametrize("where, labels", GOVERNANCE_PLACES)
def test_completion_in_governance(where: str, labels: List[str]) -> None:
    text = GOVERNANCE % where.replace("|", "")
    items = completion.complete(lines_of(text), "governance", 6, where.index("|"), SCHEMA, ["first", "second", "first"])
    assert [item.label for item in items] == labels


# (line, column): where the token starting there ends, as a diagnostic's range shows it
TOKENS = [
    ("    effect: deny", 12, 16),
    ("  - id: r1", 4, 10),  # a key: to the end of the line
    ("    scope: {action: 7}  # note", 4, 22),
    ("    when: [[action, amount], equals, 1]", 10, 39),
    ("      subject: {domain: action, field: amont}", 39, 44),
    ('    id: "quoted, text"', 8, 22),
    ("    a: [unclosed", 7, 16),
    ("", 0, 0),
]


@pytest.mark.parametrize("line, column, end", TOKENS)
def test_token_end(line: str, column: int, end: int) -> None:
    assert diagnostics._token_end(line, column) == end


def test_place_without_position_is_the_first_line() -> None:
    assert diagnostics.place_at("policy", "version: 1\nrules:\n", None, None) == diagnostics.Range(
        "policy", 0, 0, 0, 10)
    assert diagnostics.place_at("policy", "a\n", 9, 1).line == 0


POLICIES = [
    # (text, [(id, first line, last line)])
    ("version: 1\nrules:\n  - id: a\n    effect: block\n\n  # gap\n  - effect: allow\n    id: 'b c'\nafter: 1\n",
     [("a", 2, 3), ("b c", 6, 7)]),
    ("version: 1\nrules:\n- id: \"x\"\n- id: y # the second\n", [("x", 2, 2), ("y", 3, 3)]),
    ("version: 1\nrules: [{id: a, effect: block}, {id: b}]\n", [("a", 1, 1), ("b", 1, 1)]),
    ("version: 1\nrules:\n  - [not, a rule]\n", [("(no id)", 2, 2)]),
    ("version: 1\nrules: [unclosed\n", []),
]


@pytest.mark.parametrize("text, expected", POLICIES)
def test_rule_symbols(text: str, expected: List[Tuple[str, int, int]]) -> None:
    symbols = navigation.rules(lines_of(text), "policy")
    assert [(s.name, s.span[0], s.span[2]) for s in symbols] == expected


def test_schema_symbols_and_declarations() -> None:
    symbols = navigation.schema_symbols((PROJECT / "schema.yaml").read_text())
    assert [(s.name, s.kind, [c.name for c in s.children]) for s in symbols] == [
        ("refund", "action", ["amount", "currency"]),
        ("close_account", "action", []),
        ("actor", "block", ["role", "trust_level", "frozen"]),
        ("snapshot", "block", ["maintenance_mode", "min_trust_level"]),
    ]
    schema = _schema.read("version: 1\nactions:\n  a:\n    fields: {x: number, x: !boolean , y: Number}\n"
                          "actor: {fields: {}}\nsnapshot: {fields: {}}\n")
    assert {name: each.type for name, each in schema.visible("action", "a").items()} == {"x": "boolean", "y": None}


ROLES = [
    ("version: 1\nrules: []\n", "policy"),
    ("# a schema\nversion: 1\nactions: {}\n", "schema"),
    ("version: 1\ngovernance:\n  rules: []\n", "governance"),
    ("name: build\non: push\n", None),
    # The keys as the YAML reader sees them: a byte order mark, CR line ends, flow and JSON style.
    ("\ufeffrules: []\n", "policy"),
    ("version: 1\rrules:\r  - id: a\r", "policy"),
    ('{"version": 1, "actions": {}}', "schema"),
    ("{version: 1, governance: {rules: []}}", "governance"),
    ("version: 1\nx: {rules: []}\nactor: {fields: {}}\n", "schema"),
    # While it is typed, a document is often not YAML yet: its keys up to there, then its lines.
    ("version: 1\nrules: [\n", "policy"),
    ("version: [\nrules:\n", "policy"),
]


@pytest.mark.parametrize("text, role", ROLES)
def test_role_by_content(text: str, role: Optional[str]) -> None:
    assert role_by_content(text) == role


def _write(folder: Path, files: dict) -> None:
    for name, text in files.items():
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / name).write_text(text)


PAIRINGS = [
    # (files, the policy, its schema and governance as paired, and what paired them)
    ({"p/policy.yaml": "", "p/schema.yaml": "", "p/governance.yaml": ""}, "p/policy.yaml",
     ("p/schema.yaml", "p/governance.yaml", "folder")),
    ({"p/policy.yaml": "", "s/types.yaml": "", "x.suite.json": '{"schema": "s/types.yaml", "policy": "p/policy.yaml"}'},
     "p/policy.yaml", ("s/types.yaml", None, "suite")),
    # A suite names nothing outside its folder (or its project's), as for `tamsel test`.
    ({"p/policy.yaml": "", "s/types.yaml": "", "t/x.suite.json": '{"schema": "../s/types.yaml", "policy": "../p/policy.yaml"}'},
     "p/policy.yaml", (None, None, "folder")),
    ({"p/policy.yaml": "", "p/schema.yaml": "", "x.suite.json": '{"schema": "/etc/passwd", "policy": "p/policy.yaml"}'},
     "p/policy.yaml", (None, None, "suite")),
    ({"tamsel.toml": 'schema = "s.yaml"\npolicy = "p/policy.yaml"\n', "s.yaml": "", "p/policy.yaml": "",
      "p/schema.yaml": ""}, "p/policy.yaml", ("s.yaml", None, "project file")),
    ({"p/draft.yaml": ""}, "p/draft.yaml", (None, None, "folder")),
]


@pytest.mark.parametrize("files, policy, expected", PAIRINGS)
def test_pairing(tmp_path: Path, files: dict, policy: str, expected: Tuple[Optional[str], Optional[str], str]) -> None:
    _write(tmp_path, files)
    pairings = Pairings(Store(), [tmp_path])
    asyncio.run(pairings.ready())  # the suites, read as `tamsel test` reads them
    pairing, problem = pairings.pair(tmp_path / policy)
    named = [None if each is None else each.resolve().relative_to(tmp_path.resolve()).as_posix()
             for each in (pairing.schema, pairing.governance)]
    assert (*named, pairing.by.split(" /")[0]) == expected
    assert problem is None


@pytest.mark.parametrize("max_bytes, by", [(1 << 20, "suite"), (64 * 9, "folder")])
def test_a_suite_is_read_within_the_servers_limits(tmp_path: Path, max_bytes: int, by: str) -> None:
    """As `tamsel test` reads it: a suite past the values its limits allow names nothing."""
    suite = '{"schema": "s/types.yaml", "policy": "p/policy.yaml", "cases": [[], [], [], [], [], []]}'
    _write(tmp_path, {"p/policy.yaml": "", "s/types.yaml": "", "x.suite.json": suite})
    pairings = Pairings(Store(), [tmp_path], Limits(max_bytes))
    asyncio.run(pairings.ready())
    pairing, _ = pairings.pair(tmp_path / "p/policy.yaml")
    assert pairing.by.split(" /")[0] == by


def test_a_broken_project_file_is_a_problem_and_the_folder_pairs(tmp_path: Path) -> None:
    _write(tmp_path, {"tamsel.toml": "schema = \n", "policy.yaml": "", "schema.yaml": ""})
    pairing, problem = Pairings(Store(), [tmp_path]).pair(tmp_path / "policy.yaml")
    assert pairing.schema == tmp_path / "schema.yaml" and pairing.by == "folder"
    assert problem is not None and (problem.path.name, problem.line) == ("tamsel.toml", 1)


def test_schema_goes_with_the_policies_that_pair_with_it(tmp_path: Path) -> None:
    _write(tmp_path, {"schema.yaml": "version: 1\n", "a.yaml": "version: 1\nrules: []\n",
                      "b.yaml": "version: 1\nactions: {}\n", "notes.yml": "rules:\n"})
    store = Store()
    store.opened(tmp_path / "c.yaml", "rules: []\n")  # open, never saved
    found = Pairings(store, [tmp_path]).policies_of(tmp_path / "schema.yaml", "schema")
    assert sorted(p.policy.name for p in found) == ["a.yaml", "c.yaml", "notes.yml"]


def test_item_spans_follow_the_rules() -> None:
    lines = lines_of("version: 1\nrules:\n  - id: a\n    effect: block\n  - id: b\nother: 1\n")
    spans = [yaml_nodes.item_span(lines, "policy", number) for number in range(6)]
    assert [None if s is None else (s.first, s.last, s.index) for s in spans] == [
        None, None, (2, 4, 0), (2, 4, 0), (4, 5, 1), None]


@pytest.mark.parametrize("missing", ["pygls", "yaml"])
def test_without_its_packages_the_server_says_what_to_install(missing: str) -> None:
    import subprocess
    import sys

    code = f"import sys; sys.modules[{missing!r}] = None; from tamsel_tools import main; raise SystemExit(main(['lsp']))"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (
        2, "", "tamsel lsp: the language server needs pygls and PyYAML; install them with: pip install 'tamsel[lsp]'\n")


HOSTILE = sorted((Path(__file__).parents[2] / "fuzz" / "regressions").glob("*.yaml"))
HOSTILE_TEXTS = [path.read_text(encoding="utf-8", errors="replace") for path in HOSTILE] + [
    "rules:\n  - &a [*a]\n",
    "version: 1\nrules:\n" + "  - id: x\n    when: " + "[" * 5000 + "\n",
    "\t\x00\ufeff: [\n",
]


@pytest.mark.parametrize("text", HOSTILE_TEXTS, ids=[p.name for p in HOSTILE] + ["self-alias", "deep", "bytes"])
def test_hostile_texts_give_answers(text: str) -> None:
    lines = lines_of(text)
    for document in ("policy", "governance"):
        for line in range(min(len(lines), 4)):
            completion.complete(lines, document, line, len(lines[line]), SCHEMA, ["r"])
            navigation.hover(lines, document, line, 1, SCHEMA, "schema.yaml", lambda index: "")
            navigation.definition(lines, document, line, 1, SCHEMA)
        navigation.rules(lines, document)
    navigation.schema_symbols(text)
    built = diagnostics.build(diagnostics.Texts(text, text, text))
    assert built.compiled is None and sum(len(notes) for notes in built.notes.values()) == 1


POLICY = (PROJECT / "policy.yaml").read_text()
GOVERNED = GOVERNANCE % "          scope: {action: refund}\n          when: {subject: {domain: action, field: currency}}"
# (document, text, line, column, the hover's text or None)
HOVERS = [
    ("policy", POLICY, 5, 45, "`amount`: **number**, field of action 'refund', declared in schema.yaml at line 5"),
    ("policy", POLICY, 15, 21, "`frozen`: **boolean**, field of the actor, declared in schema.yaml at line 13"),
    ("policy", POLICY, 3, 22, "action `refund`, declared in schema.yaml at line 3"),
    ("policy", POLICY.replace("[actor, frozen]", "[actor, frozn]"), 15, 21, "`frozn`: not a declared field of domain 'actor'"),
    ("policy", POLICY.replace("[[action, amount]", "[[action, amount], [1]"), 11, 21,
     "`amount`: **number**, field of action 'refund', declared in schema.yaml at line 5"),
    ("policy", POLICY, 6, 18, None),  # an operator
    ("policy", POLICY, 2, 4, None),  # a key
    ("governance", GOVERNED, 7, 50, "`currency`: **string**, field of action 'refund', declared in schema.yaml at line 6"),
    ("governance", GOVERNED, 6, 28, "action `refund`, declared in schema.yaml at line 3"),
]


@pytest.mark.parametrize("document, text, line, column, expected", HOVERS)
def test_hover(document: str, text: str, line: int, column: int, expected: Optional[str]) -> None:
    found = navigation.hover(lines_of(text), document, line, column, SCHEMA, "schema.yaml", lambda index: "?")
    assert (found[0] if found is not None else None) == expected


def test_hover_on_a_rule_id() -> None:
    found = navigation.hover(lines_of(POLICY), "policy", 13, 12, SCHEMA, "schema.yaml", lambda index: f"asked {index}")
    assert found is not None and found[0] == (
        "rule `frozen_actors`: index 2, in the global rules, effect **require_approval**\n\nasked 2")
    assert found[1] == (13, 8, 13, 21)


# The reader ends a line at U+2028 inside a quoted text; an editor does not. Every place the
# server reads or publishes counts the editor's lines: one LS above moves nothing.
LS_ID = POLICY.replace("id: block_large_refunds", 'id: "block\u2028large"')
LS_SCHEMA = 'note: "a\u2028b"\n' + (PROJECT / "schema.yaml").read_text()


def test_places_below_a_line_separator_in_a_quoted_text() -> None:
    found = navigation.hover(lines_of(LS_ID), "policy", 13, 12, SCHEMA, "schema.yaml", lambda index: "")
    assert found is not None and found[1] == (13, 8, 13, 21)
    found = navigation.hover(lines_of(LS_ID), "policy", 15, 21, SCHEMA, "schema.yaml", lambda index: "")
    assert found is not None and found[0].startswith("`frozen`: **boolean**")
    schema = _schema.read(LS_SCHEMA)
    found = navigation.hover(lines_of(POLICY), "policy", 5, 45, schema, "schema.yaml", lambda index: "")
    assert found is not None and found[0].endswith("declared in schema.yaml at line 6")
    assert [
        (t.line, t.column, t.end_column) for t in navigation.definition(lines_of(POLICY), "policy", 3, 22, schema)
    ] == [(3, 2, 8)]
    moved = [(s.name, s.span[0] - 1, s.span[2] - 1) for s in navigation.schema_symbols(LS_SCHEMA)]
    assert moved == [
        (s.name, s.span[0], s.span[2]) for s in navigation.schema_symbols((PROJECT / "schema.yaml").read_text())
    ]
    rules = navigation.rules(lines_of(LS_ID), "policy")
    assert [(s.name, s.span[0], s.span[2]) for s in rules] == [
        ("block\u2028large", 2, 8),
        ("block_larger_refunds", 9, 12),
        ("frozen_actors", 13, 16),
    ]
    text = RULE.replace("id: r", 'id: "r\u2028s"') % "[[actor, "
    items = completion.complete(lines_of(text), "policy", 4, len("    when: [[actor, "), SCHEMA)
    assert [item.label for item in items] == ["frozen", "role", "trust_level"]


def test_the_store_reads_only_regular_files_from_disk(tmp_path: Path) -> None:
    os.mkfifo(tmp_path / "x.suite.json")  # read, it would wait for a writer forever
    (tmp_path / "folder.yaml").mkdir()
    store = Store()
    assert [store.text(tmp_path / name) for name in ("x.suite.json", "folder.yaml")] == [None, None]
    pairings = Pairings(store, [tmp_path])
    asyncio.run(pairings.ready())
    assert pairings.suites() == []
