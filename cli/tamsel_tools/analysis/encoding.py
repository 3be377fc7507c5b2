"""Policies as formulas in linear integer arithmetic, exact to the engine's semantics.

Each field that a rule reads is, in an input, missing or a text, a number or a
boolean, whatever the schema declares, so it becomes five solver variables:

    k  its kind: 0 missing, 1 text, 2 number, 3 boolean
    t  a text, as an integer: each text the policies write has its own, any other integer is another text
    n  a number that is not NaN, as its order key (the double's bits read as a sign and a magnitude:
       integers that order as the doubles do, -0.0 and 0.0 both 0, the infinities at the ends)
    q  whether the number is NaN
    b  a boolean

so that every comparison is a bound or a difference of two integers: a solver
decides them without bit-blasting a float, and refutes a cycle of strict
comparisons at once. Formulas are written as SMT-LIB text and parsed by the
solver in one call, which is far cheaper than building them term by term.

Conditions are monotone in their comparisons, and a comparison with a missing
side is false; so an input that makes a rule decide still does with every field
that the rule does not read removed. The analysis uses this to ask each
question over the fields that matter to it only (`within`).
"""

from __future__ import annotations

import math
from typing import Any, Dict, FrozenSet, Iterable, List, Mapping, Optional, Sequence, Tuple

from tamsel_tools.analysis import semantics
from tamsel_tools.analysis.semantics import KEY_INFINITY, Input, Lists, from_key, order_key
from tamsel_tools.model.rules import Comparison, Literal, Rule, Subject, Value

MISSING, TEXT, NUMBER, BOOLEAN = 0, 1, 2, 3
Field = Tuple[str, str]
TYPE: Field = ("action", "type")
TRUE, FALSE = "true", "false"


def _int(value: int) -> str:
    return str(value) if value >= 0 else f"(- {-value})"


def conjunction(parts: Iterable[str]) -> str:
    kept = [p for p in parts if p != TRUE]
    if FALSE in kept:
        return FALSE
    return TRUE if not kept else kept[0] if len(kept) == 1 else "(and " + " ".join(kept) + ")"


def disjunction(parts: Iterable[str]) -> str:
    kept = [p for p in parts if p != FALSE]
    if TRUE in kept:
        return TRUE
    return FALSE if not kept else kept[0] if len(kept) == 1 else "(or " + " ".join(kept) + ")"


def negation(formula: str) -> str:
    return TRUE if formula == FALSE else FALSE if formula == TRUE else f"(not {formula})"


class TextIds:
    """The integers that stand for texts: one for each text the policies write."""

    def __init__(self, texts: Iterable[str]) -> None:
        self.ids: Dict[str, int] = {}
        self.names: Dict[int, str] = {}
        for text in sorted(set(texts)):
            self.id(text)

    def id(self, text: str) -> int:
        if text not in self.ids:
            self.ids[text] = len(self.ids) + 1
            self.names[self.ids[text]] = text
        return self.ids[text]


class PolicyEncoding:
    """The fields, texts and conditions of one or more policies as formulas.

    `condition_text`, `type_is` and the like give SMT-LIB text for the
    analysis' own solvers, which parse it once with `declarations()`.
    """

    def __init__(self, rules: Sequence[Rule], extra: Sequence[Rule] = ()) -> None:
        self.rules = list(rules)
        self.lists = Lists(rules)
        everything = [*rules, *extra]
        literals = [c.right.value for r in everything for c in r.comparisons if isinstance(c.right, Literal)]
        actions = [r.scope.name for r in everything if r.scope.kind == "action" and r.scope.name is not None]
        self.texts = TextIds([*[v for v in literals if isinstance(v, str)], *actions])
        self.numbers = sorted({v for v in literals if isinstance(v, float)}, key=_number_order)
        self.fields: Dict[Field, int] = {}
        self.declared: Dict[Field, str] = {}  # the type the schema gives a field, where a rule says
        for rule in everything:
            for comparison in rule.comparisons:
                for subject in (comparison.left, comparison.right):
                    if isinstance(subject, Subject):
                        self.field((subject.domain, subject.field))
                        self.declared.setdefault((subject.domain, subject.field), comparison.type)
        self.field(TYPE)
        self.literals = _literals_by_field(everything)
        self._conditions: Dict[Tuple[int, Optional[FrozenSet[Field]]], str] = {}
        self.memo: Dict[Any, Any] = {}  # what the witness builder derives from the literals, kept

    # ------------------------------------------------------------ variables

    def field(self, key: Field) -> int:
        if key not in self.fields:
            self.fields[key] = len(self.fields)
        return self.fields[key]

    def names(self, key: Field) -> Tuple[str, str, str, str, str]:
        """The solver names of a field's kind, text, number, NaN flag and boolean."""
        i = self.field(key)
        return f"k{i}", f"t{i}", f"n{i}", f"q{i}", f"b{i}"

    def declarations(self, keys: Optional[Iterable[Field]] = None) -> str:
        """SMT-LIB declarations of the fields' variables (all fields when None)."""
        lines = []
        for key in self.fields if keys is None else keys:
            k, t, n, q, b = self.names(key)
            lines.append(
                f"(declare-const {k} Int)(declare-const {t} Int)(declare-const {n} Int)"
                f"(declare-const {q} Bool)(declare-const {b} Bool)"
            )
        return "".join(lines)

    def domain(self, keys: Optional[Iterable[Field]] = None) -> str:
        """What every input satisfies: a kind of the four, a number key of a double."""
        parts = []
        for key in self.fields if keys is None else keys:
            k, _, n, _, _ = self.names(key)
            parts.append(f"(<= 0 {k} 3)(<= {_int(-KEY_INFINITY)} {n} {KEY_INFINITY})")
        return conjunction([f"(and {''.join(parts)})"] if parts else [])

    # ------------------------------------------------------------ formulas as text

    def comparison_text(self, comparison: Comparison, within: Optional[FrozenSet[Field]] = None) -> str:
        """The comparison holds; false when it reads a field outside `within` (that field is missing)."""
        left = (comparison.left.domain, comparison.left.field)
        right = comparison.right
        if within is not None and left not in within:
            return FALSE
        if isinstance(right, Subject):
            other = (right.domain, right.field)
            if within is not None and other not in within:
                return FALSE
            return self._fields_text(left, comparison.operator, other)
        return self._literal_text(left, comparison.operator, right.value)

    def _literal_text(self, key: Field, operator: str, value: Value) -> str:
        k, t, n, q, b = self.names(key)
        if isinstance(value, bool):
            if operator not in ("equals", "not_equals"):
                return FALSE
            wanted = b if value == (operator == "equals") else f"(not {b})"
            return f"(and (= {k} {BOOLEAN}) {wanted})"
        if isinstance(value, str):
            if operator not in ("equals", "not_equals"):
                return FALSE
            same = f"(= {t} {self.texts.id(value)})"
            return f"(and (= {k} {TEXT}) {same if operator == 'equals' else negation(same)})"
        if math.isnan(value):
            return f"(= {k} {NUMBER})" if operator == "not_equals" else FALSE
        key_text = _int(order_key(value))
        if operator == "not_equals":
            return f"(and (= {k} {NUMBER}) (or {q} (not (= {n} {key_text}))))"
        relation = {"equals": "=", "greater_than": ">", "less_than": "<"}[operator]
        return f"(and (= {k} {NUMBER}) (not {q}) ({relation} {n} {key_text}))"

    def _fields_text(self, left: Field, operator: str, right: Field) -> str:
        kl, tl, nl, ql, bl = self.names(left)
        kr, tr, nr, qr, br = self.names(right)
        numbers = f"(= {kl} {NUMBER}) (= {kr} {NUMBER})"
        if operator in ("greater_than", "less_than"):
            relation = ">" if operator == "greater_than" else "<"
            return f"(and {numbers} (not {ql}) (not {qr}) ({relation} {nl} {nr}))"
        if operator == "equals":
            return (
                f"(or (and (= {kl} {TEXT}) (= {kr} {TEXT}) (= {tl} {tr}))"
                f" (and {numbers} (not {ql}) (not {qr}) (= {nl} {nr}))"
                f" (and (= {kl} {BOOLEAN}) (= {kr} {BOOLEAN}) (= {bl} {br})))"
            )
        return (
            f"(or (and (= {kl} {TEXT}) (= {kr} {TEXT}) (not (= {tl} {tr})))"
            f" (and {numbers} (or {ql} {qr} (not (= {nl} {nr}))))"
            f" (and (= {kl} {BOOLEAN}) (= {kr} {BOOLEAN}) (not (= {bl} {br}))))"
        )

    def condition_text(self, rule: Rule, within: Optional[FrozenSet[Field]] = None) -> str:
        """The rule's condition holds, with every field outside `within` missing."""
        cache = (id(rule), within)
        if cache not in self._conditions:
            parts = [self.comparison_text(c, within) for c in rule.comparisons]
            self._conditions[cache] = disjunction(parts) if rule.condition == "any" else conjunction(parts)
        return self._conditions[cache]

    def type_is(self, action: str) -> str:
        k, t, _, _, _ = self.names(TYPE)
        return f"(and (= {k} {TEXT}) (= {t} {self.texts.id(action)}))"

    # ------------------------------------------------------------ models to inputs

    def no_action_rule_text(self, within: Optional[FrozenSet[Field]] = None) -> str:
        """No rule of the list for the input's action type holds."""
        parts = []
        for action, members in self.lists.actions.items():
            any_holds = disjunction(self.condition_text(rule, within) for rule in members)
            if any_holds != FALSE:
                parts.append(f"(=> {self.type_is(action)} {negation(any_holds)})")
        return conjunction(parts)

    def witness(self, model: Any, keys: Optional[Iterable[Field]] = None) -> Input:
        """The input that a model describes, over the given fields (all when None)."""
        z3 = solver_module()
        data: Input = {"action": {}, "actor": {}, "snapshot": {}}
        others = OtherTexts(self.texts)

        def read(name: str, sort: Any) -> Any:
            return model.eval(sort(name, model.ctx), model_completion=True)

        for key in sorted(self.fields if keys is None else keys, key=lambda key: (key != TYPE, key)):
            k, t, n, q, b = self.names(key)
            chosen = read(k, z3.Int).as_long()
            value: Optional[Value] = None
            if chosen == TEXT:
                value = others.text(read(t, z3.Int).as_long())
            elif chosen == NUMBER:
                value = math.nan if z3.is_true(read(q, z3.Bool)) else from_key(read(n, z3.Int).as_long())
            elif chosen == BOOLEAN:
                value = bool(z3.is_true(read(b, z3.Bool)))
            if value is not None:
                data[key[0]][key[1]] = value
        return data

    def preferred_text(self, keys: Iterable[Field]) -> str:
        """Each field in its declared kind and, if a number, a plain one (finite, no subnormal, not -0.0):
        what the solver is asked for first, so that examples read as a person would write them."""
        parts = []
        smallest = order_key(2.2250738585072014e-308)
        for key in keys:
            declared = self.declared.get(key)
            k, _, n, q, _ = self.names(key)
            if declared is not None:
                wanted = {"string": TEXT, "number": NUMBER, "boolean": BOOLEAN}[declared]
                parts.append(f"(or (= {k} {MISSING}) (= {k} {wanted}))")
            parts.append(
                f"(=> (= {k} {NUMBER}) (and (not {q}) (< {_int(-KEY_INFINITY)} {n} {KEY_INFINITY})"
                f" (or (= {n} 0) (>= {n} {smallest}) (<= {n} {_int(-smallest)}))))"
            )
        return conjunction(parts)


class OtherTexts:
    """Texts for the solver's integers: a policy's own texts, else "other", "other 2", ... not written by it."""

    MADE_UP = frozenset(["other", *[f"other {n}" for n in range(2, 10)]])

    def __init__(self, texts: TextIds) -> None:
        self.texts = texts
        self.known = texts.names
        self.taken: set[str] = set()  # beside the policies' own texts
        self.chosen: Dict[int, str] = {}

    def text(self, number: int) -> str:
        if number in self.known:
            return self.known[number]
        if number not in self.chosen:
            self.chosen[number] = self.fresh()
        return self.chosen[number]

    def known_texts(self) -> Mapping[str, int]:
        return self.texts.ids

    def fresh(self) -> str:
        count = 1
        while True:
            candidate = "other" if count == 1 else f"other {count}"
            if candidate not in self.taken and candidate not in self.known_texts():
                self.taken.add(candidate)
                return candidate
            count += 1


def _literals_by_field(rules: Sequence[Rule]) -> Dict[Field, List[Value]]:
    """For each field, the literals it is compared with, and those of the fields it is compared to:
    the values from which an example for that field is drawn first."""
    own: Dict[Field, Dict[Any, Value]] = {}
    partners: Dict[Field, set[Field]] = {}
    for rule in rules:
        for comparison in rule.comparisons:
            left: Field = (comparison.left.domain, comparison.left.field)
            own.setdefault(left, {})
            right = comparison.right
            if isinstance(right, Literal):
                own[left][(type(right.value), repr(right.value))] = right.value
            else:
                other: Field = (right.domain, right.field)
                own.setdefault(other, {})
                partners.setdefault(left, set()).add(other)
                partners.setdefault(other, set()).add(left)
    result: Dict[Field, List[Value]] = {}
    for key, values in own.items():
        merged = dict(values)
        for other in sorted(partners.get(key, ())):
            merged.update(own.get(other, {}))
        result[key] = list(merged.values())
    return result


def _number_order(value: float) -> Tuple[int, int]:
    return (1, 0) if math.isnan(value) else (0, order_key(value))


def solver_module() -> Any:
    from tamsel_tools.analysis.solver import z3_module

    return z3_module()


def fields_of(rules: Iterable[Rule]) -> List[Field]:
    """The fields the rules read, in order of first reading."""
    seen: Dict[Field, None] = {}
    for rule in rules:
        for subject in semantics.subjects(rule):
            seen[(subject.domain, subject.field)] = None
    return list(seen)
