import ast
import importlib
import importlib.metadata
import pathlib
import subprocess
import sys
import textwrap

import pytest

import tamsel
from conftest import POLICY, SCHEMA
from tamsel import PyTamsel
from tamsel_tools import _inspect

STUB = pathlib.Path(__file__).resolve().parents[2] / "stubs" / "tamsel-stubs" / "__init__.pyi"


def stub_docstrings():
    """The docstrings that the stub gives the module, the class and evaluate."""
    module = ast.parse(STUB.read_text(encoding="utf-8"))
    [cls] = [node for node in module.body if isinstance(node, ast.ClassDef) and node.name == "PyTamsel"]
    [evaluate] = [node for node in cls.body
                  if isinstance(node, ast.FunctionDef) and node.name == "evaluate"]
    return [ast.get_docstring(node) for node in (module, cls, evaluate)]


def test_docstrings_are_the_stubs():
    # Written twice, in the binding and in the stub that editors show: the two must agree.
    assert [tamsel.__doc__, PyTamsel.__doc__, PyTamsel.evaluate.__doc__] == stub_docstrings()


@pytest.mark.parametrize(
    "value, expected",
    [
        (tamsel.__all__, ["PyTamsel"]),
        (PyTamsel.__name__, "PyTamsel"),
        (PyTamsel.__qualname__, "PyTamsel"),
        # Found by its name in the module that users import it from.
        (getattr(tamsel, PyTamsel.__qualname__) is PyTamsel, True),
        # CPython 3.9 drops the signature from the doc of a type made from a spec.
        (PyTamsel.__text_signature__,
         None if sys.version_info < (3, 10) else "(schema_yaml, policy_yaml, governance_yaml=None)"),
        (PyTamsel.evaluate.__text_signature__, "($self, input)"),
        (PyTamsel.policy_hash.__doc__, None),
        (PyTamsel.policy_hash.__text_signature__, "($self)"),
        (PyTamsel.compiler_version.__doc__, None),
        (PyTamsel.compiler_version.__text_signature__, "()"),
        (sorted(n for n in vars(PyTamsel) if not n.startswith("__")),
         ["compiler_version", "evaluate", "policy_hash"]),
        (sorted(n for n in vars(tamsel) if not n.startswith("__")), ["PyTamsel"]),
    ],
)
def test_surface_text(value, expected):
    assert value == expected


def test_compiler_version_is_the_package_version():
    assert PyTamsel.compiler_version() == importlib.metadata.version("tamsel")


def test_class_cannot_be_derived_from():
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Derived", (PyTamsel,), {})


def test_instances_have_no_dict_and_no_weakref(example):
    import weakref

    assert not hasattr(example, "__dict__")
    with pytest.raises(AttributeError):
        example.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(example)
    assert example.compiler_version() == importlib.metadata.version("tamsel")


def test_equality_hash_and_repr_are_the_plain_objects():
    first, second = PyTamsel(SCHEMA, POLICY), PyTamsel(SCHEMA, POLICY)
    assert first != second  # equal documents, two objects: identity decides
    assert hash(first) == object.__hash__(first) != hash(second)
    assert repr(first) == object.__repr__(first)


NEW = "PyTamsel.__new__()"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, NEW + " missing 2 required positional arguments: 'schema_yaml' and 'policy_yaml'"),
        (("s",), {}, NEW + " missing 1 required positional argument: 'policy_yaml'"),
        ((), {"policy_yaml": "p"}, NEW + " missing 1 required positional argument: 'schema_yaml'"),
        ((), {"governance_yaml": "g"},
         NEW + " missing 2 required positional arguments: 'schema_yaml' and 'policy_yaml'"),
        (("s", "p", "g", "x"), {},
         NEW + " takes from 2 to 3 positional arguments but 4 were given"),
        (("s", "p"), {"other": 1}, NEW + " got an unexpected keyword argument 'other'"),
        (("s", "p"), {"Schema_yaml": 1}, NEW + " got an unexpected keyword argument 'Schema_yaml'"),
        (("s",), {"schema_yaml": "s"}, NEW + " got multiple values for argument 'schema_yaml'"),
        (("s", "p", None), {"governance_yaml": None},
         NEW + " got multiple values for argument 'governance_yaml'"),
        ((b"s", "p"), {}, "argument 'schema_yaml': 'bytes' object cannot be converted to 'PyString'"),
        (("s", 3), {}, "argument 'policy_yaml': 'int' object cannot be converted to 'PyString'"),
        (("s", "p", b"g"), {},
         "argument 'governance_yaml': 'bytes' object cannot be converted to 'PyString'"),
        ((None, b"p"), {}, "argument 'schema_yaml': 'NoneType' object cannot be converted to 'PyString'"),
        ((["s"], "p"), {}, "argument 'schema_yaml': 'list' object cannot be converted to 'PyString'"),
    ],
)
def test_constructor_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        PyTamsel(*args, **kwargs)
    assert str(caught.value) == message


class Weird:
    class Inner:
        pass


@pytest.mark.parametrize(
    "value, shown",
    [
        (Weird.Inner(), "Weird.Inner"),
        (bytearray(b"x"), "bytearray"),
    ],
)
def test_conversion_message_names_the_qualified_type(value, shown):
    with pytest.raises(TypeError) as caught:
        PyTamsel(value, "p")
    assert str(caught.value) == f"argument 'schema_yaml': '{shown}' object cannot be converted to 'PyString'"


# ---- a type whose __qualname__ cannot be read, wherever a message names a type ----

def nameless(error):
    """An instance of Outer.Nameless, whose metaclass raises error (if any) when
    the class's __qualname__ is read."""
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__" and error is not None:
                raise error
            return super().__getattribute__(name)
    return Meta("Nameless", (), {"__qualname__": "Outer.Nameless"})()


def inspected():
    compiled, error = _inspect.load(SCHEMA, POLICY)
    assert error is None, error
    return compiled


TEXT = "'{}' object cannot be converted to 'PyString'"
DICT = "'{}' object cannot be converted to 'PyDict'"
# Each place that names the type of what it refuses: how to pass it the value,
# and the message with {} for the type's name.
NAMING_PLACES = {
    "schema_yaml": (lambda v: PyTamsel(v, "p"), "argument 'schema_yaml': " + TEXT),
    "policy_yaml": (lambda v: PyTamsel("s", v), "argument 'policy_yaml': " + TEXT),
    "governance_yaml": (lambda v: PyTamsel("s", "p", v), "argument 'governance_yaml': " + TEXT),
    "input": (lambda v: PyTamsel(SCHEMA, POLICY).evaluate(v), "argument 'input': " + DICT),
    "domain": (lambda v: PyTamsel(SCHEMA, POLICY).evaluate({"actor": v}), DICT),
    "field_name": (lambda v: PyTamsel(SCHEMA, POLICY).evaluate({"actor": {v: 1}}), TEXT),
    "load": (lambda v: _inspect.load(SCHEMA, v), "argument 'policy_yaml': " + TEXT),
    "explain_input": (lambda v: inspected().explain(v), "argument 'input': " + DICT),
    "explain_domain": (lambda v: inspected().explain({"snapshot": v}), DICT),
    "explain_field_name": (lambda v: inspected().explain({"action": {v: 1}}), TEXT),
}
# The error that reading the name raises, and the name shown; None where the
# error itself must end the call.
NAME_ERRORS = [
    (None, "Outer.Nameless"),
    (ValueError("v"), "<failed to extract type name>"),
    (RuntimeError("r"), "<failed to extract type name>"),
    (AttributeError("a"), "<failed to extract type name>"),
    (KeyboardInterrupt(), None),
    (SystemExit(2), None),
    (MemoryError(), None),
    (GeneratorExit(), None),
]


@pytest.mark.parametrize("place", NAMING_PLACES)
@pytest.mark.parametrize("error, shown", NAME_ERRORS,
                         ids=lambda e: type(e).__name__ if isinstance(e, BaseException) else None)
def test_type_name_errors(place, error, shown):
    call, message = NAMING_PLACES[place]
    with pytest.raises(BaseException) as caught:
        call(nameless(error))
    if shown is None:
        assert caught.value is error
    else:
        assert type(caught.value) is TypeError
        assert str(caught.value) == message.format(shown)


def test_all_texts_are_taken_before_any_is_read():
    # The schema text is fine as a str, but the governance text is not: TypeError, not ValueError.
    with pytest.raises(TypeError, match="governance_yaml"):
        PyTamsel("", "", 7)


@pytest.mark.parametrize("position", [0, 1, 2])
def test_lone_surrogate_raises_the_encoding_error(position):
    args = ["version: 1", "version: 1", "version: 1"]
    args[position] = "a\ud800"
    with pytest.raises(UnicodeEncodeError, match="surrogates not allowed"):
        PyTamsel(*args)


EVALUATE = "PyTamsel.evaluate()"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, EVALUATE + " missing 1 required positional argument: 'input'"),
        (({}, {}), {}, EVALUATE + " takes 1 positional arguments but 2 were given"),
        (({}, {}, {}), {}, EVALUATE + " takes 1 positional arguments but 3 were given"),
        (({},), {"input": {}}, EVALUATE + " got multiple values for argument 'input'"),
        ((), {"inputs": {}}, EVALUATE + " got an unexpected keyword argument 'inputs'"),
        (([],), {}, "argument 'input': 'list' object cannot be converted to 'PyDict'"),
        ((None,), {}, "argument 'input': 'NoneType' object cannot be converted to 'PyDict'"),
    ],
)
def test_evaluate_argument_errors(example, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        example.evaluate(*args, **kwargs)
    assert str(caught.value) == message


def test_wrong_self_is_refused():
    with pytest.raises(TypeError):
        PyTamsel.evaluate(object(), {})
    with pytest.raises(TypeError):
        PyTamsel.policy_hash(object())
    with pytest.raises(TypeError):
        PyTamsel.policy_hash()
    # A wrong self with wrong arguments reports the arguments, which are bound first.
    with pytest.raises(TypeError, match="evaluate"):
        PyTamsel.evaluate(object())


def test_method_arguments_checked_by_the_interpreter(example):
    with pytest.raises(TypeError):
        example.policy_hash(1)
    with pytest.raises(TypeError):
        PyTamsel.compiler_version(1)


def test_second_initialisation_gives_the_same_module():
    first = sys.modules.pop("tamsel")
    try:
        again = importlib.import_module("tamsel")
        assert again is first
        assert again.PyTamsel is first.PyTamsel
        assert again.__all__ == ["PyTamsel"]
    finally:
        sys.modules["tamsel"] = first


def _subinterpreters():
    for name in ("_interpreters", "_xxsubinterpreters"):
        try:
            return importlib.import_module(name)
        except ImportError:
            pass
    pytest.fail("this interpreter has no sub-interpreter module")


def test_sub_interpreter_import_fails():
    interpreters = _subinterpreters()
    # In a fresh process, so that no other test's state is involved. Up to 3.12
    # the call raises, its text naming the exception's class; from 3.13 it
    # returns a snapshot of the exception. Both come out as "Type: message".
    script = textwrap.dedent(
        r"""
        import importlib, re, sys
        import tamsel
        interpreters = importlib.import_module(sys.argv[1])
        interp = interpreters.create()
        try:
            failure = interpreters.run_string(interp, "import tamsel")
        except Exception as error:
            failure = re.sub(r"^<class '(?:\w+\.)*(\w+)'>", r"\1", str(error))
        else:
            failure = failure and f"{failure.type.__name__}: {failure.msg}"
        finally:
            interpreters.destroy(interp)
        print(failure)
        """
    )
    done = subprocess.run([sys.executable, "-c", script, interpreters.__name__],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    kind, _, message = done.stdout.rstrip("\n").partition(": ")
    assert kind == "ImportError", done.stdout
    if sys.version_info < (3, 12):
        assert message == "tamsel cannot be loaded here: sub-interpreters are not supported"
    else:  # the interpreter itself refuses a single-phase module there, in its own words
        assert message


@pytest.mark.parametrize(
    "make",
    [
        lambda obj: object.__new__(PyTamsel),
        lambda obj: PyTamsel.__new__(int, "s", "p"),
        lambda obj: __import__("copy").copy(obj),
        lambda obj: __import__("pickle").dumps(obj),
    ],
)
def test_no_instance_without_construction(example, make):
    with pytest.raises(TypeError):
        make(example)


# Each way of starting a sub-interpreter from Python, with the text its refusal
# must hold: the module's own where the interpreter admits single-phase modules
# there (the legacy configuration), the interpreter's own where it refuses them
# itself. The source runs CODE in a new sub-interpreter.
OWN_REFUSAL = "sub-interpreters are not supported"
INTERPRETER_REFUSAL = "does not support loading in subinterpreters"
SUB_INTERPRETER_RUNNERS = [
    ("_testcapi", "run_in_subinterp", "import _testcapi; _testcapi.run_in_subinterp(CODE)"),
    ("_interpreters", "create",
     "import _interpreters as i; n = i.create(); i.run_string(n, CODE); i.destroy(n)"),
    ("_xxsubinterpreters", "create",
     "import _xxsubinterpreters as i; n = i.create(); i.run_string(n, CODE); i.destroy(n)"),
]


def _sub_interpreter_runner():
    for module, attribute, source in SUB_INTERPRETER_RUNNERS:
        try:
            found = hasattr(importlib.import_module(module), attribute)
        except ImportError:
            continue
        if found:
            legacy = module == "_testcapi" or sys.version_info < (3, 12)
            return source, OWN_REFUSAL if legacy else INTERPRETER_REFUSAL
    pytest.fail("this interpreter offers no way to start a sub-interpreter")


def test_main_interpreter_imports_after_a_sub_interpreter_was_refused():
    runner, refusal = _sub_interpreter_runner()
    code = textwrap.dedent(
        """\
        try:
            import tamsel
        except ImportError as error:
            print("refused:", error, flush=True)
        else:
            print("imported", flush=True)
        """
    )
    script = f"CODE = {code!r}\n{runner}\n" + textwrap.dedent(
        """\
        import tamsel
        from conftest import POLICY, SCHEMA
        print(tamsel.PyTamsel(SCHEMA, POLICY).evaluate({"action": {"type": "refund", "amount": 5000}}))
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=60, cwd=pathlib.Path(__file__).parent)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert len(lines) == 2, done.stdout
    assert lines[0].startswith("refused: ") and refusal in lines[0]
    assert lines[1] == "{'effect': 'block', 'matched_rule': 'block_large_refunds'}"


IMMUTABLE_TYPE = 1 << 8
CLASS_CHANGES = [
    lambda: setattr(PyTamsel, "evaluate", lambda self, data: {"effect": "allow"}),
    lambda: setattr(PyTamsel, "added", 1),
    lambda: setattr(PyTamsel, "__doc__", "replaced"),
    lambda: delattr(PyTamsel, "policy_hash"),
    lambda: delattr(PyTamsel, "compiler_version"),
]


@pytest.mark.skipif(sys.version_info < (3, 10), reason="immutable types came with 3.10")
@pytest.mark.parametrize("change", CLASS_CHANGES)
def test_class_cannot_be_changed(example, change):
    before = dict(vars(PyTamsel))
    with pytest.raises(TypeError, match="immutable type"):
        change()
    assert dict(vars(PyTamsel)) == before
    assert PyTamsel.__flags__ & IMMUTABLE_TYPE
    assert example.evaluate({"action": {"type": "refund", "amount": 5000}})["effect"] == "block"


@pytest.mark.skipif(sys.version_info >= (3, 10), reason="3.10 and later seal the class")
def test_class_stays_a_plain_heap_type_before_3_10():
    # 3.9 has no immutable types: bit 8 must not be passed to it.
    assert not PyTamsel.__flags__ & IMMUTABLE_TYPE
    PyTamsel.added = 1
    del PyTamsel.added
    assert "added" not in vars(PyTamsel)
