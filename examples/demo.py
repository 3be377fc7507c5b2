"""A refunds desk guarded by tamsel: builds one policy and asks it about a few requests."""

from pathlib import Path

import tamsel

# The documents live beside this program, in refunds/, where the command-line
# tools and the decision tests use them too.
DOCUMENTS = Path(__file__).resolve().parent / "refunds"
SCHEMA = (DOCUMENTS / "schema.yaml").read_text(encoding="utf-8")
POLICY = (DOCUMENTS / "policy.yaml").read_text(encoding="utf-8")
GOVERNANCE = (DOCUMENTS / "governance.yaml").read_text(encoding="utf-8")

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
