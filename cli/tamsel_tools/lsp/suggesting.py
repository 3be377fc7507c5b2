"""The code action on a suite that adds the cases `suggest` finds for the gaps of its coverage.

It is offered at once on any suite and resolved when chosen: the solver runs in a process of its
own (`suggest_worker`), awaited, so the server's thread stays free for requests. The gaps are
those of the suite as saved; the cases go at the end of the editor's text of its `cases` list:
a JSON suite is written anew with them (JSON holds no comments to lose), a YAML suite gets them
appended when `cases` is its last key, as a block list; otherwise it is left as it is and the
log says to run `tamsel suggest`.
"""

from __future__ import annotations

import asyncio
import importlib
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

from lsprotocol import types

from tamsel_tools.base import strict_json
from tamsel_tools.base.nodes import TreeError, yaml_tree
from tamsel_tools.io.reading import SUITE_ENDINGS
from tamsel_tools.lsp.processes import GRACE, ask
from tamsel_tools.lsp.store import lines_of, path_of

TITLE = "Add the suggested cases for the gaps of coverage"


def offer(uri: str) -> List[types.CodeAction]:
    """The action, unresolved, on a suite; none on another document."""
    path = path_of(uri)
    if path is None or not path.name.endswith(SUITE_ENDINGS):
        return []
    return [types.CodeAction(title=TITLE, kind=types.CodeActionKind.Source, data={"uri": uri})]


async def resolve(ls: Any, action: types.CodeAction) -> types.CodeAction:
    """The action with its edit; without one (and a line in the log) when there is nothing to add."""
    data = action.data if isinstance(action.data, dict) else {}
    path = path_of(str(data.get("uri", "")))
    text = None if path is None else ls.store.text(path)
    if path is None or text is None:
        return action
    reply = await _ask(ls, path)
    cases = reply.get("cases") or []
    if "error" in reply or not cases:
        why = reply.get("error") or "every gap is closed, or none can be"
        ls.window_log_message(types.LogMessageParams(types.MessageType.Info, f"suggest: {why}"))
        return action
    edit = json_edit(text, cases) if path.name.endswith(".json") else yaml_edit(text, cases)
    if edit is None:
        message = "suggest: the suite's cases are not its last key as a block list; run tamsel suggest"
        ls.window_log_message(types.LogMessageParams(types.MessageType.Info, message))
        return action
    action.edit = types.WorkspaceEdit(changes={str(data["uri"]): [edit]})
    return action


async def _ask(ls: Any, path: Path) -> Dict[str, Any]:
    request = {
        "suite": str(path),
        "seconds": ls.lint_seconds,
        "max_bytes": ls.limits.max_bytes,
        "allow_outside": ls.limits.allow_outside,
    }
    try:
        return await ask("tamsel_tools.lsp.suggest_worker", request, ls.lint_seconds + GRACE, ls.processes)
    except asyncio.TimeoutError:
        return {"error": f"not finished within {ls.lint_seconds + GRACE:g} seconds"}
    except ValueError:
        return {"error": "no answer"}


def _end(text: str) -> types.Position:
    lines = lines_of(text) or ("",)
    last = lines[-1]
    return types.Position(line=len(lines) - 1, character=len(last.encode("utf-16-le")) // 2)


def json_edit(text: str, cases: List[Any]) -> Optional[types.TextEdit]:
    """The whole suite written anew with the cases after its own."""
    try:
        data = strict_json.loads(text)
    except ValueError:
        return None
    if not isinstance(data, dict) or not isinstance(data.get("cases", []), list):
        return None
    data["cases"] = [*data.get("cases", []), *cases]
    new_text = strict_json.dumps(data, indent=2, ensure_ascii=False) + "\n"
    return types.TextEdit(
        range=types.Range(start=types.Position(line=0, character=0), end=_end(text)), new_text=new_text
    )


def yaml_edit(text: str, cases: List[Any]) -> Optional[types.TextEdit]:
    """The cases appended to the end of the text, when the suite's last key is `cases` and its
    value is a block list; None otherwise."""
    placed = _block_list_at_end(text)
    if placed is None:
        return None
    yaml: Any = importlib.import_module("yaml")
    listed = yaml.safe_dump(strict_json.encode(cases), sort_keys=False, allow_unicode=True, default_flow_style=False)
    indent = " " * placed
    added = "".join(indent + line + "\n" for line in listed.splitlines())
    before = "" if text.endswith("\n") or not text else "\n"
    end = _end(text)
    return types.TextEdit(range=types.Range(start=end, end=end), new_text=before + added)


def _block_list_at_end(text: str) -> Optional[int]:
    """The indent of the `- ` of the suite's cases when they are its last key, as a block list of
    mappings on lines of their own; None otherwise."""
    try:
        yaml: Any = importlib.import_module("yaml")
        tree = yaml_tree(yaml, text)
    except (ImportError, TreeError):
        return None
    except Exception:  # noqa: BLE001 - a text that PyYAML refuses has no place to add to
        return None
    if tree.kind != "mapping" or not tree.pairs or tree.pairs[-1][0].text != "cases":
        return None
    key, value = tree.pairs[-1]
    first = _first_item(value)
    if value.kind != "sequence" or first is None or key.line is None:
        return None
    line, column = first
    if line <= key.line or column < 3:
        return None
    return column - 3  # the item's mapping starts two columns after its "- " (columns from 1)


def _first_item(value: Any) -> Optional[Tuple[int, int]]:
    if value.kind != "sequence" or not value.items:
        return None
    item = value.items[0]
    if item.kind != "mapping" or item.line is None or item.column is None:
        return None
    return item.line, item.column
