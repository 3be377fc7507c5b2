"""What `tamsel test` reports besides its lines: --json, the progress line, and the
--coverage-html site as headless Chromium shows it."""

import importlib.util
import io
import json
import os
import re
import shutil
import subprocess
from html.parser import HTMLParser
from pathlib import Path

import pytest

from tamsel_tools.cli.commands.test import run_suites
from tamsel_tools.cli.progress import Progress
from tamsel_tools.io.reading import Limits
from tamsel_tools.render.coverage import CoverageOptions
from test_cli import TEXTS, documents, run  # noqa: F401  (documents: a fixture)

ROOT = Path(__file__).resolve().parents[2]
REFUTED = {"name": "small refunds pass", "action": "refund", "when": [["action", "amount"], "less_than", {"literal": 10}],
           "expect": {"effect": "allow"}}
HOLDS = {"name": "large refunds are blocked", "action": "refund",
         "when": [["action", "amount"], "greater_than", {"literal": 1000}], "expect": {"effect": "block"}}
CASES = [
    {"name": "small", "input": {"action": {"type": "refund", "amount": 5, "currency": "EUR"}}, "expect": {"effect": "allow"}},
    {"name": "wrong", "input": {"action": {"type": "refund", "amount": 5000}}, "expect": {"effect": "allow"}},
    {"name": "refused", "input": {"action": 5}, "expect": {"error": "x"}},
]


def suite(name="x.suite.json", cases=CASES, properties=()):
    data = {"schema": "schema.yaml", "policy": "policy.yaml", "cases": list(cases)}
    if properties:
        data["properties"] = list(properties)
    Path(name).write_text(json.dumps(data))
    return name


# ---------------------------------------------------------------- --json


def test_json_reports_every_case_and_property_with_its_verdict(capsys, documents):
    pytest.importorskip("z3")
    suite(properties=[REFUTED, HOLDS])
    Path("bad.suite.json").write_text("{")
    status, out, err = run(capsys, "test", "--json", "x.suite.json", "bad.suite.json")
    assert (status, len(out)) == (2, 1)
    assert err == ["bad.suite.json:1:2: invalid JSON: Expecting property name enclosed in double quotes"]
    document = json.loads(out[0])
    assert {key: document[key] for key in ("passed", "failed", "undecided")} == {"passed": 2, "failed": 3, "undecided": 0}
    first, second = document["suites"]
    assert [(c["name"], c["verdict"]) for c in first["cases"]] == [("small", "passed"), ("wrong", "failed"),
                                                                   ("refused", "failed")]
    assert first["cases"][1]["got"] == {"effect": "block", "matched_rule": "block_large_refunds"}
    assert first["cases"][2]["got"] == {"error": "'int' object cannot be converted to 'PyDict'"}
    refuted, holds = first["properties"]
    assert (holds["name"], holds["verdict"], holds["line"], "input" in holds) == ("large refunds are blocked", "holds", 1, False)
    assert refuted["column"] < holds["column"]
    assert (refuted["verdict"], refuted["decision"]) == ("refuted", {"effect": "block", "matched_rule": "foreign_currency_or_frozen"})
    assert refuted["input"]["action"]["type"] == "refund"
    assert second["diagnostics"][0]["message"] == "invalid JSON: Expecting property name enclosed in double quotes"
    assert (second["cases"], second["properties"]) == ([], [])


def test_json_is_strict_and_holds_the_coverage_when_asked(capsys, documents):
    # A NaN outcome field cannot be bare JSON: the tools' special-number object stands for it.
    suite(cases=[{"name": "nan", "input": {"action": {"type": "refund", "amount": float("nan")}},
                  "expect": {"effect": "allow"}}])
    status, out, _ = run(capsys, "test", "--json", "--coverage", "x.suite.json")
    document = json.loads(out[0], parse_constant=lambda name: pytest.fail(f"bare {name}"))
    assert status == 0 and len(out) == 1
    assert [each["policy"] for each in document["coverage"]] == ["policy.yaml"]
    assert document["coverage"][0]["rules"][0]["rule"] == "block_large_refunds"


def test_json_leaves_github_annotations_out_of_the_document(capsys, documents):
    suite()
    status, out, _ = run(capsys, "test", "--json", "--format", "github", "x.suite.json")
    assert status == 1 and len(out) == 1 and json.loads(out[0])["failed"] == 2


# ---------------------------------------------------------------- the progress line


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_the_progress_line_counts_suites_and_properties_and_is_erased(capsys, documents):
    pytest.importorskip("z3")
    names = [suite(f"{n}.suite.json", properties=[REFUTED, HOLDS]) for n in range(2)]
    terminal = Terminal()
    progress = Progress("test", "suites", stream=terminal, after=0.0)
    progress.last = -1.0
    progress.show = _every(progress.show, progress)  # no rate limit: each step shows
    status = run_suites(names, None, CoverageOptions(), "text", Limits(), progress=progress)
    shown = terminal.getvalue()
    assert status == 1
    assert "\rtest: 0 of 2 suites" in shown and "\rtest: 1 of 2 suites" in shown
    assert "\rtest: 0.suite.json: 2 of 2 properties" in shown
    assert shown.endswith("\r\033[K")
    assert capsys.readouterr().out.splitlines()[-1] == "4 passed, 6 failed"


def _every(show, progress):
    def each(done, total):
        progress.last = -1.0
        show(done, total)
    return each


# ---------------------------------------------------------------- --coverage-html in headless Chromium

HAVE_Z3 = importlib.util.find_spec("z3") is not None
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
needs_chromium = pytest.mark.skipif(CHROMIUM is None, reason="headless Chromium is not installed (Debian: chromium)")


def dom(path):
    """The page's DOM as Chromium has it once loaded (dumping it needs scripts on; the pages hold
    none, and their content security policy runs none)."""
    # Not the sanitizer runtime that a sanitized run of these tests preloads: the browser is not ours.
    env = {name: value for name, value in os.environ.items() if name not in ("LD_PRELOAD", "ASAN_OPTIONS")}
    done = subprocess.run(
        [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--dump-dom", path.resolve().as_uri()],
        capture_output=True, text=True, timeout=120, check=True, env=env)
    return done.stdout


class Page(HTMLParser):
    """The elements of a page by tag, with their attributes, and its text."""

    def __init__(self, text):
        super().__init__()
        self.elements = []
        self.texts = []
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        self.elements.append((tag, dict(attrs)))

    def handle_data(self, data):
        self.texts.append(data)

    @property
    def text(self):
        return "".join(self.texts)

    def marks(self):
        return [(int(a["data-line"]), a.get("data-gap")) for _, a in self.elements if "data-line" in a]


GAP_OF = {"never decided": "never_decided", "never true": "never_true", "never false": "never_false",
          "never made": "never_made", "unable to decide": "never_decided", "not shown to decide alone": "not_alone"}
HOSTILE_ID = "<script>alert(1)</script>&amp;\u202e"


def printed_gaps(lines, policy):
    """(line, data-gap) of each gap line that --coverage prints for the policy."""
    found = []
    for line in lines:
        matched = re.match(re.escape(policy) + r":([0-9]+):[0-9]+: (.*)$", line)
        if matched:
            found.append((int(matched[1]), next(g for words, g in GAP_OF.items() if matched[2].endswith(words))))
    return found


@needs_chromium
def test_the_site_marks_every_gap_that_coverage_prints(capsys, documents):
    # Two policies: the example, and one with a hostile rule id and text, each with gaps of every kind.
    hostile = TEXTS["policy.yaml"].replace("block_large_refunds", "'" + HOSTILE_ID + "'").replace(
        "# actor-scoped", "# <img src=x onerror=alert(1)> actor-scoped")
    Path("other").mkdir()
    Path("other/policy.yaml").write_text(hostile)
    Path("other/schema.yaml").write_text(TEXTS["schema.yaml"])
    suite(cases=CASES[:2])
    Path("other/y.suite.json").write_text(json.dumps({"schema": "schema.yaml", "policy": "policy.yaml", "cases": [
        {"name": "frozen", "input": {"action": {"type": "refund", "amount": 5, "currency": "EUR"},
                                     "actor": {"frozen": True}}, "expect": {"effect": "block"}}]}))
    # (the bidirectional control of the id is refused in a document unless allowed, as here)
    allowed = "--allow-invisible-breaks"
    status, printed, _ = run(capsys, "test", allowed, "--coverage", "x.suite.json", "other/y.suite.json")
    assert run(capsys, "test", allowed, "--coverage-html", "site", "x.suite.json", "other/y.suite.json")[0] == status == 1
    index = Page(dom(Path("site/index.html")))
    headlines = [line for line in printed if re.match(r"\S+: [0-9]+ of [0-9]+ rules decided", line)]
    links = [a["href"] for tag, a in index.elements if tag == "a"]
    assert links == ["policy-1.html", "policy-2.html"]
    for number, (policy, headline) in enumerate(zip(["policy.yaml", "other/policy.yaml"], headlines), 1):
        assert headline.startswith(policy + ": ")
        assert headline[len(policy) + 2:] in index.text
        page = Page(dom(Path(f"site/policy-{number}.html")))
        gaps = printed_gaps(printed, policy)
        assert gaps and set(gaps) <= set(page.marks())
        assert {kind for _, kind in gaps} >= {"never_decided", "never_true"}
        assert sum(gap is not None for _, gap in page.marks()) == len(gaps)
        assert headline[len(policy) + 2:] in page.text
        # With the solver, each gap says which suggested case closes it, or why none can.
        said = [a for _, a in page.elements if a.get("class") == "suggested"]
        assert len(said) == (len(gaps) if HAVE_Z3 else 0)
        if HAVE_Z3:
            assert "closed by the suggested case" in page.text
            assert "no input closes it: rule 'review_untrusted_agents' is scoped to the actor" in page.text
    hostile_page = Page(dom(Path("site/policy-2.html")))
    assert HOSTILE_ID.replace("\u202e", "\\u{202e}") in hostile_page.text
    assert "<img src=x onerror=alert(1)>" in hostile_page.text
    # No script to need, and none that could run: the pages read the same with JavaScript off.
    tags = {tag for tag, _ in hostile_page.elements}
    assert not tags & {"script", "img", "iframe", "link", "object", "embed", "noscript"}
    policy = [a["content"] for t, a in hostile_page.elements if a.get("http-equiv") == "Content-Security-Policy"]
    assert policy == ["default-src 'none'; style-src 'unsafe-inline'"]
    # Nothing is fetched: no attribute names another resource.
    for page in (index, hostile_page):
        assert all(not {"src", "srcset", "background"} & set(attrs) for _, attrs in page.elements)
        assert all(a["href"] in ("index.html", "policy-1.html", "policy-2.html") for t, a in page.elements if "href" in a)


@pytest.mark.parametrize("setup, target, message", [
    (lambda: None, "policy.yaml", "--coverage-html policy.yaml: refused: it exists and is not a folder"),
    (lambda: None, "y.suite.json",
     "--coverage-html y.suite.json: refused: a suite's name; the option takes the report's folder first: "
     "--coverage-html DIR SUITE ..."),
    (lambda: (Path("site").mkdir(), Path("site/index.html").write_text("<html>mine</html>")), "site",
     "--coverage-html site: refused: its index.html: the file exists and is not a report that tamsel wrote"),
    (lambda: (Path("site").mkdir(), Path("site/index.html").symlink_to("../policy.yaml")), "site",
     "--coverage-html site: refused: its index.html: it is an input of this run"),
    (lambda: None, "x.suite.json", "--coverage-html x.suite.json: refused: a suite's name; the option takes the "
     "report's folder first: --coverage-html DIR SUITE ..."),
])
def test_the_site_is_never_written_over_an_input(capsys, documents, setup, target, message):
    suite()
    setup()
    before = {path: path.read_bytes() for path in Path(".").rglob("*") if path.is_file()}
    assert run(capsys, "test", "--coverage-html", target, "x.suite.json") == (2, [], [message])
    assert {path: path.read_bytes() for path in Path(".").rglob("*") if path.is_file()} == before


def test_a_page_that_is_an_input_is_refused_as_it_is_written(capsys, documents):
    suite()
    Path("site").mkdir()
    Path("site/policy-1.html").symlink_to("../policy.yaml")
    status, _, err = run(capsys, "test", "--coverage-html", "site", "x.suite.json")
    assert (status, err[-1]) == (2, "--coverage-html site/policy-1.html: refused: it is an input of this run")
    assert Path("policy.yaml").read_text() == TEXTS["policy.yaml"]


def test_the_site_replaces_its_own_pages(capsys, documents):
    suite()
    for _ in range(2):
        assert run(capsys, "test", "--coverage-html", "site", "x.suite.json")[0] == 1
    assert sorted(path.name for path in Path("site").iterdir()) == ["index.html", "policy-1.html"]
