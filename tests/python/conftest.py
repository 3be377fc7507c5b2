import textwrap

import pytest

import tamsel

SCHEMA = textwrap.dedent(
    """\
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
)

POLICY = textwrap.dedent(
    """\
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
        scope: {actor: support_agent}
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
)


# The tests' short name for the constructor.
build = tamsel.PyTamsel


def construction_error(schema, policy, governance=None):
    """The ValueError text of a construction that must fail."""
    with pytest.raises(ValueError) as caught:
        tamsel.PyTamsel(schema, policy, governance)
    assert type(caught.value) is ValueError
    return str(caught.value)


def rules_policy(*rules):
    """A policy document holding the given rule texts (each a YAML mapping in flow style)."""
    return "version: 1\nrules:\n" + "".join(f"  - {rule}\n" for rule in rules)


@pytest.fixture(scope="session")
def example():
    return build(SCHEMA, POLICY)
