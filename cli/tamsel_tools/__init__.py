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

from typing import Any

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
from tamsel_tools.analysis.properties.proof import check_properties
from tamsel_tools.base.text import printable
from tamsel_tools.model.coverage import AlonePair, ComparisonCoverage, Coverage, RuleCoverage, Seen, Share
from tamsel_tools.model.explanation import ComparisonStep, Decision, Explanation, ListName, Reason, Step
from tamsel_tools.model.policy import InternalError, Policy, PolicyError
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
from tamsel_tools.suggest.gaps import Gap, GapKind
from tamsel_tools.suggest.suggestion import ImpossibleGap, SuggestedCase, Suggestion, suggest

# The analysis proves properties for `Policy.check_property`; the model it builds on cannot import it.
Policy.prover = check_properties

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
    """`main`, the command, loaded when asked for: the library needs no command line."""
    if name == "main":
        from tamsel_tools.cli.main import main

        return main
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
