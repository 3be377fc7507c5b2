"""The project file: which documents a folder's project names, and its errors at their places."""

import os

import pytest

from tamsel_tools.io.project import ProjectError, find_project
from tamsel_tools.io.reading import Limits

DOCUMENTS = ("policies/schema.yaml", "policies/policy.yaml", "policies/governance.yaml", "policies/tests/a.suite.json")
TAMSEL = '[tool.tamsel]\nschema = "policies/schema.yaml"\npolicy = "policies/policy.yaml"\n'


def layout(tmp_path, files):
    for name in DOCUMENTS:
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text("")
    for name, text in files.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text)


# Project files in a layout, the folder searched from -> (the file used, schema, policy,
# governance, suites), paths relative to the layout.
FOUND = [
    ({"pyproject.toml": TAMSEL}, ".", ("pyproject.toml", "policies/schema.yaml", "policies/policy.yaml", None, ())),
    ({"pyproject.toml": TAMSEL}, "policies/tests", ("pyproject.toml", "policies/schema.yaml", "policies/policy.yaml", None, ())),
    (
        {"pyproject.toml": TAMSEL + 'governance = "policies/governance.yaml"\nsuites = ["policies/tests", "policies/tests/a.suite.json"]\n'},
        "policies",
        ("pyproject.toml", "policies/schema.yaml", "policies/policy.yaml", "policies/governance.yaml",
         ("policies/tests", "policies/tests/a.suite.json")),
    ),
    # Paths are relative to the project file, wherever the search started.
    ({"policies/tamsel.toml": 'schema = "schema.yaml"\npolicy = "policy.yaml"\n'}, "policies/tests",
     ("policies/tamsel.toml", "policies/schema.yaml", "policies/policy.yaml", None, ())),
    # A pyproject.toml without the table is passed over, for the tamsel.toml beside it or above.
    ({"pyproject.toml": '[project]\nname = "x"\n', "tamsel.toml": 'schema = "policies/schema.yaml"\npolicy = "policies/policy.yaml"\n'},
     ".", ("tamsel.toml", "policies/schema.yaml", "policies/policy.yaml", None, ())),
    ({"policies/pyproject.toml": "[tool.black]\n", "pyproject.toml": TAMSEL}, "policies/tests",
     ("pyproject.toml", "policies/schema.yaml", "policies/policy.yaml", None, ())),
    # The nearest wins, and pyproject.toml before tamsel.toml in one folder.
    ({"pyproject.toml": TAMSEL, "policies/tamsel.toml": 'schema = "schema.yaml"\npolicy = "governance.yaml"\n'}, "policies",
     ("policies/tamsel.toml", "policies/schema.yaml", "policies/governance.yaml", None, ())),
    ({"pyproject.toml": TAMSEL, "tamsel.toml": 'schema = "x"\npolicy = "y"\n'}, ".",
     ("pyproject.toml", "policies/schema.yaml", "policies/policy.yaml", None, ())),
    # The table may be written with quoted or spaced names, or as dotted keys.
    ({"pyproject.toml": "[ tool . 'tamsel' ]\nschema = 'policies/schema.yaml'\npolicy = 'policies/policy.yaml'\n"}, ".",
     ("pyproject.toml", "policies/schema.yaml", "policies/policy.yaml", None, ())),
    ({"pyproject.toml": '[tool]\ntamsel.schema = "policies/schema.yaml"\ntamsel.policy = "policies/policy.yaml"\n'}, ".",
     ("pyproject.toml", "policies/schema.yaml", "policies/policy.yaml", None, ())),
]


@pytest.mark.parametrize("files, start, expected", FOUND)
def test_the_nearest_project_file_names_the_documents(tmp_path, files, start, expected):
    layout(tmp_path, files)
    project = find_project(tmp_path / start, Limits())
    assert project is not None
    relative = lambda path: None if path is None else str(path.relative_to(tmp_path))  # noqa: E731
    found = (relative(project.file), relative(project.schema), relative(project.policy), relative(project.governance),
             tuple(relative(each) for each in project.suites))
    assert found == expected
    assert project.root == project.file.parent


def test_without_a_project_file_there_is_no_project(tmp_path):
    layout(tmp_path, {"pyproject.toml": "[tool.other]\nschema = 1\n"})
    assert find_project(tmp_path / "policies", Limits()) is None


# A broken project file -> (line, column, message); each error is one, at its place.
BROKEN = [
    (TAMSEL.replace("policy.yaml", "missing.yaml"), 3, 10, "'policy': no such file: policies/missing.yaml"),
    (TAMSEL + 'governance = "policies"\n', 4, 14, "'governance': policies: not a regular file: a folder"),
    (TAMSEL + "suites = ['nowhere']\n", 4, 10, "'suites': no such file or folder: nowhere"),
    (TAMSEL + 'suites = "policies/tests"\n', 4, 10, "'suites' must be a list of paths (strings), files or folders"),
    (TAMSEL.replace('"policies/schema.yaml"', "3"), 2, 10, "'schema' must be a path (a string)"),
    ('x = 1\n\n[tool.tamsel]\n"schema" = "policies/schema.yaml"\n', 3, 1,
     "[tool.tamsel] has no 'policy': the path of the policy document"),
    (TAMSEL + "goverance = 'policies/governance.yaml'\n", 4, 13,
     "unknown key 'goverance' in [tool.tamsel] (known: schema, policy, governance, suites)"),
    ("[tool]\ntamsel = 5\n", None, None, "[tool.tamsel] must be a table"),
    ('[tool.tamsel]\nschema = "policies/schema.yaml\n', 2, 31, "invalid TOML: Illegal character '\\n'"),
    ("[tool.tamsel]\nschema = 1\nschema = 2\n", 3, 11, "invalid TOML: Cannot overwrite a value"),
]


@pytest.mark.parametrize("text, line, column, message", BROKEN)
def test_a_broken_project_file_is_one_located_error(tmp_path, text, line, column, message):
    layout(tmp_path, {"pyproject.toml": text})
    with pytest.raises(ProjectError) as caught:
        find_project(tmp_path / "policies" / "tests", Limits())
    error = caught.value
    assert (error.path, error.line, error.column, error.message) == (tmp_path / "pyproject.toml", line, column, message)


def test_a_project_file_that_is_not_utf8_says_where(tmp_path):
    layout(tmp_path, {})
    (tmp_path / "tamsel.toml").write_bytes(b'schema = "s"\npolicy = "\xff"\n')
    with pytest.raises(ProjectError) as caught:
        find_project(tmp_path, Limits())
    assert (caught.value.line, caught.value.column, caught.value.message) == (2, 11, "invalid UTF-8")


# What stands as tamsel.toml is the project file: said to be refused when it cannot be one.
@pytest.mark.parametrize("make, message", [
    (lambda path, outside: os.symlink(outside, path), "a symbolic link that leads out of its folder "
     "(--allow-outside-paths reads it)"),
    (lambda path, outside: os.mkfifo(path), "not a regular file: a FIFO"),
    (lambda path, outside: os.mkdir(path), "not a regular file: a folder"),
])
def test_a_project_file_that_is_not_one_is_refused(tmp_path, make, message):
    layout(tmp_path / "work", {})
    (tmp_path / "outside.toml").write_text(TAMSEL)
    make(tmp_path / "work" / "tamsel.toml", tmp_path / "outside.toml")
    with pytest.raises(ProjectError) as caught:
        find_project(tmp_path / "work", Limits())
    assert (caught.value.path.name, caught.value.message) == ("tamsel.toml", message)
