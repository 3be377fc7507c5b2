"""Python module entry point.

Must match the compiled library name to satisfy Python's
`PyInit_<module>` symbol requirements."""

from typing import Literal, TypedDict, final

__all__ = ["PyTamsel"]

# A field value; an int is accepted wherever a float is.
_FieldValue = bool | float | str

class _Decision(TypedDict):
    effect: Literal["allow", "block", "require_approval"]
    matched_rule: str | None

@final
class PyTamsel:
    """Python-exposed Tamsel class.

    This is a thin wrapper around `CompiledPolicy`.
    Compilation occurs during initialization.
    Evaluation is deterministic and stateless."""

    def __new__(
        cls, schema_yaml: str, policy_yaml: str, governance_yaml: str | None = None
    ) -> PyTamsel: ...
    def evaluate(self, input: dict[str, dict[str, _FieldValue]]) -> _Decision:
        """Evaluates the compiled policy against runtime input.

        Expected input format:
        {
            "action": { ... },
            "actor": { ... },
            "snapshot": { ... }
        }

        Missing keys are treated as empty maps.

        Returns:
        {
            "effect": "allow" | "block" | "require_approval",
            "matched_rule": Optional[str]
        }"""
    def policy_hash(self) -> str: ...
    @staticmethod
    def compiler_version() -> str: ...
