"""The tools' import contract: every import of every module of tamsel_tools, at module level
and inside functions, runs down the layers of cli/tamsel_tools/layers.txt, and no modules import
each other in a circle."""

import ast
import importlib
import subprocess
import sys
from pathlib import Path
from typing import Dict, List, Mapping, Set

import pytest

PACKAGE = Path(__file__).resolve().parents[2] / "cli" / "tamsel_tools"
ROOT = "tamsel_tools"


def read_table(text: str) -> Dict[str, Set[str]]:
    """Each layer and every layer below it that it may import, from lines "LAYER BUILDS_ON...";
    a layer may build only on layers named before it."""
    table: Dict[str, Set[str]] = {}
    for number, line in enumerate(text.splitlines(), start=1):
        words = line.split("#", 1)[0].split()
        if not words:
            continue
        layer, below = words[0], words[1:]
        unknown = [name for name in below if name not in table]
        if layer in table or unknown:
            raise ValueError(f"layers.txt:{number}: {layer} named twice, or built on {unknown} not named before it")
        table[layer] = {layer}.union(*(table[name] for name in below))
    return table


def module_name(path: Path) -> str:
    parts = list(path.relative_to(PACKAGE.parent).with_suffix("").parts)
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def layer_of(module: str) -> str:
    """The layer: the package under tamsel_tools, or the package's own module (its face is
    `__init__`)."""
    parts = module.split(".")
    return parts[1] if len(parts) > 1 else "__init__"


def imported(source: str, modules: Set[str]) -> List[str]:
    """Every module of the package that the source imports, anywhere in it: `from P import name`
    imports the module P.name when there is one, else P. A relative import is named as "." and
    its module, which is in no layer: the tools import by absolute names only."""
    found = []
    for node in ast.walk(ast.parse(source)):
        if isinstance(node, ast.Import):
            found += [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            base = "." * node.level + (node.module or "")
            found += [f"{base}.{alias.name}" if f"{base}.{alias.name}" in modules else base for alias in node.names]
    return list(dict.fromkeys(name for name in found if name.split(".")[0] in (ROOT, "")))


def violations(sources: Mapping[str, str], table: Mapping[str, Set[str]]) -> List[str]:
    """One line a module that is in no layer, a module of the package imported from a layer it
    may not see, and a circle of imports."""
    modules = set(sources)
    graph = {module: imported(source, modules) for module, source in sources.items()}
    lines = []
    for module, targets in sorted(graph.items()):
        if layer_of(module) not in table:
            lines.append(f"{module}: in no layer of layers.txt")
            continue
        for target in targets:
            if target.startswith("."):
                lines.append(f"{module} imports {target}: a relative import")
            elif layer_of(target) not in table[layer_of(module)]:
                lines.append(f"{module} imports {target}: {layer_of(target)} is not below {layer_of(module)}")
    return lines + circles(graph)


def circles(graph: Mapping[str, List[str]]) -> List[str]:
    """A line for each circle that a walk of the imports finds."""
    lines, done, path = [], set(), []

    def visit(module: str) -> None:
        path.append(module)
        for target in graph.get(module, []):
            if target in path:
                lines.append("circle: " + " -> ".join(path[path.index(target) :] + [target]))
            elif target not in done:
                visit(target)
        path.pop()
        done.add(module)

    for module in sorted(graph):
        if module not in done:
            visit(module)
    return lines


def package_sources() -> Dict[str, str]:
    sources = {module_name(path): path.read_text(encoding="utf-8") for path in PACKAGE.rglob("*.py")}
    sources[f"{ROOT}._inspect"] = ""  # the extension module imports nothing of the tools
    return sources


def test_every_import_runs_down_the_layers():
    table = read_table((PACKAGE / "layers.txt").read_text(encoding="utf-8"))
    assert violations(package_sources(), table) == []


SMALL = read_table("base\nmodel base\nanalysis model\nrender analysis\n")


@pytest.mark.parametrize("sources, expected", [
    # Downward, at module level and inside a function: allowed.
    ({"tamsel_tools.base.text": "", "tamsel_tools.model.policy": "from tamsel_tools.base.text import printable\n",
      "tamsel_tools.analysis.proof": "def f():\n    from tamsel_tools.model import policy\n"}, []),
    # Upward inside a function: the lazy import fails too.
    ({"tamsel_tools.model.policy": "def check():\n    from tamsel_tools.analysis.proof import check\n",
      "tamsel_tools.analysis.proof": "from tamsel_tools.model.policy import Policy\n"},
     ["tamsel_tools.model.policy imports tamsel_tools.analysis.proof: analysis is not below model",
      "circle: tamsel_tools.analysis.proof -> tamsel_tools.model.policy -> tamsel_tools.analysis.proof"]),
    # Upward under TYPE_CHECKING, and by `import`.
    ({"tamsel_tools.base.nodes": "if TYPE_CHECKING:\n    import tamsel_tools.render.explain\n",
      "tamsel_tools.render.explain": ""},
     ["tamsel_tools.base.nodes imports tamsel_tools.render.explain: render is not below base"]),
    # A circle inside one layer; a relative import, whose layer goes unread.
    ({"tamsel_tools.analysis.a": "import tamsel_tools.analysis.b\n", "tamsel_tools.analysis.b": "from tamsel_tools.analysis import a\n",
      "tamsel_tools.analysis.c": "from ..render import explain\n"},
     ["tamsel_tools.analysis.c imports ..render: a relative import",
      "circle: tamsel_tools.analysis.a -> tamsel_tools.analysis.b -> tamsel_tools.analysis.a"]),
    # A package in no layer.
    ({"tamsel_tools.replay.run": ""}, ["tamsel_tools.replay.run: in no layer of layers.txt"]),
])
def test_the_check_names_each_fault(sources, expected):
    assert violations(sources, SMALL) == expected


@pytest.mark.parametrize("text", ["base\nbase\n", "model base\n", "base\nmodel render\nrender base\n"])
def test_a_layer_builds_only_on_layers_named_before_it(text):
    with pytest.raises(ValueError, match=r"layers.txt:\d+: "):
        read_table(text)


def test_the_library_imports_without_the_command_line():
    script = (
        "import sys, tamsel_tools\n"
        "loaded = sorted(m for m in sys.modules if m == 'argparse' or m.startswith('tamsel_tools.cli'))\n"
        "print(loaded, callable(tamsel_tools.main), 'tamsel_tools.cli.main' in sys.modules)\n"
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    # main is there when asked for, and only then does the command line load.
    assert done.stdout == "[] True True\n"


HEAVY = ("tamsel_tools.analysis", "tamsel_tools.replaying", "tamsel_tools.suggesting", "z3", "pyarrow")


def _loaded_after(code: str) -> List[str]:
    script = f"import sys\n{code}\nprint(sorted({{m.split('.')[0] if not m.startswith('tamsel_tools') else '.'.join(m.split('.')[:2]) for m in sys.modules}}))\n"
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    return [name for name in eval(done.stdout.splitlines()[-1]) if name.startswith(HEAVY)]


@pytest.mark.parametrize("code, loaded", [
    # The library and the commands that need neither the solver nor the replay start without them.
    ("import tamsel_tools", []),
    ("from tamsel_tools import Policy, PolicyError, printable", []),
    ("from tamsel_tools.cli.main import main; main(['check', '--help'])", []),
    ("from tamsel_tools.cli.main import main; main(['eval', '--help'])", []),
    # A name is loaded with its module, and only it.
    ("from tamsel_tools import DecisionLog", ["tamsel_tools.replaying"]),
    ("from tamsel_tools import suggest", ["tamsel_tools.analysis", "tamsel_tools.suggesting"]),
])
def test_a_start_loads_only_what_it_uses(code, loaded):
    assert _loaded_after(f"try:\n    {code}\nexcept SystemExit:\n    pass") == loaded


def test_every_public_name_is_its_module_s_and_suggest_the_function():
    import types

    import tamsel_tools
    import tamsel_tools.suggesting.search  # noqa: F401 - a package named like a function, loaded first
    # The names typed for mypy (imported under TYPE_CHECKING) and the names loaded when asked
    # for are the same names from the same modules.
    typed = {}
    for node in ast.walk(ast.parse((PACKAGE / "__init__.py").read_text(encoding="utf-8"))):
        if isinstance(node, ast.If) and getattr(node.test, "id", None) == "TYPE_CHECKING":
            typed = {alias.name: each.module for each in node.body for alias in each.names}
    assert typed == {name: module for name, module in tamsel_tools._WHERE.items() if name != "main"}
    for name in tamsel_tools.__all__:
        module = "tamsel_tools.model.policy" if name == "Policy" else tamsel_tools._WHERE[name]
        assert getattr(tamsel_tools, name) is getattr(importlib.import_module(module), name), name
    assert isinstance(tamsel_tools.suggest, types.FunctionType)
    assert "suggest" in dir(tamsel_tools)
    with pytest.raises(AttributeError, match="no attribute 'nothing'"):
        getattr(tamsel_tools, "nothing")  # noqa: B009 - the attribute is asked for by name
