"""Tools for tamsel policy authors: see inside a policy and its decisions, and test them.

The `tamsel` command is a thin layer over this package. Start from `Policy`:

    policy = Policy.from_files("schema.yaml", "policy.yaml", "governance.yaml")
    policy.rules                 # every rule, in document order (Rule values)
    policy.canonical_text        # what policy_hash() digests
    policy.explain(input)        # the decision of evaluate, with every step that reached it
    coverage = policy.coverage() # add explanations, then read rule_share, comparison_share, alone_share
    lint(policy.rules, policy)   # the rules that no input can make decide (needs z3)
    diff(old.rules, old, new.rules, new)  # what replacing old by new changes (needs z3)
    policy.check_property(Property(...))  # proven for every input, or refuted by one (needs z3)
    suggest(policy, coverage)    # the cases that close coverage's gaps, and why the rest cannot be (needs z3)
    with DecisionLog("logs", policy.engine) as log: log.evaluate(input)  # decisions recorded
    replay("logs", new_policy)   # what new_policy would have decided differently (ReplayReport)

Every decision shown comes from `tamsel.PyTamsel.evaluate` itself (`Policy.engine`).
Documents that do not build raise `PolicyError` (a `ValueError`) naming the document and
the position; a disagreement between the tools and the engine raises `InternalError`.
"""

import importlib
from typing import TYPE_CHECKING, Any

from tamsel_tools.model.policy import Policy

if TYPE_CHECKING:
    from tamsel_tools.analysis.api import (
        AnalysisError,
        AnalysisUnavailable,
        Change,
        Decider,
        Finding,
        Undecided,
        deciding_inputs,
        diff,
        lint,
    )
    from tamsel_tools.base.text import printable
    from tamsel_tools.model.coverage import AlonePair, ComparisonCoverage, Coverage, RuleCoverage, Seen, Share
    from tamsel_tools.model.explanation import ComparisonStep, Decision, Explanation, ListName, Reason, Step
    from tamsel_tools.model.policy import InternalError, PolicyError
    from tamsel_tools.model.property import ExpectKind, Property, PropertyError, PropertyResult, Verdict
    from tamsel_tools.model.rules import (
        Comparison,
        ConditionKind,
        DocumentName,
        Domain,
        Effect,
        FieldType,
        Literal,
        Operator,
        Rule,
        Scope,
        ScopeKind,
        Subject,
        Value,
    )
    from tamsel_tools.replaying.api import ReplayError, replay
    from tamsel_tools.replaying.fragments import Job, PolicyTexts, replay_batch, replay_fragment
    from tamsel_tools.replaying.log import DecisionLog, DecisionLogError
    from tamsel_tools.replaying.logs import Fragment, plan
    from tamsel_tools.replaying.summary import (
        ActionTypeCount,
        ActorValueCount,
        BadRecord,
        Example,
        PartialSummary,
        PolicyHashCount,
        ReplayReport,
        RuleChange,
        TransitionCount,
    )
    from tamsel_tools.suggesting.gaps import Gap, GapKind
    from tamsel_tools.suggesting.suggestion import ImpossibleGap, SuggestedCase, Suggestion, suggest

# Where each public name lives: loaded when first asked for, so that a command (or a
# host that only logs decisions) does not pay for the analysis, the replay or z3 to start.
_WHERE = {
    "AnalysisError": "tamsel_tools.analysis.api",
    "AnalysisUnavailable": "tamsel_tools.analysis.api",
    "Change": "tamsel_tools.analysis.api",
    "Decider": "tamsel_tools.analysis.api",
    "Finding": "tamsel_tools.analysis.api",
    "Undecided": "tamsel_tools.analysis.api",
    "deciding_inputs": "tamsel_tools.analysis.api",
    "diff": "tamsel_tools.analysis.api",
    "lint": "tamsel_tools.analysis.api",
    "printable": "tamsel_tools.base.text",
    "AlonePair": "tamsel_tools.model.coverage",
    "ComparisonCoverage": "tamsel_tools.model.coverage",
    "Coverage": "tamsel_tools.model.coverage",
    "RuleCoverage": "tamsel_tools.model.coverage",
    "Seen": "tamsel_tools.model.coverage",
    "Share": "tamsel_tools.model.coverage",
    "ComparisonStep": "tamsel_tools.model.explanation",
    "Decision": "tamsel_tools.model.explanation",
    "Explanation": "tamsel_tools.model.explanation",
    "ListName": "tamsel_tools.model.explanation",
    "Reason": "tamsel_tools.model.explanation",
    "Step": "tamsel_tools.model.explanation",
    "InternalError": "tamsel_tools.model.policy",
    "PolicyError": "tamsel_tools.model.policy",
    "ExpectKind": "tamsel_tools.model.property",
    "Property": "tamsel_tools.model.property",
    "PropertyError": "tamsel_tools.model.property",
    "PropertyResult": "tamsel_tools.model.property",
    "Verdict": "tamsel_tools.model.property",
    "Comparison": "tamsel_tools.model.rules",
    "ConditionKind": "tamsel_tools.model.rules",
    "DocumentName": "tamsel_tools.model.rules",
    "Domain": "tamsel_tools.model.rules",
    "Effect": "tamsel_tools.model.rules",
    "FieldType": "tamsel_tools.model.rules",
    "Literal": "tamsel_tools.model.rules",
    "Operator": "tamsel_tools.model.rules",
    "Rule": "tamsel_tools.model.rules",
    "Scope": "tamsel_tools.model.rules",
    "ScopeKind": "tamsel_tools.model.rules",
    "Subject": "tamsel_tools.model.rules",
    "Value": "tamsel_tools.model.rules",
    "ReplayError": "tamsel_tools.replaying.api",
    "replay": "tamsel_tools.replaying.api",
    "Job": "tamsel_tools.replaying.fragments",
    "PolicyTexts": "tamsel_tools.replaying.fragments",
    "replay_batch": "tamsel_tools.replaying.fragments",
    "replay_fragment": "tamsel_tools.replaying.fragments",
    "DecisionLog": "tamsel_tools.replaying.log",
    "DecisionLogError": "tamsel_tools.replaying.log",
    "Fragment": "tamsel_tools.replaying.logs",
    "plan": "tamsel_tools.replaying.logs",
    "ActionTypeCount": "tamsel_tools.replaying.summary",
    "ActorValueCount": "tamsel_tools.replaying.summary",
    "BadRecord": "tamsel_tools.replaying.summary",
    "Example": "tamsel_tools.replaying.summary",
    "PartialSummary": "tamsel_tools.replaying.summary",
    "PolicyHashCount": "tamsel_tools.replaying.summary",
    "ReplayReport": "tamsel_tools.replaying.summary",
    "RuleChange": "tamsel_tools.replaying.summary",
    "TransitionCount": "tamsel_tools.replaying.summary",
    "Gap": "tamsel_tools.suggesting.gaps",
    "GapKind": "tamsel_tools.suggesting.gaps",
    "ImpossibleGap": "tamsel_tools.suggesting.suggestion",
    "SuggestedCase": "tamsel_tools.suggesting.suggestion",
    "Suggestion": "tamsel_tools.suggesting.suggestion",
    "suggest": "tamsel_tools.suggesting.suggestion",
    "main": "tamsel_tools.cli.main",
}


def _check_properties(*arguments: Any) -> Any:
    """The analysis, loaded when a property is first checked."""
    from tamsel_tools.analysis.properties.proof import check_properties

    return check_properties(*arguments)


# The analysis proves properties for `Policy.check_property`; the model it builds on cannot import it.
Policy.prover = _check_properties

__all__ = [
    # Building a policy
    "Policy",
    "PolicyError",
    "InternalError",
    # Its compiled rules
    "Rule",
    "Scope",
    "Comparison",
    "Subject",
    "Literal",
    # One decision, explained
    "Decision",
    "Explanation",
    "Step",
    "ComparisonStep",
    # Exact analysis (needs z3: tamsel[analysis])
    "lint",
    "diff",
    "deciding_inputs",
    "Finding",
    "Change",
    "Decider",
    "AnalysisUnavailable",
    "AnalysisError",
    "Undecided",
    # Properties: claims over every input, proven or refuted (needs z3)
    "Property",
    "PropertyResult",
    "PropertyError",
    "ExpectKind",
    "Verdict",
    # Decision logs and their replay (pyarrow: tamsel[replay]; Dask: tamsel[cluster])
    "DecisionLog",
    "DecisionLogError",
    "replay",
    "ReplayError",
    "ReplayReport",
    "TransitionCount",
    "RuleChange",
    "ActionTypeCount",
    "ActorValueCount",
    "PolicyHashCount",
    "Example",
    "BadRecord",
    # One fragment of a log, for other engines' tasks (Ray, Spark)
    "plan",
    "Fragment",
    "Job",
    "PolicyTexts",
    "replay_fragment",
    "replay_batch",
    "PartialSummary",
    # Coverage over many decisions
    "Coverage",
    "RuleCoverage",
    "ComparisonCoverage",
    "AlonePair",
    "Seen",
    "Share",
    # Cases that close its gaps (needs z3)
    "suggest",
    "Suggestion",
    "SuggestedCase",
    "ImpossibleGap",
    "Gap",
    "GapKind",
    # The words of the model, as typing.Literal types
    "Domain",
    "Operator",
    "Effect",
    "FieldType",
    "ScopeKind",
    "ConditionKind",
    "DocumentName",
    "ListName",
    "Reason",
    "Value",
    # Printing
    "printable",
    # The command
    "main",
]


def __getattr__(name: str) -> Any:
    """A public name, imported from its module when first asked for."""
    module = _WHERE.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    return getattr(importlib.import_module(module), name)


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
