"""The benchmark workloads: policies, their YAML texts, inputs, and the same
policies written for the other engines (plain Python, cedarpy, casbin).

A policy is described once, in a neutral form (Rule, Cond), and every engine's
version is generated from that form so that all engines answer the same
question. Rules scoped to an actor never decide in tamsel, so the peers'
versions leave them out.
"""

from __future__ import annotations

import json
import operator
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "results"
TEXTS = RESULTS / "texts"

DOMAINS = ("action", "actor", "snapshot")


@dataclass(frozen=True)
class Cond:
    domain: str
    field: str
    op: str
    value: Any = None  # the literal, when rhs_subject is None
    rhs_subject: tuple[str, str] | None = None


@dataclass(frozen=True)
class Rule:
    id: str
    scope: tuple[str, str]  # ("action", name) | ("actor", name) | ("global", "")
    kind: str  # "atomic" | "all" | "any"
    conds: tuple[Cond, ...]
    effect: str


@dataclass(frozen=True)
class Workload:
    name: str
    schema_yaml: str
    rules: tuple[Rule, ...]
    input: dict
    expected: tuple[str, str | None]  # (effect, matched rule) that every engine must give

    @property
    def policy_yaml(self) -> str:
        return policy_text(self.rules)


# ---------------------------------------------------------------- YAML texts


def yaml_scalar(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (int, float)):
        return repr(value)
    return json.dumps(value)  # a double-quoted YAML scalar for these ASCII texts


def _subject_yaml(domain: str, field: str, flow_seq: bool) -> str:
    return f"[{domain}, {field}]" if flow_seq else f"{{domain: {domain}, field: {field}}}"


def _operand_yaml(c: Cond, flow_seq: bool) -> str:
    if c.rhs_subject is None:
        return f"{{literal: {yaml_scalar(c.value)}}}"
    return f"{{subject: {_subject_yaml(*c.rhs_subject, flow_seq)}}}"


def _cond_flow(c: Cond, flow_seq: bool) -> str:
    return f"[{_subject_yaml(c.domain, c.field, flow_seq)}, {c.op}, {_operand_yaml(c, flow_seq)}]"


def _scope_yaml(scope: tuple[str, str]) -> str:
    kind, name = scope
    return "{global: true}" if kind == "global" else f"{{{kind}: {name}}}"


def rule_yaml(rule: Rule, index: int) -> list[str]:
    """One rule in block style; the atomic form alternates between the block
    mapping and the flow sequence, as hand-written policies do."""
    lines = [f"  - id: {rule.id}", f"    scope: {_scope_yaml(rule.scope)}"]
    if rule.kind == "atomic" and index % 2 == 0:
        c = rule.conds[0]
        lines += [
            "    when:",
            f"      subject: {_subject_yaml(c.domain, c.field, False)}",
            f"      operator: {c.op}",
            f"      value: {_operand_yaml(c, False)}",
        ]
    elif rule.kind == "atomic":
        lines.append(f"    when: {_cond_flow(rule.conds[0], True)}")
    else:
        lines += ["    when:", f"      {rule.kind}:"]
        lines += [f"        - {_cond_flow(c, i % 2 == 0)}" for i, c in enumerate(rule.conds)]
    lines.append(f"    effect: {rule.effect}")
    return lines


def policy_text(rules: tuple[Rule, ...]) -> str:
    lines = ["version: 1", "rules:"]
    for i, rule in enumerate(rules):
        lines += rule_yaml(rule, i)
    return "\n".join(lines) + "\n"


def schema_text(actions: dict[str, dict[str, str]], actor: dict[str, str], snapshot: dict[str, str]) -> str:
    def fields(indent: str, declared: dict[str, str]) -> list[str]:
        if not declared:
            return [f"{indent}fields: {{}}"]
        return [f"{indent}fields:"] + [f"{indent}  {k}: {t}" for k, t in declared.items()]

    lines = ["version: 1", "actions:"]
    for name, declared in actions.items():
        lines += [f"  {name}:"] + fields("    ", declared)
    lines += ["actor:"] + fields("  ", actor) + ["snapshot:"] + fields("  ", snapshot)
    return "\n".join(lines) + "\n"


# ---------------------------------------------------------------- the example policy

EXAMPLE_SCHEMA = schema_text(
    {"refund": {"amount": "number", "currency": "string"}, "close_account": {}},
    {"role": "string", "trust_level": "number", "frozen": "boolean"},
    {"maintenance_mode": "boolean", "min_trust_level": "number"},
)

EXAMPLE_RULES = (
    Rule("block_large_refunds", ("action", "refund"), "atomic",
         (Cond("action", "amount", "greater_than", 1000),), "block"),
    Rule("review_untrusted_agents", ("actor", "support_agent"), "all",
         (Cond("actor", "trust_level", "less_than", 3),
          Cond("snapshot", "maintenance_mode", "equals", False)), "require_approval"),
    Rule("foreign_currency_or_frozen", ("action", "refund"), "any",
         (Cond("action", "currency", "not_equals", "EUR"),
          Cond("actor", "frozen", "equals", True)), "block"),
    Rule("below_required_trust", ("global", ""), "atomic",
         (Cond("actor", "trust_level", "less_than", rhs_subject=("snapshot", "min_trust_level")),),
         "block"),
)  # fmt: skip


def _filler(domain: str, count: int) -> dict:
    """Extra fields that no rule reads, cycling through the value kinds."""
    values: dict = {}
    for i in range(count):
        kind = i % 3
        values[f"{domain}_extra_{i}"] = i if kind == 0 else (f"text {i}" if kind == 1 else i % 2 == 0)
    return values


def example_input(fields_per_domain: int | None) -> dict:
    """A refund that no rule stops, so every rule is tested. None gives the
    typical ten-field input; a number gives that many fields in each domain."""
    action = {"type": "refund", "amount": 250, "currency": "EUR"}
    actor = {"role": "support_agent", "trust_level": 5, "frozen": False}
    snapshot = {"maintenance_mode": False, "min_trust_level": 3}
    if fields_per_domain is None:
        action["order_id"] = "A-1043"
        snapshot["region"] = "eu-west"
    else:
        action.update(_filler("action", fields_per_domain - len(action)))
        actor.update(_filler("actor", fields_per_domain - len(actor)))
        snapshot.update(_filler("snapshot", fields_per_domain - len(snapshot)))
    return {"action": action, "actor": actor, "snapshot": snapshot}


def example_workload(fields_per_domain: int | None) -> Workload:
    name = "example" if fields_per_domain is None else f"fields_{fields_per_domain}"
    return Workload(name, EXAMPLE_SCHEMA, EXAMPLE_RULES, example_input(fields_per_domain),
                    ("allow", None))  # fmt: skip


# ---------------------------------------------------------------- the README policy

README_SCHEMA = schema_text({"refund": {"amount": "number", "currency": "string"}}, {"role": "string"}, {})
README_RULES = (
    Rule("block_large_refunds", ("action", "refund"), "atomic",
         (Cond("action", "amount", "greater_than", 1000),), "block"),
)  # fmt: skip


def readme_workload() -> Workload:
    """The README's usage example with a typical eight-field input that no rule stops."""
    inp = {
        "action": {"type": "refund", "amount": 250, "currency": "EUR", "order_id": "A-1043"},
        "actor": {"role": "support_agent", "id": "agent-7"},
        "snapshot": {"region": "eu-west", "maintenance_mode": False},
    }
    return Workload("readme", README_SCHEMA, README_RULES, inp, ("allow", None))


# ---------------------------------------------------------------- last rule decides


def last_rule_workload(count: int = 1000) -> Workload:
    """count refund rules, each an `all` of a currency test and an amount test;
    only the last rule's currency matches the input."""
    rules = tuple(
        Rule(f"rule_{i}", ("action", "refund"), "all",
             (Cond("action", "currency", "equals", f"C{i}"),
              Cond("action", "amount", "greater_than", i)), "block")
        for i in range(count)
    )  # fmt: skip
    last = count - 1
    inp = example_input(None)
    inp["action"].update(currency=f"C{last}", amount=count * 10)
    return Workload(f"last_of_{count}", EXAMPLE_SCHEMA, rules, inp, ("block", f"rule_{last}"))


def evaluation_workloads() -> list[Workload]:
    return [example_workload(None), last_rule_workload(1000)] + [
        example_workload(n) for n in (10, 100, 1000)
    ]


# ---------------------------------------------------------------- construction sizes

ACTION_COUNT = 10
CONSTRUCTION_SCHEMA = schema_text(
    {f"action_{k}": {"amount": "number", "currency": "string", "flagged": "boolean", "limit": "number"}
     for k in range(ACTION_COUNT)},
    {"role": "string", "trust_level": "number", "frozen": "boolean"},
    {"maintenance_mode": "boolean", "min_trust_level": "number", "region": "string"},
)  # fmt: skip

EFFECTS = ("block", "require_approval", "allow")


def generated_rule(i: int) -> Rule:
    """Rule i of a generated policy: eight shapes in turn, covering every scope,
    condition form, operand kind and field type."""
    action = ("action", f"action_{i % ACTION_COUNT}")
    effect = EFFECTS[(i // 8) % 3]
    shape = i % 8
    if shape == 0:
        return Rule(f"r{i}", action, "atomic", (Cond("action", "amount", "greater_than", i),), effect)
    if shape == 1:
        conds = (Cond("action", "currency", "equals", f"C{i}"), Cond("actor", "trust_level", "less_than", 3))
        return Rule(f"r{i}", action, "all", conds, effect)
    if shape == 2:
        conds = (Cond("action", "currency", "not_equals", "EUR"), Cond("actor", "frozen", "equals", True))
        return Rule(f"r{i}", action, "any", conds, effect)
    if shape == 3:
        cond = Cond("actor", "trust_level", "less_than", rhs_subject=("snapshot", "min_trust_level"))
        return Rule(f"r{i}", ("global", ""), "atomic", (cond,), effect)
    if shape == 4:
        return Rule(f"r{i}", ("actor", f"agent_{i % 5}"), "atomic", (Cond("actor", "role", "equals", f"role {i}"),), effect)
    if shape == 5:
        cond = Cond("action", "amount", "less_than", rhs_subject=("action", "limit"))
        return Rule(f"r{i}", action, "atomic", (cond,), effect)
    if shape == 6:
        conds = (Cond("snapshot", "maintenance_mode", "equals", True), Cond("snapshot", "region", "equals", f"R{i}"),
                 Cond("actor", "trust_level", "greater_than", 2.5))  # fmt: skip
        return Rule(f"r{i}", ("global", ""), "any", conds, effect)
    return Rule(f"r{i}", action, "atomic", (Cond("action", "flagged", "equals", False),), effect)


def generated_rules(count: int) -> tuple[Rule, ...]:
    return tuple(generated_rule(i) for i in range(count))


ALL_FIELDS = ["action.amount", "action.currency", "action.flagged", "action.limit", "actor.role",
              "actor.trust_level", "actor.frozen", "snapshot.maintenance_mode",
              "snapshot.min_trust_level", "snapshot.region"]  # fmt: skip

# A few governance rules that every generated policy satisfies; each one
# selects through a different filter so that validation walks the policy.
CONSTRUCTION_GOVERNANCE = f"""version: 1
governance:
  rules:
    - id: refund-block-present
      select:
        where:
          scope: {{action: action_0}}
          effect: block
      must: {{exists: true}}
      error: every policy needs a blocking rule for action_0
    - id: action-1-fields
      applies_to:
        actions: [action_1]
      select:
        where:
          scope: {{action: action_1}}
      must:
        allowed_fields: [{", ".join(ALL_FIELDS)}]
      error: action_1 rules may only read declared fields
    - id: no-debug-rule
      select:
        where:
          id: debug
      must: {{forbid: true}}
      error: the debug rule must not ship
    - id: snapshot-readers-bounded
      select:
        where:
          when:
            subject: {{domain: snapshot}}
      must: {{max_count: 1000000}}
      error: too many rules read the snapshot
    - id: approvals-exist
      select:
        where:
          effect: require_approval
      must: {{min_count: 1}}
      error: some rule must ask for approval
"""


def construction_texts(count: int) -> tuple[str, str, str]:
    return CONSTRUCTION_SCHEMA, policy_text(generated_rules(count)), CONSTRUCTION_GOVERNANCE


def write_construction_texts(sizes: list[int]) -> None:
    """The texts that the Python and the C++ benchmarks read, so that both
    measure the same bytes."""
    for n in sizes:
        folder = TEXTS / str(n)
        folder.mkdir(parents=True, exist_ok=True)
        for name, text in zip(("schema", "policy", "governance"), construction_texts(n)):
            (folder / f"{name}.yaml").write_text(text, encoding="utf-8")


def read_construction_texts(count: int) -> tuple[str, str, str]:
    folder = TEXTS / str(count)
    return tuple((folder / f"{n}.yaml").read_text(encoding="utf-8") for n in ("schema", "policy", "governance"))  # type: ignore[return-value]


# ---------------------------------------------------------------- plain Python

OPS: dict[str, Callable[[Any, Any], bool]] = {
    "equals": operator.eq,
    "not_equals": operator.ne,
    "greater_than": operator.gt,
    "less_than": operator.lt,
}
_MISSING = object()
_EMPTY: dict = {}


def python_evaluator(rules: tuple[Rule, ...]) -> Callable[[dict], dict]:
    """A table-driven evaluator, as a user would write one: rules grouped by
    action, first match wins, action rules before global ones."""
    slot = {d: i for i, d in enumerate(DOMAINS)}
    action_rules: dict[str, list] = {}
    global_rules: list = []
    for r in rules:
        conds = tuple(
            (slot[c.domain], c.field, OPS[c.op], c.value,
             None if c.rhs_subject is None else slot[c.rhs_subject[0]],
             None if c.rhs_subject is None else c.rhs_subject[1])
            for c in r.conds
        )  # fmt: skip
        entry = (r.id, r.kind, conds, r.effect)
        if r.scope[0] == "action":
            action_rules.setdefault(r.scope[1], []).append(entry)
        elif r.scope[0] == "global":
            global_rules.append(entry)

    def evaluate(inp: dict) -> dict:
        fields = (inp.get("action", _EMPTY), inp.get("actor", _EMPTY), inp.get("snapshot", _EMPTY))

        def holds(cond: tuple) -> bool:
            d, f, op, literal, rd, rf = cond
            left = fields[d].get(f, _MISSING)
            right = literal if rd is None else fields[rd].get(rf, _MISSING)
            return left is not _MISSING and right is not _MISSING and op(left, right)

        kind_type = fields[0].get("type")
        lists = (action_rules.get(kind_type, ()) if isinstance(kind_type, str) else (), global_rules)
        for rule_list in lists:
            for rule_id, kind, conds, effect in rule_list:
                if kind == "atomic":
                    hit = holds(conds[0])
                elif kind == "all":
                    hit = all(holds(c) for c in conds)
                else:
                    hit = any(holds(c) for c in conds)
                if hit:
                    return {"effect": effect, "matched_rule": rule_id}
        return {"effect": "allow", "matched_rule": None}

    return evaluate


def example_by_hand(inp: dict) -> dict:
    """The example policy hand-written as if-statements."""
    action = inp.get("action", _EMPTY)
    actor = inp.get("actor", _EMPTY)
    snapshot = inp.get("snapshot", _EMPTY)
    if action.get("type") == "refund":
        if "amount" in action and action["amount"] > 1000:
            return {"effect": "block", "matched_rule": "block_large_refunds"}
        if ("currency" in action and action["currency"] != "EUR") or actor.get("frozen") is True:
            return {"effect": "block", "matched_rule": "foreign_currency_or_frozen"}
    if "trust_level" in actor and "min_trust_level" in snapshot:
        if actor["trust_level"] < snapshot["min_trust_level"]:
            return {"effect": "block", "matched_rule": "below_required_trust"}
    return {"effect": "allow", "matched_rule": None}


# ---------------------------------------------------------------- cedarpy

_CEDAR_OPS = {"equals": "==", "not_equals": "!=", "greater_than": ">", "less_than": "<"}


def _cedar_value(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        raise ValueError("Cedar has no floating-point values")
    return json.dumps(value)


def _cedar_cond(c: Cond) -> str:
    left = f"context.{c.domain}.{c.field}"
    right = _cedar_value(c.value) if c.rhs_subject is None else f"context.{c.rhs_subject[0]}.{c.rhs_subject[1]}"
    return f"{left} {_CEDAR_OPS[c.op]} {right}"


def cedar_policies(rules: tuple[Rule, ...]) -> tuple[str, list[str]]:
    """One forbid per blocking or approval rule, one permit per allowing rule,
    and a default permit; also the rule id behind each policy, in order (Cedar
    names them policy0, policy1, ...). Cedar evaluates every policy and lets a
    forbid win; the workloads are built so that this agrees with first-match."""
    out, ids = [], []
    for r in rules:
        if r.scope[0] == "actor":
            continue
        scope = f'action == Action::"{r.scope[1]}"' if r.scope[0] == "action" else "action"
        joiner = " && " if r.kind == "all" else " || "
        body = joiner.join(f"({_cedar_cond(c)})" for c in r.conds)
        verb = "permit" if r.effect == "allow" else "forbid"
        out.append(f"{verb}(principal, {scope}, resource) when {{ {body} }};")
        ids.append(r.id)
    out.append("permit(principal, action, resource);")
    ids.append("default")
    return "\n".join(out), ids


def cedar_evaluator(rules: tuple[Rule, ...]) -> Callable[[dict], Any]:
    import cedarpy

    policies = cedarpy.PolicySet.from_str(cedar_policies(rules)[0])
    entities = cedarpy.Entities.from_json_str("[]")

    def evaluate(inp: dict) -> Any:
        request = {
            "principal": {"type": "Actor", "id": "caller"},
            "action": {"type": "Action", "id": inp["action"]["type"]},
            "resource": {"type": "Resource", "id": "target"},
            "context": inp,
        }
        return cedarpy.is_authorized(request, policies, entities)

    return evaluate


def cedar_answer(rules: tuple[Rule, ...], result: Any) -> tuple[str, list[str]]:
    """("allow" or "deny", the rule ids of the policies that decided)."""
    import cedarpy

    ids = cedar_policies(rules)[1]
    allowed = result.decision == cedarpy.Decision.Allow
    reasons = sorted(ids[int(r.removeprefix("policy"))] for r in result.diagnostics.reasons)
    return ("allow" if allowed else "deny"), reasons


# ---------------------------------------------------------------- casbin

CASBIN_MODEL = """
[request_definition]
r = act, actor, snap

[policy_definition]
p = rule, scope, cond, eft, effect

[policy_effect]
e = priority(p.eft) || deny

[matchers]
m = (p.scope == "*" || r.act.type == p.scope) && eval(p.cond)
"""

_CASBIN_VARS = {"action": "r_act", "actor": "r_actor", "snapshot": "r_snap"}


def _casbin_cond(c: Cond) -> str:
    py_ops = {"equals": "==", "not_equals": "!=", "greater_than": ">", "less_than": "<"}
    left = f"{_CASBIN_VARS[c.domain]}.{c.field}"
    if c.rhs_subject is None:
        right = repr(c.value) if not isinstance(c.value, str) else "'" + c.value + "'"
    else:
        right = f"{_CASBIN_VARS[c.rhs_subject[0]]}.{c.rhs_subject[1]}"
    return f"{left} {py_ops[c.op]} {right}"


def casbin_evaluator(rules: tuple[Rule, ...]) -> Callable[[dict], Any]:
    """pycasbin with the priority effect, which stops at the first matching
    policy line: action rules come first, then global ones."""
    import casbin

    model = casbin.Model()
    model.load_model_from_text(CASBIN_MODEL)
    enforcer = casbin.Enforcer(model)
    lines = []
    for wanted in ("action", "global"):
        for r in rules:
            if r.scope[0] != wanted:
                continue
            joiner = " && " if r.kind == "all" else " || "
            cond = joiner.join(f"({_casbin_cond(c)})" for c in r.conds)
            scope = r.scope[1] if wanted == "action" else "*"
            lines.append([r.id, scope, cond, "deny", r.effect])
    enforcer.add_policies(lines)
    empty: dict = {}

    def evaluate(inp: dict) -> Any:
        return enforcer.enforce_ex(inp.get("action", empty), inp.get("actor", empty), inp.get("snapshot", empty))

    return evaluate


def casbin_answer(result: Any) -> tuple[str, str | None]:
    _, explain = result
    return (explain[4], explain[0]) if explain else ("allow", None)
