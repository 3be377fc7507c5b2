"""Every sample of the README and of docs/ runs and prints what its page shows.

docs_samples.py holds the convention and the checker; the second half of this file tests
the checker itself on small synthetic pages, so that a page cannot pass by being ignored.
"""

import importlib.util
import os
import re
import subprocess
import sys

import pytest

from docs_samples import ROOT, SampleError, blocks, check_page, commands

PAGES = sorted([ROOT / "README.md", *(ROOT / "docs").rglob("*.md")])

# The pages show lint, diff, properties and YAML suites: the analysis and PyYAML must be there.
NEEDS_EXTRAS = pytest.mark.skipif(
    not all(importlib.util.find_spec(name) for name in ("z3", "yaml")) or not (ROOT / "docs").is_dir(),
    reason="the pages' samples need z3, PyYAML and the docs/ folder",
)


@NEEDS_EXTRAS
@pytest.mark.parametrize("page", PAGES, ids=lambda page: page.relative_to(ROOT).as_posix())
def test_every_sample_of_the_page_prints_what_it_shows(page, tmp_path):
    check_page(page.read_text(), page.relative_to(ROOT).as_posix(), tmp_path)


@NEEDS_EXTRAS
def test_the_pages_hold_samples_and_few_untested_ones(tmp_path):
    checked = untested = 0
    for number, page in enumerate(PAGES):
        found = blocks(page.read_text(), page.name)
        untested += sum(block.untested for block in found)
        checked += sum(not block.untested and block.kind not in ("text", "mermaid") for block in found)
        assert number < 1 or found, f"{page.name} has no sample"
    assert checked >= 60 and untested * 5 <= checked, (checked, untested)
    # The README is the entrance: the rest lives in the pages.
    assert len((ROOT / "README.md").read_text().splitlines()) <= 300


def test_the_api_page_names_every_public_name():
    import tamsel_tools

    page = (ROOT / "docs" / "python-api.md").read_text()
    missing = [name for name in tamsel_tools.__all__ if f"tamsel_tools.{name}" not in page and f"`{name}`" not in page]
    assert missing == []


@pytest.mark.skipif(importlib.util.find_spec("mkdocs") is None, reason="the site needs mkdocs (bootstrap: docs)")
def test_the_site_builds_strictly(tmp_path):
    built = subprocess.run(
        [sys.executable, "-m", "mkdocs", "build", "--strict", "--quiet", "--site-dir", str(tmp_path / "site")],
        env={**os.environ, "NO_MKDOCS_2_WARNING": "1"},
        cwd=ROOT,
        capture_output=True,
        text=True,
    )
    assert built.returncode == 0, built.stderr
    assert (tmp_path / "site" / "language" / "policy" / "index.html").is_file()


# --- the checker itself, on synthetic pages ---

GOOD_PAGE = """\
# A page

```console
$ cd examples/refunds
$ tamsel check schema.yaml policy.yaml
f846a232dfcd17153b27fa68b57553c4da8642b1f2898968a09a68bd67190909
$ echo one |
    tr a-z A-Z
ONE
$ cat > note.txt <<'EOF'
a line
EOF
$ cat note.txt; false; echo "status $?"
a line
status 1
```

```python
print(1 + 1)
```

```text title="output"
2
```

```python
>>> import tamsel
>>> tamsel.PyTamsel.compiler_version() == tamsel.PyTamsel.compiler_version()
True
```

```yaml
- id: r
  scope: {global: true}
  when: [[actor, role], equals, {literal: admin}]
  effect: allow
```

```yaml title="small.yaml"
version: 1
rules: []
```

```console
$ tamsel check schema.yaml small.yaml
e7e72b7a8b34255cd448b4c03dfee41a34fc891441e5a5fca68253f4bbf1b8c9
```

```lua title="untested: needs Neovim"
vim.lsp.enable("tamsel")
```
"""


def test_a_page_whose_samples_hold_passes(tmp_path):
    pytest.importorskip("yaml")
    tally = check_page(GOOD_PAGE, "page.md", tmp_path)
    assert (tally.checked, tally.untested) == (6, 1)


# Each edit, made by hand to the good page, must make the checker fail with the message.
DRIFTS = [
    ("f846a232dfcd", "0846a232dfcd", "the page shows:\n  0846a232dfcd"),
    ("ONE\n", "ONE\nTWO\n", "the page shows:\n  ONE\n  TWO\nbut it printed:\n  ONE"),
    ("a line\nstatus 1\n", "status 1\n", "but it printed:\n  a line\n  status 1"),
    ("2\n```", "3\n```", "the python sample"),
    ("True\n", "False\n", "the sample failed"),
    ("effect: allow", "effect: deny", "the document does not build"),
    ("```lua", '```yaml title="spare.yaml"\nversion: 1\n```\n\n```lua', "written for a command that never names it"),
    ('lua title="untested: needs Neovim"', "lua", "a lua block that nothing checks"),
    ("# A page\n", "# A page\n\n    $ tamsel check\n", "page.md:3: a sample in an indented block"),
]


@pytest.mark.parametrize("old, new, message", DRIFTS, ids=["output", "added", "dropped", "python", "doctest", "document", "unused", "unmarked", "indented"])
def test_a_page_that_drifts_from_the_program_fails(tmp_path, old, new, message):
    pytest.importorskip("yaml")
    assert old in GOOD_PAGE
    with pytest.raises(SampleError, match=re.escape(message)):
        check_page(GOOD_PAGE.replace(old, new, 1), "page.md", tmp_path)


def test_transcripts_split_into_commands_and_their_output():
    [block] = blocks("```console\n$ a |\n  b\nout\n$ c <<EOF\nx\nEOF\n$ d\n```\n")
    assert [(step.text, step.expected) for step in commands(block)] == [
        ("a |\n  b", ("out",)),
        ("c <<EOF\nx\nEOF", ()),
        ("d", ()),
    ]
    with pytest.raises(SampleError, match="output before its first command"):
        commands(blocks("```console\nstray\n```\n")[0])
    with pytest.raises(SampleError, match="never closed"):
        blocks("```console\n$ a\n")


def test_fences_inside_lists_lose_their_indent():
    [block] = blocks('- item\n\n    ```yaml title="a.yaml"\n    key: 1\n    ```\n')
    assert (block.kind, block.file_name, block.text) == ("yaml", "a.yaml", "key: 1")
