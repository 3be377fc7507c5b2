"""A refunds desk guarded by tamsel: builds one policy and asks it about a few requests.

The rule 'review_untrusted_agents' is scoped to an actor. Such a rule is checked
and compiled and counts in the policy hash, but evaluation never runs it: it
never decides, as the last request shows."""

import tamsel

SCHEMA = """\
version: 1
actions:
  refund:
    fields:
      amount: number
      currency: string
  close_account:
    fields: {}
actor:
  fields:
    role: string
    trust_level: number
    frozen: boolean
snapshot:
  fields:
    maintenance_mode: boolean
    min_trust_level: number
"""

POLICY = """\
version: 1
rules:
  - id: block_large_refunds
    scope:
      action: refund
    when:
      subject:
        domain: action
        field: amount
      operator: greater_than
      value:
        literal: 1000
    effect: block
  - id: review_untrusted_agents
    scope: {actor: support_agent}  # actor-scoped: compiled and hashed, never decides
    when:
      all:
        - [{domain: actor, field: trust_level}, less_than, {literal: 3}]
        - subject: [snapshot, maintenance_mode]
          operator: equals
          value: {literal: false}
    effect: require_approval
  - id: foreign_currency_or_frozen
    scope: {action: refund}
    when:
      any:
        - [[action, currency], not_equals, {literal: "EUR"}]
        - [{domain: actor, field: frozen}, equals, {literal: true}]
    effect: block
  - id: below_required_trust
    scope: {global: true}
    when:
      subject: {domain: actor, field: trust_level}
      operator: less_than
      value:
        subject: {domain: snapshot, field: min_trust_level}
    effect: block
"""

GOVERNANCE = """\
version: 1
governance:
  rules:
    - id: refund-block-present
      select:
        where:
          scope:
            action: refund
          effect: block
      must:
        exists: true
      error: every policy needs a blocking refund rule
    - id: refund-fields
      applies_to:
        actions: [refund]
      select:
        where:
          scope:
            action: refund
      must:
        allowed_fields: [action.amount, action.currency, actor.frozen]
      error: refund rules may only read the amount, the currency and the frozen flag
"""

REQUESTS = [
    ("small refund in euros",
     {"action": {"type": "refund", "amount": 40, "currency": "EUR"},
      "actor": {"role": "agent", "trust_level": 5, "frozen": False},
      "snapshot": {"maintenance_mode": False, "min_trust_level": 2}}),
    ("large refund",
     {"action": {"type": "refund", "amount": 5000, "currency": "EUR"},
      "actor": {"role": "agent", "trust_level": 5, "frozen": False},
      "snapshot": {"maintenance_mode": False, "min_trust_level": 2}}),
    ("refund in dollars",
     {"action": {"type": "refund", "amount": 40, "currency": "USD"},
      "actor": {"role": "agent", "trust_level": 5, "frozen": False},
      "snapshot": {"maintenance_mode": False, "min_trust_level": 2}}),
    ("account closure by an untrusted actor",
     {"action": {"type": "close_account"},
      "actor": {"role": "agent", "trust_level": 1, "frozen": False},
      "snapshot": {"maintenance_mode": False, "min_trust_level": 2}}),
    ("empty request", {}),
    # An untrusted support agent outside maintenance: 'review_untrusted_agents'
    # reads as if it held the closure for approval, but no actor rule decides.
    ("account closure by a support agent",
     {"action": {"type": "close_account"},
      "actor": {"type": "support_agent", "role": "support_agent", "trust_level": 2, "frozen": False},
      "snapshot": {"maintenance_mode": False, "min_trust_level": 2}}),
]


def main() -> None:
    print(f"tamsel {tamsel.PyTamsel.compiler_version()}")
    engine = tamsel.PyTamsel(SCHEMA, POLICY, GOVERNANCE)
    print(f"policy hash: {engine.policy_hash()}")
    for label, request in REQUESTS:
        print(f"{label:40} -> {engine.evaluate(request)}")

    print("\nwhat a policy author sees when a document is wrong:")
    broken_policy = POLICY.replace("effect: require_approval", "effect: deny")
    strict_governance = GOVERNANCE.replace("actor.frozen]", "]")
    for label, documents in [
        ("an unknown effect", (SCHEMA, broken_policy)),
        ("an unknown field", (SCHEMA, POLICY.replace("field: amount", "field: total"))),
        ("a governance violation", (SCHEMA, POLICY, strict_governance)),
    ]:
        try:
            tamsel.PyTamsel(*documents)
        except ValueError as error:
            print(f"{label:40} -> {error}")


if __name__ == "__main__":
    main()
