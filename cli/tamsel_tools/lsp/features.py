"""The requests and notifications the server answers: documents opened, changed, saved and
closed; completion, hover, definition and document symbols, each answered on the server's
thread after a short wait for its cancellation, and never with a fault."""

from __future__ import annotations

import asyncio
import logging
import os
import sys
from pathlib import Path
from typing import Callable, List, Optional, Sequence, Tuple, TypeVar, Union

from lsprotocol import types

from tamsel_tools.io.reading import Limits
from tamsel_tools.lsp import completion as _completion
from tamsel_tools.lsp import navigation, suggesting, transport
from tamsel_tools.lsp.server import CANCEL_WINDOW, TamselServer
from tamsel_tools.lsp.store import lines_of, path_of
from tamsel_tools.lsp.transport import end_on_signals, log

T = TypeVar("T")


def _path(uri: str) -> Optional[Path]:
    return path_of(uri)


def server(limits: Limits) -> TamselServer:
    ls = TamselServer(limits)

    @ls.feature(types.INITIALIZE)
    def initialize(ls: TamselServer, params: types.InitializeParams) -> None:
        # {"lintSeconds": N}: the solver's budget for one lint.
        options = params.initialization_options
        seconds = options.get("lintSeconds") if isinstance(options, dict) else None
        if isinstance(seconds, (int, float)) and not isinstance(seconds, bool) and 0 < seconds < 86400:
            ls.lint_seconds = float(seconds)

    @ls.feature(types.INITIALIZED)
    def initialized(ls: TamselServer, params: types.InitializedParams) -> None:
        folders = [path_of(folder.uri) for folder in ls.workspace.folders.values()]
        root = ls.workspace.root_path
        found = [each for each in folders if each is not None] or ([Path(root)] if root else [])
        ls.pairings.folders = found
        # The suites are read from the start, in the background.
        ls.reading = asyncio.ensure_future(ls.pairings.ready())

    def _opened(ls: TamselServer, uri: str) -> Optional[Path]:
        path = _path(uri)
        if path is not None:
            ls.store.opened(path, ls.workspace.get_text_document(uri).source, uri)
        return path

    @ls.feature(types.TEXT_DOCUMENT_DID_OPEN)
    def did_open(ls: TamselServer, params: types.DidOpenTextDocumentParams) -> None:
        path = _opened(ls, params.text_document.uri)
        if path is not None:
            ls.schedule(path)

    @ls.feature(types.TEXT_DOCUMENT_DID_CHANGE)
    def did_change(ls: TamselServer, params: types.DidChangeTextDocumentParams) -> None:
        path = _opened(ls, params.text_document.uri)
        if path is not None:
            ls.schedule(path)

    @ls.feature(types.TEXT_DOCUMENT_DID_SAVE)
    def did_save(ls: TamselServer, params: types.DidSaveTextDocumentParams) -> None:
        path = _path(params.text_document.uri)
        if path is not None:
            ls.schedule(path)

    @ls.feature(types.TEXT_DOCUMENT_DID_CLOSE)
    def did_close(ls: TamselServer, params: types.DidCloseTextDocumentParams) -> None:
        path = _path(params.text_document.uri)
        if path is None:
            return
        ls.store.closed(path)
        ls.guarded(lambda: ls.forget(path), None)
        for key, build in list(ls.builds.items()):
            if path in build.paths.values():
                ls.schedule(Path(key))

    @ls.feature(types.WORKSPACE_DID_CHANGE_WATCHED_FILES)
    def watched(ls: TamselServer, params: types.DidChangeWatchedFilesParams) -> None:
        for change in params.changes:
            path = _path(change.uri)
            if path is not None and not ls.store.is_open(path):
                ls.schedule(path)

    def _document(
        ls: TamselServer, uri: str, position: types.Position
    ) -> Optional[Tuple[Path, str, Sequence[str], str, int, int]]:
        path = _path(uri)
        if path is None:
            return None
        text = ls.store.text(path)
        if text is None:
            return None
        # Completion, hover and definition answer in the documents that name schema entries.
        role = ls.pairings.role(path, text)
        if role not in ("policy", "governance"):
            return None
        lines = lines_of(text)
        where = ls.server_position(lines, position)
        if where is None:
            return None
        return path, text, lines, role, where[0], where[1]

    async def _request(ls: TamselServer, work: Callable[[], T], default: T) -> T:
        # The messages already sent are read first: a request cancelled right after it was
        # sent (the user typed on) is not answered.
        await asyncio.sleep(CANCEL_WINDOW)
        return ls.guarded(work, default)

    # On a suite: the cases that close its coverage's gaps, found when the action is chosen.
    @ls.feature(
        types.TEXT_DOCUMENT_CODE_ACTION,
        types.CodeActionOptions(code_action_kinds=[types.CodeActionKind.Source], resolve_provider=True),
    )
    def code_action(ls: TamselServer, params: types.CodeActionParams) -> List[types.CodeAction]:
        return ls.guarded(lambda: suggesting.offer(params.text_document.uri), [])

    @ls.feature(types.CODE_ACTION_RESOLVE)
    async def code_action_resolve(ls: TamselServer, params: types.CodeAction) -> types.CodeAction:
        return await suggesting.resolve(ls, params)

    @ls.feature(types.TEXT_DOCUMENT_COMPLETION, types.CompletionOptions(trigger_characters=[" ", "[", ","]))
    async def completion(ls: TamselServer, params: types.CompletionParams) -> Optional[types.CompletionList]:
        def work() -> Optional[types.CompletionList]:
            found = _document(ls, params.text_document.uri, params.position)
            if found is None:
                return None
            path, _, lines, role, line, column = found
            _, schema, ids = ls.schema_of(path, role)
            items = _completion.complete(lines, role, line, column, schema, ids)
            return types.CompletionList(is_incomplete=False, items=items)

        return await _request(ls, work, None)

    @ls.feature(types.TEXT_DOCUMENT_HOVER)
    async def hover(ls: TamselServer, params: types.HoverParams) -> Optional[types.Hover]:
        def work() -> Optional[types.Hover]:
            found = _document(ls, params.text_document.uri, params.position)
            if found is None:
                return None
            path, text, lines, role, line, column = found
            schema_path, schema, _ = ls.schema_of(path, role)
            name = schema_path.name if schema_path is not None else "the schema"
            answer = navigation.hover(lines, role, line, column, schema, name, ls.decides(path, text))
            if answer is None:
                return None
            content = types.MarkupContent(kind=types.MarkupKind.Markdown, value=answer[0])
            return types.Hover(contents=content, range=ls.client_range(lines, answer[1]))

        return await _request(ls, work, None)

    @ls.feature(types.TEXT_DOCUMENT_DEFINITION)
    async def definition(ls: TamselServer, params: types.DefinitionParams) -> Optional[List[types.Location]]:
        def work() -> Optional[List[types.Location]]:
            found = _document(ls, params.text_document.uri, params.position)
            if found is None:
                return None
            path, _, lines, role, line, column = found
            schema_path, schema, _ = ls.schema_of(path, role)
            if schema_path is None:
                return None
            schema_lines = ls._lines(schema_path)
            return [
                types.Location(
                    uri=ls.store.uri(schema_path),
                    range=ls.client_range(schema_lines, (t.line, t.column, t.line, t.end_column)),
                )
                for t in navigation.definition(lines, role, line, column, schema)
            ] or None

        return await _request(ls, work, None)

    @ls.feature(types.TEXT_DOCUMENT_DOCUMENT_SYMBOL)
    async def symbols(
        ls: TamselServer, params: types.DocumentSymbolParams
    ) -> Optional[Union[List[types.DocumentSymbol], List[types.SymbolInformation]]]:
        def work() -> Optional[Union[List[types.DocumentSymbol], List[types.SymbolInformation]]]:
            path = _path(params.text_document.uri)
            text = ls.store.text(path) if path is not None else None
            if path is None or text is None:
                return None
            role = ls.pairings.role(path, text)
            lines = lines_of(text)
            if role in ("policy", "governance"):
                found = navigation.rules(lines, role)
            elif role == "schema":
                found = navigation.schema_symbols(text)
            else:
                return None
            if _hierarchical(ls):
                return [_symbol(ls, lines, each) for each in found]
            return [flat for each in found for flat in _flat(ls, params.text_document.uri, lines, each, None)]

        return await _request(ls, work, None)

    return ls


_KINDS = {
    "rule": types.SymbolKind.Function,
    "action": types.SymbolKind.Class,
    "block": types.SymbolKind.Struct,
    "field": types.SymbolKind.Field,
}


def _hierarchical(ls: TamselServer) -> bool:
    document = ls.client_capabilities.text_document
    symbols = document.document_symbol if document is not None else None
    return bool(symbols is not None and symbols.hierarchical_document_symbol_support)


def _flat(
    ls: TamselServer, uri: str, lines: Sequence[str], symbol: navigation.Symbol, container: Optional[str]
) -> List[types.SymbolInformation]:
    """The symbol and its children as a flat list, for a client that shows no tree."""
    location = types.Location(uri=uri, range=ls.client_range(lines, symbol.span))
    found = [
        types.SymbolInformation(
            name=symbol.name or " ", kind=_KINDS[symbol.kind], location=location, container_name=container
        )
    ]
    for child in symbol.children:
        found += _flat(ls, uri, lines, child, symbol.name)
    return found


def _symbol(ls: TamselServer, lines: Sequence[str], symbol: navigation.Symbol) -> types.DocumentSymbol:
    whole = ls.client_range(lines, symbol.span)
    name = ls.client_range(lines, symbol.name_span)
    # The name's range must lie within the whole's, as clients check.
    if (name.start.line, name.start.character) < (whole.start.line, whole.start.character):
        name = types.Range(start=whole.start, end=whole.start)
    return types.DocumentSymbol(
        name=symbol.name or " ",
        detail=symbol.detail,
        kind=_KINDS[symbol.kind],
        range=whole,
        selection_range=name,
        children=[_symbol(ls, lines, child) for child in symbol.children] or None,
    )


class _OneLine(logging.Handler):
    """The server library's log, a line a record and without its traceback: what a client
    sends wrong is the client's fault, and the session goes on."""

    def emit(self, record: logging.LogRecord) -> None:
        try:
            log(record.getMessage())
        except Exception:  # noqa: BLE001 - a record whose message cannot be made is dropped
            pass


def _end_lints(ls: TamselServer) -> Callable[[], None]:
    def end() -> None:
        for process in list(ls.processes.values()):
            try:
                process.kill()
            except (OSError, ProcessLookupError):
                pass

    return end


def serve(limits: Limits) -> int:
    library = logging.getLogger("pygls")
    library.addHandler(_OneLine(logging.WARNING))
    library.propagate = False
    # Copies of the standard streams, which the server closes when the client exits; the
    # command's own stay open for its last words.
    stdin = os.fdopen(os.dup(sys.stdin.fileno()), "rb")
    stdout = os.fdopen(os.dup(sys.stdout.fileno()), "wb")
    ls = server(limits)
    end_on_signals(_end_lints(ls))
    return transport.serve(ls, stdin, stdout, limits.max_bytes, _end_lints(ls))
