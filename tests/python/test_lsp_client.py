"""The language server driven as an editor drives it: a client over standard input and output."""

from __future__ import annotations

import asyncio
import shutil
import sys
from pathlib import Path
from typing import Any, Callable, List, Optional, Sequence

import pytest

pytest_lsp = pytest.importorskip("pytest_lsp")
from lsprotocol import types  # noqa: E402
from pytest_lsp import ClientServerConfig, LanguageClient  # noqa: E402

PROJECT = Path(__file__).parent / "lsp_project"


@pytest.fixture
def workspace(tmp_path: Path) -> Path:
    shutil.copytree(PROJECT, tmp_path / "project")
    return tmp_path / "project"


@pytest_lsp.fixture(config=ClientServerConfig(server_command=[sys.executable, "-m", "tamsel_tools", "lsp"]))
async def client(lsp_client: LanguageClient, workspace: Path):
    params = types.InitializeParams(
        capabilities=pytest_lsp.client_capabilities("neovim"),
        workspace_folders=[types.WorkspaceFolder(uri=workspace.as_uri(), name="project")],
    )
    await lsp_client.initialize_session(params)
    yield
    await lsp_client.shutdown_session()


def _open(client: LanguageClient, path: Path, text: Optional[str] = None) -> str:
    uri = path.as_uri()
    content = path.read_text(encoding="utf-8") if text is None else text
    client.text_document_did_open(
        types.DidOpenTextDocumentParams(types.TextDocumentItem(uri=uri, language_id="yaml", version=1, text=content))
    )
    return uri


def _change(client: LanguageClient, uri: str, text: str, version: int = 2) -> None:
    client.text_document_did_change(
        types.DidChangeTextDocumentParams(
            text_document=types.VersionedTextDocumentIdentifier(uri=uri, version=version),
            content_changes=[types.TextDocumentContentChangeWholeDocument(text=text)],
        )
    )


async def _diagnostics(
    client: LanguageClient, uri: str, wanted: Callable[[Sequence[types.Diagnostic]], bool], seconds: float = 30
) -> Sequence[types.Diagnostic]:
    """The uri's diagnostics once they are as wanted; fails with the last ones seen."""
    async def wait() -> Sequence[types.Diagnostic]:
        while not (uri in client.diagnostics and wanted(client.diagnostics[uri])):
            await client.wait_for_notification(types.TEXT_DOCUMENT_PUBLISH_DIAGNOSTICS)
        return client.diagnostics[uri]

    try:
        return await asyncio.wait_for(wait(), seconds)
    except asyncio.TimeoutError:
        pytest.fail(f"diagnostics of {uri}: {client.diagnostics.get(uri)}")


def _summary(diagnostics: Sequence[types.Diagnostic]) -> List[tuple]:
    return sorted(
        (d.severity, d.code, d.range.start.line, d.range.start.character, d.range.end.character, d.message)
        for d in diagnostics
    )


def _has(code: str) -> Callable[[Sequence[types.Diagnostic]], bool]:
    return lambda diagnostics: any(d.code == code for d in diagnostics)


@pytest.mark.asyncio
async def test_lint_finding_with_its_covering_rule(client: LanguageClient, workspace: Path) -> None:
    uri = _open(client, workspace / "policy.yaml")
    found = await _diagnostics(client, uri, _has("shadowed"))
    assert _summary(found) == [
        (types.DiagnosticSeverity.Warning, "shadowed", 9, 4, 28,
         "rule 'block_larger_refunds' never decides: every input that it matches is decided first by "
         "rule 'block_large_refunds' (index 0)"),
    ]
    (related,) = found[0].related_information or []
    assert (related.location.uri, related.location.range.start.line, related.message) == (
        uri, 2, "rule 'block_large_refunds' (index 0) decides first")
    assert found[0].source == "tamsel"


ERRORS = [
    # (line to replace, its new text, code, line, start, end, message)
    ("      subject: {domain: action, field: amount}", "      subject: {domain: action, field: amont}",
     "unknown_field", 5, 15, 45,
     "unknown field 'amont' in domain 'action'\nhelp: the schema declares these fields of action 'refund': "
     "amount, currency"),
    # Columns in the encoding negotiated with this client, UTF-8: the a umlaut counts two, the emoji four.
    ("      subject: {domain: action, field: amount}", "      subject: {domain: \u00e4\U0001f600, field: amount}",
     "unknown_domain", 5, 15, 46, "unknown domain '\u00e4\U0001f600'\nhelp: the domains are action, actor, snapshot"),
    ("    effect: block", "    effect: deny", "unknown_variant", 8, 12, 16,
     "rules[0].effect: unknown variant `deny`, expected one of `allow`, `block`, `require_approval`"),
]


@pytest.mark.parametrize("old, new, code, line, start, end, message", ERRORS)
@pytest.mark.asyncio
async def test_error_at_the_node_at_fault_then_cleared(
    client: LanguageClient, workspace: Path, old: str, new: str, code: str, line: int, start: int, end: int,
    message: str,
) -> None:
    text = (workspace / "policy.yaml").read_text()
    assert old in text
    uri = _open(client, workspace / "policy.yaml", text.replace(old, new, 1))
    found = await _diagnostics(client, uri, lambda ds: any(d.severity == types.DiagnosticSeverity.Error for d in ds))
    assert _summary(found) == [(types.DiagnosticSeverity.Error, code, line, start, end, message)]
    _change(client, uri, text)
    await _diagnostics(client, uri, lambda ds: not any(d.severity == types.DiagnosticSeverity.Error for d in ds))


@pytest.mark.asyncio
async def test_skipped_key_is_a_warning(client: LanguageClient, workspace: Path) -> None:
    text = (workspace / "policy.yaml").read_text().replace("    effect: require_approval", "    efect: x\n    effect: require_approval")
    uri = _open(client, workspace / "policy.yaml", text)
    found = await _diagnostics(client, uri, _has("skipped_key"))
    assert [(d.code, d.range.start.line, d.range.start.character, d.message) for d in found if d.code == "skipped_key"] == [
        ("skipped_key", 16, 4, "key 'efect' is not read here")]


@pytest.mark.asyncio
async def test_governance_violation_at_the_governance_rule(client: LanguageClient, workspace: Path) -> None:
    text = (workspace / "policy.yaml").read_text().replace("effect: block", "effect: allow")
    _open(client, workspace / "policy.yaml", text)
    governance = (workspace / "governance.yaml").as_uri()
    found = await _diagnostics(client, governance, lambda ds: bool(ds))
    assert [(d.severity, d.range.start.line, d.message) for d in found] == [
        (types.DiagnosticSeverity.Error, 3,
         "every policy needs a blocking refund rule (governance rule 'refund-block-present')")]


COMPLETIONS = [
    # (line, column, labels): positions in the sample policy
    (5, 44, ["amount", "currency"]),  # the mapping form's field
    (5, 30, ["action", "actor", "snapshot"]),  # a domain
    (6, 16, ["equals", "not_equals", "greater_than", "less_than"]),  # a number's operators
    (15, 34, ["equals", "not_equals"]),  # a boolean's operators
    (15, 47, ["true", "false"]),  # a boolean's literal
    (15, 21, ["frozen", "role", "trust_level"]),  # the compact form's field, a global rule
    (3, 21, ["close_account", "refund"]),  # a scope's action
    (8, 14, ["allow", "block", "require_approval"]),
    (7, 25, []),  # a number's literal
]


@pytest.mark.parametrize("line, column, labels", COMPLETIONS)
@pytest.mark.asyncio
async def test_completion(client: LanguageClient, workspace: Path, line: int, column: int, labels: List[str]) -> None:
    uri = _open(client, workspace / "policy.yaml")
    result = await client.text_document_completion_async(
        types.CompletionParams(types.TextDocumentIdentifier(uri=uri), types.Position(line=line, character=column))
    )
    items = result.items if isinstance(result, types.CompletionList) else (result or [])
    assert [item.label for item in items] == labels


@pytest.mark.asyncio
async def test_completion_while_typing_and_in_governance(client: LanguageClient, workspace: Path) -> None:
    text = (workspace / "policy.yaml").read_text()
    uri = _open(client, workspace / "policy.yaml", text.replace("[[action, amount], greater_than", "[[action, ", 1))
    result = await client.text_document_completion_async(
        types.CompletionParams(types.TextDocumentIdentifier(uri=uri), types.Position(line=11, character=20)))
    assert [item.label for item in result.items] == ["amount", "currency"]
    assert [item.detail for item in result.items] == ["number", "string"]
    governance = _open(client, workspace / "governance.yaml")
    result = await client.text_document_completion_async(
        types.CompletionParams(types.TextDocumentIdentifier(uri=governance), types.Position(line=6, character=28)))
    assert [item.label for item in result.items] == ["close_account", "refund"]


@pytest.mark.asyncio
async def test_hover_definition_and_symbols(client: LanguageClient, workspace: Path) -> None:
    uri = _open(client, workspace / "policy.yaml")
    document = types.TextDocumentIdentifier(uri=uri)
    hover = await client.text_document_hover_async(types.HoverParams(document, types.Position(line=5, character=45)))
    assert hover is not None and hover.contents.value == (
        "`amount`: **number**, field of action 'refund', declared in schema.yaml at line 5")
    places = await client.text_document_definition_async(
        types.DefinitionParams(document, types.Position(line=11, character=21)))
    assert [(p.uri, p.range.start.line, p.range.start.character, p.range.end.character) for p in places] == [
        ((workspace / "schema.yaml").as_uri(), 4, 6, 12)]
    places = await client.text_document_definition_async(
        types.DefinitionParams(document, types.Position(line=3, character=22)))
    assert [(p.range.start.line, p.range.start.character) for p in places] == [(2, 2)]
    symbols = await client.text_document_document_symbol_async(types.DocumentSymbolParams(document))
    assert [(s.name, s.range.start.line, s.range.end.line) for s in symbols] == [
        ("block_large_refunds", 2, 8), ("block_larger_refunds", 9, 12), ("frozen_actors", 13, 16)]


@pytest.mark.asyncio
async def test_hover_on_a_rule_says_whether_it_decides(client: LanguageClient, workspace: Path) -> None:
    uri = _open(client, workspace / "policy.yaml")
    await _diagnostics(client, uri, _has("shadowed"))
    document = types.TextDocumentIdentifier(uri=uri)
    texts = []
    for line in (9, 13):
        hover = await client.text_document_hover_async(types.HoverParams(document, types.Position(line=line, character=12)))
        texts.append(hover.contents.value if hover is not None else None)
    assert texts[0] == (
        "rule `block_larger_refunds`: index 1, in the rules of action 'refund', effect **block**\n\n"
        "rule 'block_larger_refunds' never decides: every input that it matches is decided first by "
        "rule 'block_large_refunds' (index 0)")
    assert texts[1] is not None and texts[1].startswith(
        "rule `frozen_actors`: index 2, in the global rules, effect **require_approval**\n\n"
        "it decides, for example, the input `{")
    assert '"actor": {"frozen": true}' in texts[1] and texts[1].endswith("` (checked with the engine)")


@pytest.mark.asyncio
async def test_stays_up_on_what_is_no_document(client: LanguageClient, workspace: Path) -> None:
    uri = _open(client, workspace / "policy.yaml", 'version: 1\nrules:\n  - id: "unclosed\n')
    found = await _diagnostics(client, uri, lambda ds: bool(ds))
    assert [(d.code, d.range.start.line, d.message) for d in found] == [
        ("yaml_syntax", 3, "found unexpected end of stream, while scanning a quoted scalar at line 3 column 9")]
    document = types.TextDocumentIdentifier(uri=uri)
    past = types.Position(line=400, character=3)
    assert await client.text_document_hover_async(types.HoverParams(document, past)) is None
    assert await client.text_document_definition_async(types.DefinitionParams(document, past)) is None
    (workspace / "schema.yaml").unlink()
    _change(client, uri, (workspace / "policy.yaml").read_text())
    found = await _diagnostics(client, uri, _has("pairing"))
    assert [d.message.replace(str(workspace), "WORKSPACE") for d in found] == [
        "no schema goes with this policy: name it in a project file ([tool.tamsel] in pyproject.toml, or "
        "tamsel.toml), in a suite, or put schema.yaml beside it",
        "project file WORKSPACE/tamsel.toml:1:10: 'schema': no such file: schema.yaml",
    ]
    symbols = await client.text_document_document_symbol_async(types.DocumentSymbolParams(document))
    assert len(symbols) == 3


@pytest.mark.asyncio
async def test_schema_errors_on_the_schema_with_its_policy(client: LanguageClient, workspace: Path) -> None:
    text = (workspace / "schema.yaml").read_text()
    uri = _open(client, workspace / "schema.yaml", text.replace("amount: number", "amount: integer"))
    found = await _diagnostics(client, uri, lambda ds: bool(ds))
    assert _summary(found) == [(
        types.DiagnosticSeverity.Error, "unknown_variant", 4, 14, 21,
        "actions.refund.fields.amount: unknown variant `integer`, expected one of `string`, `number`, `boolean`")]
    # The policy that goes with it is checked with the schema as it stands in the editor.
    _change(client, uri, text.replace("amount: number", "amount: string"))
    policy = (workspace / "policy.yaml").as_uri()
    found = await _diagnostics(client, policy, lambda ds: bool(ds))
    assert [(d.code, d.range.start.line) for d in found] == [("type_mismatch", 5)]
    await _diagnostics(client, uri, lambda ds: not ds)


@pytest.mark.asyncio
async def test_a_policy_past_the_commands_cap(client: LanguageClient, workspace: Path) -> None:
    # Past a quarter of --max-bytes (8 MiB by default), as for `tamsel check`: one diagnostic, soon.
    rule = "  - id: r%d\n    scope: {action: refund}\n    when: [[action, amount], greater_than, {literal: %d}]\n    effect: block\n"
    count = 20_000_000 // len(rule % (0, 0)) + 1
    text = "version: 1\nrules:\n" + "".join(rule % (i, i) for i in range(count)) + "    note: the end\n"
    assert len(text) > 20_000_000
    uri = _open(client, workspace / "policy.yaml", text)
    found = await _diagnostics(client, uri, lambda ds: bool(ds), seconds=60)
    schema = len((workspace / "schema.yaml").read_bytes())  # read before it
    assert [(d.code, d.range.start.line, d.message) for d in found] == [(
        "unreadable", 0, "not checked: larger than the limit of 8 MiB for a policy's documents together, with the "
        f"{schema} bytes of those read before it (a quarter of --max-bytes, which raises it)")]
    document = types.TextDocumentIdentifier(uri=uri)
    result = await client.text_document_completion_async(
        types.CompletionParams(document, types.Position(line=4 * count, character=22)))
    assert [item.label for item in result.items] == ["amount", "currency"]


@pytest.mark.asyncio
async def test_diagnostics_of_a_document_are_capped(client: LanguageClient, workspace: Path) -> None:
    text = (workspace / "policy.yaml").read_text() + "".join(f"extra{i}: 1\n" for i in range(250))
    uri = _open(client, workspace / "policy.yaml", text)
    found = await _diagnostics(client, uri, _has("left_out"))
    assert len(found) == 101 and [d.code for d in found].count("skipped_key") == 100
    assert found[-1].message == "150 more diagnostics of this document are left out"


# Lines that viewers and the reader count differently: each an error at its character.
INVISIBLE = [
    ("rules:\n", "rules:\n  # allow_all was removed\u2028  - {id: allow_all, scope: {global: true}, "
     "when: [[actor, frozen], equals, {literal: false}], effect: allow}\n", 2, 25, "U+2028 (LINE SEPARATOR)"),
    ("id: block_large_refunds", "id: block\u202e_large_refunds", 2, 13, "U+202E (RIGHT-TO-LEFT OVERRIDE)"),
]


@pytest.mark.parametrize("old, new, line, character, name", INVISIBLE)
@pytest.mark.asyncio
async def test_characters_read_differently_are_errors(
    client: LanguageClient, workspace: Path, old: str, new: str, line: int, character: int, name: str
) -> None:
    text = (workspace / "policy.yaml").read_text()
    assert old in text
    uri = _open(client, workspace / "policy.yaml", text.replace(old, new, 1))
    found = await _diagnostics(client, uri, _has("invisible_character"))
    (error,) = [d for d in found if d.code == "invisible_character"]
    assert (error.severity, error.range.start.line, error.range.start.character) == (1, line, character)
    assert name in error.message and "--allow-invisible-breaks" in error.message


@pytest.mark.parametrize("spoil", [
    lambda text: text.replace("\n", "\r"),
    lambda text: "\ufeff" + text,
    lambda text: text.replace("\n", "\r\n"),
])
@pytest.mark.asyncio
async def test_a_policy_with_cr_lines_or_a_bom_gets_its_diagnostics(
    client: LanguageClient, workspace: Path, spoil: Callable[[str], str]
) -> None:
    # Named draft.yaml, it is a policy by its keys alone.
    text = (workspace / "policy.yaml").read_text().replace("effect: block", "effect: deny", 1)
    (workspace / "draft.yaml").write_text("")
    uri = _open(client, workspace / "draft.yaml", spoil(text))
    found = await _diagnostics(client, uri, _has("unknown_variant"))
    assert [(d.code, d.range.start.line, d.range.start.character) for d in found] == [("unknown_variant", 8, 12)]


@pytest.mark.asyncio
async def test_a_large_suite_in_the_workspace_holds_nothing_up(client: LanguageClient, workspace: Path) -> None:
    case = '  {"name": "c%d", "input": {"action": {"type": "refund", "amount": %d}}, "expect": {"effect": "block"}},\n'
    body = "".join(case % (i, i) for i in range(10_000_000 // len(case % (0, 0)) + 1))
    suite = workspace / "big.suite.json"
    suite.write_text('{"schema": "schema.yaml", "policy": "policy.yaml", "cases": [\n' + body[:-2] + "\n]}\n")
    client.workspace_did_change_watched_files(types.DidChangeWatchedFilesParams(
        changes=[types.FileEvent(uri=suite.as_uri(), type=types.FileChangeType.Created)]))
    uri = _open(client, workspace / "policy.yaml")
    params = types.HoverParams(types.TextDocumentIdentifier(uri=uri), types.Position(line=5, character=45))
    hover = await asyncio.wait_for(client.text_document_hover_async(params), 5)
    assert hover is not None
    await _diagnostics(client, uri, _has("shadowed"), seconds=60)


@pytest.mark.asyncio
async def test_a_cancelled_request_is_not_answered(client: LanguageClient, workspace: Path) -> None:
    from pygls.exceptions import JsonRpcRequestCancelled

    uri = _open(client, workspace / "policy.yaml")
    params = types.HoverParams(types.TextDocumentIdentifier(uri=uri), types.Position(line=5, character=45))
    for attempt in range(3):
        sent = client.protocol.send_request(types.TEXT_DOCUMENT_HOVER, params, msg_id=f"cancelled-{attempt}")
        client.protocol.notify(types.CANCEL_REQUEST, types.CancelParams(id=f"cancelled-{attempt}"))
        with pytest.raises(JsonRpcRequestCancelled):
            await asyncio.wrap_future(sent)
    # and the server goes on answering
    hover = await client.text_document_hover_async(params)
    assert hover is not None and "**number**" in hover.contents.value


# Rule "either" is shadowed by the two before it together, which only the solver finds.
UNION = """version: 1
rules:
  - id: large
    scope: {action: refund}
    when: [[action, amount], greater_than, {literal: 50}]
    effect: block
  - id: negative
    scope: {action: refund}
    when: [[action, amount], less_than, {literal: 0}]
    effect: block
  - id: either
    scope: {action: refund}
    when:
      any:
        - [[action, amount], greater_than, {literal: 100}]
        - [[action, amount], less_than, {literal: -5}]
    effect: allow
"""


@pytest_lsp.fixture(config=ClientServerConfig(server_command=[sys.executable, "-m", "tamsel_tools", "lsp"]))
async def hurried_client(lsp_client: LanguageClient, workspace: Path):
    params = types.InitializeParams(
        capabilities=pytest_lsp.client_capabilities("neovim"),
        workspace_folders=[types.WorkspaceFolder(uri=workspace.as_uri(), name="project")],
        initialization_options={"lintSeconds": 1e-9},
    )
    await lsp_client.initialize_session(params)
    yield
    await lsp_client.shutdown_session()


@pytest.mark.asyncio
async def test_covering_rules_as_related_information(client: LanguageClient, workspace: Path) -> None:
    uri = _open(client, workspace / "policy.yaml", UNION)
    (found,) = await _diagnostics(client, uri, _has("shadowed"))
    assert [(r.location.range.start.line, r.message) for r in found.related_information or []] == [
        (2, "rule 'large' (index 0) decides first"), (6, "rule 'negative' (index 1) decides first")]


@pytest.mark.asyncio
async def test_what_lint_leaves_undecided_within_its_budget(hurried_client: LanguageClient, workspace: Path) -> None:
    uri = _open(hurried_client, workspace / "policy.yaml", UNION)
    found = await _diagnostics(hurried_client, uri, _has("undecided"))
    assert _summary(found) == [(types.DiagnosticSeverity.Information, "undecided", 10, 4, 14,
                                "whether rule 'either' can decide was not settled within lint's budget of 1e-09 seconds")]


@pytest.mark.asyncio
async def test_governance_definitions_and_violations_at_policy_rules(client: LanguageClient, workspace: Path) -> None:
    governance = (workspace / "governance.yaml").read_text() + (
        "    - id: refund-fields\n      select:\n        where:\n          scope: {action: refund}\n"
        "      must:\n        allowed_fields: [action.currency]\n      error: refund rules read the currency only\n")
    governance_uri = _open(client, workspace / "governance.yaml", governance)
    policy_uri = _open(client, workspace / "policy.yaml")
    found = await _diagnostics(client, policy_uri, _has("governance_violation"))
    assert [(d.range.start.line, d.message) for d in found] == [
        (2, "refund rules read the currency only (governance rule 'refund-fields')"),
    ]
    document = types.TextDocumentIdentifier(uri=governance_uri)
    places = await client.text_document_definition_async(
        types.DefinitionParams(document, types.Position(line=15, character=30)))
    assert [(p.uri, p.range.start.line, p.range.start.character) for p in places] == [
        ((workspace / "schema.yaml").as_uri(), 5, 6)]


@pytest.mark.asyncio
async def test_a_schema_without_policy_is_checked_alone(client: LanguageClient, workspace: Path) -> None:
    (workspace / "lone").mkdir()
    uri = _open(client, workspace / "lone" / "schema.yaml", "version: 1\nactions: {}\nactor: {fields: {}}\n")
    found = await _diagnostics(client, uri, lambda ds: bool(ds))
    assert [(d.code, d.range.start.line, d.message) for d in found] == [
        ("missing_field", 0, "missing field `snapshot`")]
    _change(client, uri, "version: 1\nactions: {}\nactor: {fields: {}}\nsnapshot: {fields: {}}\n")
    await _diagnostics(client, uri, lambda ds: not ds)


@pytest_lsp.fixture(config=ClientServerConfig(server_command=[sys.executable, "-m", "tamsel_tools", "lsp"]))
async def plain_client(lsp_client: LanguageClient, workspace: Path):
    """A client that states no capabilities: positions in UTF-16, symbols without a tree."""
    params = types.InitializeParams(
        capabilities=types.ClientCapabilities(),
        workspace_folders=[types.WorkspaceFolder(uri=workspace.as_uri(), name="project")],
    )
    await lsp_client.initialize_session(params)
    yield
    await lsp_client.shutdown_session()


@pytest.mark.asyncio
async def test_a_client_without_capabilities(plain_client: LanguageClient, workspace: Path) -> None:
    text = (workspace / "policy.yaml").read_text().replace("{domain: action, field: amount}", "{domain: \u00e4\U0001f600, field: amount}")
    uri = _open(plain_client, workspace / "policy.yaml", text)
    found = await _diagnostics(plain_client, uri, lambda ds: bool(ds))
    # The a umlaut counts one UTF-16 unit, the emoji two.
    assert [(d.code, d.range.start.character, d.range.end.character) for d in found] == [("unknown_domain", 15, 43)]
    schema = _open(plain_client, workspace / "schema.yaml")
    symbols = await plain_client.text_document_document_symbol_async(
        types.DocumentSymbolParams(types.TextDocumentIdentifier(uri=schema)))
    assert [(s.name, s.container_name, s.location.range.start.line) for s in symbols][:4] == [
        ("refund", None, 2), ("amount", "refund", 4), ("currency", "refund", 5), ("close_account", None, 6)]


def _lint_processes(server: int) -> List[int]:
    """The lint processes that the server started and that still run."""
    found = []
    for entry in Path("/proc").iterdir():
        try:
            stat = (entry / "stat").read_text()
            command = (entry / "cmdline").read_bytes()
        except (OSError, ValueError):
            continue
        fields = stat.rsplit(")", 1)[-1].split()
        if entry.name.isdigit() and int(fields[1]) == server and fields[0] != "Z" and b"tamsel_tools.lsp.worker" in command:
            found.append(int(entry.name))
    return found


async def _until(check: Callable[[], Any], seconds: float) -> Any:
    for _ in range(int(seconds / 0.05)):
        value = check()
        if value:
            return value
        await asyncio.sleep(0.05)
    return check()


@pytest.mark.asyncio
async def test_the_next_change_ends_the_lint_in_progress(client: LanguageClient, workspace: Path) -> None:
    rule = ("  - id: r%d\n    scope: {action: refund}\n    when:\n      any:\n"
            "        - [[action, amount], greater_than, {literal: %d}]\n"
            "        - [[action, amount], less_than, {literal: -%d}]\n    effect: block\n")
    text = "version: 1\nrules:\n" + "".join(rule % (i, 1000 - i, i) for i in range(3000))  # seconds of lint
    uri = _open(client, workspace / "policy.yaml", text)
    server = client._server.pid  # type: ignore[union-attr]
    (first,) = await _until(lambda: _lint_processes(server), 20)
    _change(client, uri, text.replace("{literal: 1000}", "{literal: 1001}"))
    later = await _until(lambda: [pid for pid in _lint_processes(server) if pid != first], 20)
    assert first not in _lint_processes(server) and len(later) == 1


SUITES = [
    # A JSON suite is written anew with the cases after its own; a YAML suite whose cases are its
    # last key, as a block list, gets them appended.
    ("a.suite.json", '{"cases": [{"name": "large", "input": {"action": {"type": "refund", "amount": 5000}}, '
                     '"expect": {"effect": "block"}}]}\n'),
    ("b.suite.yaml", "cases:\n  - name: large\n    input: {action: {type: refund, amount: 5000}}\n"
                     "    expect: {effect: block}\n"),
]


@pytest.mark.parametrize("name, text", SUITES)
@pytest.mark.asyncio
async def test_code_action_adds_the_suggested_cases_to_a_suite(
    client: LanguageClient, workspace: Path, name: str, text: str
) -> None:
    pytest.importorskip("z3")
    import yaml

    import tamsel
    from tamsel_tools.base.strict_json import loads

    (workspace / name).write_text(text)
    uri = _open(client, workspace / name)
    start = types.Position(line=0, character=0)
    actions = await client.text_document_code_action_async(types.CodeActionParams(
        text_document=types.TextDocumentIdentifier(uri=uri), range=types.Range(start=start, end=start),
        context=types.CodeActionContext(diagnostics=[])))
    assert [(a.title, a.kind, a.edit) for a in actions] == [
        ("Add the suggested cases for the gaps of coverage", types.CodeActionKind.Source, None)]
    resolved = await asyncio.wait_for(client.code_action_resolve_async(actions[0]), 60)
    (edit,) = resolved.edit.changes[uri]
    starts = [0] + [i + 1 for i, c in enumerate(text) if c == "\n"]  # the suites here are ASCII
    at = starts[edit.range.start.line] + edit.range.start.character
    assert starts[edit.range.end.line] + edit.range.end.character in (at, len(text))
    after_edit = text[:at] + edit.new_text
    suite = loads(after_edit) if name.endswith(".json") else yaml.safe_load(after_edit)
    added = suite["cases"][1:]
    engine = tamsel.PyTamsel(*[(workspace / f).read_text() for f in ("schema.yaml", "policy.yaml", "governance.yaml")])
    assert suite["cases"][0]["name"] == "large" and added
    assert all(case["expect"] == engine.evaluate(case["input"]) for case in added)


@pytest.mark.asyncio
async def test_no_code_action_outside_a_suite(client: LanguageClient, workspace: Path) -> None:
    uri = _open(client, workspace / "policy.yaml")
    start = types.Position(line=0, character=0)
    actions = await client.text_document_code_action_async(types.CodeActionParams(
        text_document=types.TextDocumentIdentifier(uri=uri), range=types.Range(start=start, end=start),
        context=types.CodeActionContext(diagnostics=[])))
    assert not actions



PROPERTY_SUITE = """\
{"properties": [
  {"name": "nothing is blocked", "expect": {"not_effect": "block"}},
  {"name": "every decider is a rule or the default", "expect": {"matched_rule": [
    "block_large_refunds", "block_larger_refunds", "frozen_actors", null]}}
]}
"""


@pytest.mark.asyncio
async def test_a_refuted_property_of_an_open_suite_is_a_diagnostic_on_it(client: LanguageClient, workspace: Path) -> None:
    pytest.importorskip("z3")
    path = workspace / "p.suite.json"
    path.write_text(PROPERTY_SUITE)
    uri = _open(client, path)
    found = await _diagnostics(client, uri, _has("refuted_property"), seconds=60)
    assert [(d.severity, d.code, d.range.start.line, d.range.start.character) for d in found] == [
        (types.DiagnosticSeverity.Error, "refuted_property", 1, 2)]
    assert found[0].message.startswith('nothing is blocked: refuted: {"action": {"type": "refund"')
    assert '} is decided {"effect": "block", "matched_rule": "block_' in found[0].message
    # Saved with a fault, the diagnostic goes and the fault shows where it stands.
    path.write_text(PROPERTY_SUITE.replace('"not_effect": "block"', '"not_effect": "deny"'))
    client.text_document_did_save(types.DidSaveTextDocumentParams(types.TextDocumentIdentifier(uri=uri)))
    found = await _diagnostics(client, uri, _has("suite"), seconds=60)
    assert [(d.code, d.range.start.line) for d in found] == [("suite", 1)]
    assert found[0].message == (
        "properties[0].expect.not_effect: unknown effect 'deny', expected one of allow, block, require_approval")
