"""What the tools read and echo of files they do not trust: regular files only, capped, inside the
suite's folder or project; quoted values cut; refused inputs named; reports never over an input."""

import json
import os
import socket
import sys
from pathlib import Path

import pytest

from tamsel_tools.base import echo
from tamsel_tools.io import reading
from tamsel_tools.io import reports as _reports
from tamsel_tools.model import refusal

LONG = "s" * 250
CUT = "s" * 200


@pytest.fixture
def files(tmp_path, monkeypatch):
    """A folder holding a regular file, a FIFO, a socket, a folder and links, as the working directory."""
    monkeypatch.chdir(tmp_path)
    (tmp_path / "plain.yaml").write_text("version: 1\n")
    (tmp_path / "big.yaml").write_bytes(b"x" * 1025)
    os.mkfifo(tmp_path / "fifo.yaml")
    (tmp_path / "folder").mkdir()
    server = socket.socket(socket.AF_UNIX)
    server.bind("socket.yaml")
    os.symlink("plain.yaml", tmp_path / "link.yaml")
    yield tmp_path
    server.close()


@pytest.mark.parametrize("path, limit, expected", [
    ("plain.yaml", None, b"version: 1\n"),
    ("link.yaml", None, b"version: 1\n"),
    ("big.yaml", 1025, b"x" * 1025),
    ("big.yaml", 1024, "larger than the limit of 1024 bytes (--max-bytes raises it)"),
    ("big.yaml", 1, "larger than the limit of 1 bytes (--max-bytes raises it)"),
    ("fifo.yaml", None, "not a regular file: a FIFO"),
    ("folder", None, "not a regular file: a folder"),
    ("socket.yaml", None, "not a regular file: a socket"),
    ("/dev/zero", None, "not a regular file: a character device"),
    ("/dev/null", None, "not a regular file: a character device"),
    ("missing.yaml", None, "cannot read: No such file or directory"),
    ("plain\0.yaml", None, "not a path: it holds a NUL character"),
])
def test_only_regular_files_are_read_and_only_so_much(files, path, limit, expected):
    limit = reading.DEFAULT_MAX_BYTES if limit is None else limit
    if isinstance(expected, bytes):
        assert reading.read_bytes(path, limit) == expected
        return
    with pytest.raises(reading.FileRefused) as refused:
        reading.read_bytes(path, limit)
    assert (refused.value.path, refused.value.message) == (path, expected)


@pytest.mark.parametrize("max_bytes, values, documents", [
    (reading.DEFAULT_MAX_BYTES, 524288, 8 << 20),
    (1000, 15, 250),
    (1, 1, 1),  # never a cap of nothing
])
def test_the_caps_that_go_with_max_bytes(max_bytes, values, documents):
    limits = reading.Limits(max_bytes)
    assert (limits.max_values, limits.documents_max_bytes) == (values, documents)
    assert limits.too_many_values(" here").startswith(f"more than {values} values (mappings, lists and scalars) here, ")


@pytest.mark.parametrize("text, expected", [
    ("1048576", 1 << 20),
    ("64MiB", 64 << 20),
    ("2 KiB", 2048),
    ("1GiB", 1 << 30),
    ("0", None),
    ("-5", None),
    ("64MB", None),
    ("lots", None),
])
def test_max_bytes_values(text, expected):
    if expected is None:
        with pytest.raises(ValueError, match="expected a positive size"):
            reading.parse_size(text)
    else:
        assert reading.parse_size(text) == expected


class _Stream:
    """A byte stream that never ends once its lines are read (as /dev/zero piped in)."""

    def __init__(self, lines):
        self.lines = list(lines)
        self.asked = 0

    def readline(self, size):
        self.asked += 1
        if self.lines:
            return self.lines.pop(0)[:size]
        return b"\0" * size


@pytest.mark.parametrize("lines, limit, expected", [
    ([b"{}\n", b"[1]\n"], 8, [b"{}\n", b"[1]\n", "LineTooLong"]),
    ([b"12345678\n"], 8, [b"12345678\n", "LineTooLong"]),
    ([b"123456789\n"], 8, ["LineTooLong"]),
    ([], 8, ["LineTooLong"]),
])
def test_a_line_past_the_cap_ends_reading(lines, limit, expected):
    stream, got = _Stream(lines), []
    with pytest.raises(reading.LineTooLong, match=f"line larger than the limit of {limit} bytes"):
        for line in reading.lines(stream, limit):
            got.append(line)
    assert got + ["LineTooLong"] == expected
    assert stream.asked == len(expected)


# Python holds a text at the width of its widest character: the cap holds for what it takes then.
WIDE_PAST_FFFF = "larger than the limit of 16 bytes once read: a character past U+FFFF makes every one take 4 bytes"
WIDE_PAST_FF = "larger than the limit of 16 bytes once read: a character past U+00FF makes every one take 2 bytes"


@pytest.mark.parametrize("text, expected", [
    ("a" * 16, None),
    ("\u00e9" * 8, None),  # Latin-1: one byte a character, fewer than the UTF-8 bytes
    ("a" * 7 + "\u0100", None),  # 8 characters, two bytes each
    ("a" * 8 + "\u0100", WIDE_PAST_FF),
    ("a" * 3 + "\U0001F600", None),  # 4 characters, four bytes each
    ("a" * 4 + "\U0001F600", WIDE_PAST_FFFF),
    ("\U0001F600" * 4, None),  # 16 bytes of UTF-8, 16 once read
    ("\u4e00" * 8, None),  # 24 bytes of UTF-8, 16 once read
])  # fmt: skip
def test_the_cap_holds_for_a_text_as_read(text, expected):
    found = reading.too_wide(text.encode("utf-8"), 16)
    assert (found if found is None else found.split(" (")[0]) == expected


@pytest.fixture
def project(tmp_path, monkeypatch):
    """project/suites/x.suite.json beside project/docs/, with links in and out, and a secret above."""
    monkeypatch.chdir(tmp_path)
    for folder in ("project/suites/deeper", "project/docs"):
        (tmp_path / folder).mkdir(parents=True)
    (tmp_path / "secret.env").write_text("TOKEN=1\n")
    (tmp_path / "project/docs/policy.yaml").write_text("")
    (tmp_path / "project/suites/policy.yaml").write_text("")
    os.symlink(tmp_path / "secret.env", tmp_path / "project/suites/out.yaml")
    os.symlink("policy.yaml", tmp_path / "project/suites/in.yaml")
    os.symlink(tmp_path / "secret.env", tmp_path / "project/docs/out.yaml")
    os.symlink(tmp_path, tmp_path / "project/suites/up")
    return tmp_path


NOT_SUITES = "the suite's folder (--allow-outside-paths reads it)"
NOT_PROJECTS = "the project's folder (--allow-outside-paths reads it)"


@pytest.mark.parametrize("name, root, expected", [
    ("policy.yaml", None, None),
    ("./deeper/../policy.yaml", None, None),
    ("in.yaml", None, None),
    ("../docs/policy.yaml", None, f"a path that leaves {NOT_SUITES}"),
    ("../../secret.env", None, f"a path that leaves {NOT_SUITES}"),
    ("out.yaml", None, f"a symbolic link that leads out of {NOT_SUITES}"),
    ("up/secret.env", None, f"a symbolic link that leads out of {NOT_SUITES}"),
    ("/etc/passwd", None, f"an absolute path, outside {NOT_SUITES}"),
    ("../docs/policy.yaml", "project", None),
    ("../docs/out.yaml", "project", f"a symbolic link that leads out of {NOT_PROJECTS}"),
    ("../../secret.env", "project", f"a path that leaves {NOT_PROJECTS}"),
    ("/etc/passwd", "project", f"an absolute path, outside {NOT_PROJECTS}"),
    ("policy\0.yaml", None, "not a path: it holds a NUL character"),
])
def test_a_suites_documents_stay_in_its_folder_or_project(project, name, root, expected):
    path, refused = reading.document_path("project/suites/x.suite.json", name, root, False)
    assert (path, refused) == (os.path.join("project/suites", name), expected)
    allowed = reading.NO_PATH if "\0" in name else None  # never a path, allowed or not
    assert reading.document_path("project/suites/x.suite.json", name, root, True) == (path, allowed)


@pytest.mark.parametrize("message, expected", [
    ("short \"value\" and 'name'", "short \"value\" and 'name'"),
    (f'invalid type: string "{LONG}", expected u32',
     f'invalid type: string "{CUT}"... (250 characters), expected u32'),
    (f'invalid type: string "a\\"{LONG}"', f'invalid type: string "a\\"{CUT[:-3]}"... (253 characters)'),
    (f"key '{LONG}' is not read here", f"key '{CUT}'... (250 characters) is not read here"),
    (f"unknown variant `{LONG}`, expected one of `allow`",
     f"unknown variant `{CUT}`... (250 characters), expected one of `allow`"),
    (f"rule 'it's {LONG}' never decided", f"rule 'it's {CUT[:-5]}'... (255 characters) never decided"),
    ("s" * 300, "s" * 300),  # not quoted: the engine's own words
    # A quote that opens no span leaves the spans of other kinds, before and after it, as they are.
    (f"\"open and 'x' then `{LONG}`", f"\"open and 'x' then `{CUT}`... (250 characters)"),
    (f"it's 'a {LONG}' and 'b' \"", f"it's 'a {CUT[:-2]}'... (252 characters) and 'b' \""),
    (" 'a" * 1000, " 'a" * 1000),  # no closing quote anywhere: read once, not once a quote
])
def test_quoted_values_are_cut(message, expected):
    assert echo.bounded(message) == expected


ENGINE = "Unsupported value type"


@pytest.mark.parametrize("line, expected", [
    ('"text"', "the input is a JSON string, not an object"),
    ("[1]", "the input is a JSON array, not an object"),
    ("null", "the input is null, not an object"),
    ('{"action": "refund"}', "action is a JSON string, not an object"),
    ('{"actor": true}', "actor is the boolean true, not an object"),
    ('{"action": {"type": "refund"}, "snapshot": 5}', "snapshot is a number, not an object"),
    ('{"action": {"amount": [1]}}', "action.amount is a JSON array"),
    ('{"action": {"amount": {}}}', "action.amount is a JSON object"),
    ('{"actor": {"frozen": null}}', "actor.frozen is null"),
    ('{"action": {"amount": 1' + "0" * 400 + "}}",
     "action.amount is an integer of 401 digits, too large for a float"),
    ('{"action": {"currency": "\\ud800"}}', "action.currency is a text with a lone surrogate"),
    ('{"action": {"\\udc00": 1}}', 'action["\\udc00"] is a key with a lone surrogate'),
    ('{"action": {"a.b": [], "c": []}}', 'action["a.b"] is a JSON array'),
    # The engine's order: action, actor, snapshot, whatever the input's order.
    ('{"snapshot": {"x": []}, "action": {"y": null}}', "action.y is null"),
    ('{"action": {"amount": 1e400, "ok": true, "s": "x"}, "other": []}', None),
])
def test_refused_inputs_are_named(line, expected):
    assert refusal.why_refused(json.loads(line)) == expected


def test_what_the_tools_name_is_what_the_engine_refuses():
    """Each input the tools name is refused by the engine, and each they pass is taken."""
    import tamsel
    example = Path(__file__).resolve().parents[2] / "examples" / "refunds"
    engine = tamsel.PyTamsel((example / "schema.yaml").read_text(), (example / "policy.yaml").read_text())
    for line, _ in test_refused_inputs_are_named.pytestmark[0].args[1]:
        value = json.loads(line)
        try:
            engine.evaluate(value)
            refused = False
        except (TypeError, UnicodeEncodeError):
            refused = True
        assert refused == (refusal.why_refused(value) is not None), line


@pytest.fixture
def reports(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "old.xml").write_text("<?xml version='1.0' encoding='utf-8'?>\n<testsuites name=\"tamsel\" />\n")
    (tmp_path / "old.json").write_text('{"policies": []}\n')
    (tmp_path / "notes.txt").write_text("precious\n")
    (tmp_path / "a.suite.json").write_text("{}")
    (tmp_path / "policy.yaml").write_text("")
    os.symlink("policy.yaml", tmp_path / "alias.yaml")
    os.mkfifo(tmp_path / "fifo.xml")
    return tmp_path


INPUTS = ("a.suite.json", "policy.yaml")


@pytest.mark.parametrize("path, kind, expected", [
    ("new.xml", "junit", None),
    ("old.xml", "junit", None),
    ("old.json", "coverage", None),
    ("old.json", "junit", "--junit old.json: refused: the file exists and is not a report that tamsel wrote"),
    ("old.xml", "coverage",
     "--coverage-json old.xml: refused: the file exists and is not a report that tamsel wrote"),
    ("notes.txt", "junit", "--junit notes.txt: refused: the file exists and is not a report that tamsel wrote"),
    ("policy.yaml", "coverage", "--coverage-json policy.yaml: refused: it is an input of this run"),
    ("alias.yaml", "junit", "--junit alias.yaml: refused: it is an input of this run"),
    ("./a.suite.json", "junit",
     "--junit ./a.suite.json: refused: a suite's name; the option takes the report's file first: "
     "--junit FILE SUITE ..."),
    ("b.suite.yaml", "junit",
     "--junit b.suite.yaml: refused: a suite's name; the option takes the report's file first: "
     "--junit FILE SUITE ..."),
    ("fifo.xml", "junit", "--junit fifo.xml: refused: not a regular file: a FIFO"),
    (".", "coverage", "--coverage-json .: refused: not a regular file: a folder"),
    ("/dev/null", "junit", "--junit /dev/null: refused: not a regular file: a character device"),
])
def test_a_report_never_replaces_an_input(reports, path, kind, expected):
    before = {name.name: name.read_bytes() for name in reports.iterdir() if name.is_file()}
    if expected is None:
        _reports.check_target(path, kind, INPUTS)
    else:
        with pytest.raises(_reports.ReportRefused) as refused:
            _reports.check_target(path, kind, INPUTS)
        assert str(refused.value) == expected
    assert {name.name: name.read_bytes() for name in reports.iterdir() if name.is_file()} == before


def test_a_report_is_renamed_into_place_and_nothing_is_left_when_it_fails(reports):
    os.chmod("old.xml", 0o640)
    _reports.write("old.xml", b"new")
    assert (reports / "old.xml").read_bytes() == b"new"
    assert os.stat("old.xml").st_mode & 0o777 == 0o640

    class Stop(BaseException):
        pass

    def failing(*_):
        raise Stop
    before = sorted(os.listdir())
    original, os.replace = os.replace, failing
    try:
        with pytest.raises(Stop):
            _reports.write("old.xml", b"newer")
    finally:
        os.replace = original
    assert sorted(os.listdir()) == before and (reports / "old.xml").read_bytes() == b"new"
    with pytest.raises(OSError):
        _reports.write("missing/report.xml", b"x")


def test_a_folder_nested_past_the_recursion_limit_is_walked(tmp_path):
    deep = tmp_path
    for _ in range(sys.getrecursionlimit() + 100):
        deep = deep / "a"
        os.mkdir(deep)
    (deep / "x.suite.json").write_text("{}")
    (tmp_path / "b.suite.json").write_text("{}")
    try:
        found, skipped = reading.suites_below(str(tmp_path), reading.SUITE_ENDINGS)
        assert (found, skipped) == (sorted([str(tmp_path / "b.suite.json"), str(deep / "x.suite.json")]), [])
    finally:
        # Removed from the bottom up: removing a tree recurses, as walking it did.
        (deep / "x.suite.json").unlink()
        while deep != tmp_path:
            os.rmdir(deep)
            deep = deep.parent
