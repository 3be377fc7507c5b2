import subprocess
import sys

import pytest

from conftest import POLICY, SCHEMA, build, construction_error, rules_policy

RULE_UNKNOWN_FIELD = (
    "{id: r1, scope: {action: refund}, when: [[action, colour], equals, {literal: red}], "
    "effect: block}"
)
RULE_AMOUNT = (
    "{id: r2, scope: {action: refund}, when: [[action, amount], greater_than, {literal: 5}], "
    "effect: allow}"
)
GOVERNANCE_NEEDS_BLOCK = """\
version: 1
governance:
  rules:
    - id: refund-block-present
      select: {where: {scope: {action: refund}, effect: block}}
      must: {exists: true}
      error: no blocking rule
"""
GOVERNANCE_EMPTY = "version: 1\ngovernance:\n  rules: []\n"


@pytest.mark.parametrize(
    "schema, policy, governance, message",
    [
        # Stage order: the earliest faulty stage reports.
        ("", "rules: [", None, "missing field `version`"),
        ("", "", "", "missing field `version`"),
        ("version: 1\n", POLICY, None, "missing field `actions`"),
        (SCHEMA + "---\nb: 2\n", "rules: [", None,
         "deserializing from YAML containing more than one document is not supported"),
        (SCHEMA, "", "governance: [", "missing field `version`"),
        (SCHEMA, "version: 1\n", None, "missing field `rules`"),
        (SCHEMA, "version: 1\nrules: ~\n", None,
         "rules: invalid type: unit value, expected a sequence at line 2 column 8"),
        (SCHEMA, POLICY, "", "missing field `version`"),
        (SCHEMA, POLICY, "version: 1\n", "missing field `governance`"),
        # Compilation runs after every document has been read.
        (SCHEMA, rules_policy("{id: r, scope: {action: payout}, when: [[action, amount], "
                              "equals, {literal: 1}], effect: block}"), None,
         "unknown action 'payout' in scope"),
        (SCHEMA, rules_policy(RULE_UNKNOWN_FIELD), None,
         "unknown field 'colour' in domain 'action'"),
        (SCHEMA, rules_policy("{id: r, scope: {action: refund}, when: [[action, amount], "
                              "equals, {literal: x}], effect: block}"), None,
         "type mismatch: left is 'Number', right is 'String'"),
        (SCHEMA, rules_policy(RULE_UNKNOWN_FIELD), GOVERNANCE_EMPTY,
         "unknown field 'colour' in domain 'action'"),
        # A governance violation hides the compile error.
        (SCHEMA, rules_policy(RULE_UNKNOWN_FIELD, RULE_AMOUNT), GOVERNANCE_NEEDS_BLOCK.replace(
            "effect: block", "effect: require_approval"),
         'governance validation failed: [GovernanceViolation { rule_id: "refund-block-present", '
         'message: "no blocking rule" }]'),
    ],
)
def test_construction_errors(schema, policy, governance, message):
    assert construction_error(schema, policy, governance) == message


def test_governance_is_enforced_only_when_given():
    policy = rules_policy(RULE_AMOUNT)
    assert build(SCHEMA, policy).evaluate({}) == {"effect": "allow", "matched_rule": None}
    assert construction_error(SCHEMA, policy, GOVERNANCE_NEEDS_BLOCK).startswith(
        "governance validation failed: ")


def test_ways_of_binding_give_the_same_policy():
    hashes = {
        build(SCHEMA, POLICY).policy_hash(),
        build(SCHEMA, POLICY, None).policy_hash(),
        build(schema_yaml=SCHEMA, policy_yaml=POLICY).policy_hash(),
        build(SCHEMA, policy_yaml=POLICY, governance_yaml=None).policy_hash(),
        build(SCHEMA, POLICY, GOVERNANCE_EMPTY).policy_hash(),
    }
    assert len(hashes) == 1


class Text(str):
    pass


def test_str_subclasses_are_texts():
    assert build(Text(SCHEMA), Text(POLICY)).policy_hash() == build(SCHEMA, POLICY).policy_hash()


def test_policy_hash_is_stable_and_hexadecimal():
    single = rules_policy(RULE_AMOUNT)
    first = build(SCHEMA, single)
    text = first.policy_hash()
    assert len(text) == 64 and set(text) <= set("0123456789abcdef")
    assert build(SCHEMA, "# layout only\n" + single).policy_hash() == text
    assert build(SCHEMA, single.replace("r2", "r3")).policy_hash() != text
    assert build(SCHEMA, single.replace("{literal: 5}", "{literal: 6}")).policy_hash() != text


def test_hash_is_the_same_in_another_process():
    # Several keys in both rule maps: their order must not depend on the process.
    policy = POLICY + (
        "  - id: close_needs_review\n"
        "    scope: {action: close_account}\n"
        "    when: [[actor, role], equals, {literal: admin}]\n"
        "    effect: require_approval\n"
        "  - id: bots_frozen\n"
        "    scope: {actor: bot}\n"
        "    when: [[actor, frozen], equals, {literal: true}]\n"
        "    effect: block\n"
    )
    script = "import sys, tamsel; print(tamsel.PyTamsel(sys.argv[1], sys.argv[2]).policy_hash())"
    hashes = {
        subprocess.run([sys.executable, "-c", script, SCHEMA, policy], check=True,
                       capture_output=True, text=True).stdout.strip()
        for _ in range(2)
    }
    assert hashes == {build(SCHEMA, policy).policy_hash()}
