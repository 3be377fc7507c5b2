"""`tamsel test --coverage-html DIR`: the coverage as a static site to look at.

`index.html` lists each policy with its shares, in the words `--coverage` prints;
`policy-N.html` shows the N-th policy's text, each line numbered, with a mark on
the line of every rule and comparison: decided or never; made true and false,
only one of them, or never made; shown to decide alone or not. A mark that shows a gap says why, and is an
element with `data-line` (1-based) and `data-gap` (`never_decided`, `never_true`,
`never_false`, `never_made`, `not_alone`), so that tests and other tools can read the page;
one that shows no gap has `data-line` and `data-covered`.

The pages read with JavaScript off and fetch nothing: the style is inline, there
is no script, no image, no font and no link but between the pages. Every text
from a document or a suite (paths, rule ids, the policy's lines) is escaped for
HTML and made printable, so that no file or id can add markup.
"""

from __future__ import annotations

import html
import re
from dataclasses import dataclass, replace
from typing import Dict, List, Optional, Sequence, Tuple

from tamsel_tools.base.echo import bounded, quoted
from tamsel_tools.base.strict_json import dumps
from tamsel_tools.base.text import printable
from tamsel_tools.model.coverage import ComparisonCoverage, RuleCoverage
from tamsel_tools.render.coverage import NOT_ALONE, coverage_lines
from tamsel_tools.suggesting.suggestion import Suggestion
from tamsel_tools.suites.running import PolicyCoverage

# How every page begins: what the report rules look for before they replace a page.
BEGINNING = "<!DOCTYPE html>\n<!-- tamsel coverage report -->\n"
INDEX = "index.html"
_GAPS = {"never made": "never_made", "never true": "never_true", "never false": "never_false"}

_STYLE = """
body { font-family: sans-serif; margin: 1.5em; color: #222; }
table.listing { border-collapse: collapse; font-family: monospace; }
table.listing td { vertical-align: top; padding: 0 0.6em; }
td.number { color: #888; text-align: right; user-select: none; }
td.text { white-space: pre; }
.mark { display: inline-block; font-family: sans-serif; font-size: 85%; margin: 0.1em 0.3em 0.1em 0;
        padding: 0 0.4em; border-radius: 0.3em; white-space: normal; }
.mark.gap { background: #fde2e1; border: 1px solid #e0a09c; }
.mark.covered { background: #e1f5e3; border: 1px solid #9ccfa3; }
.suggested { font-style: italic; }
tr.gap td.number { background: #fde2e1; }
table.shares td, table.shares th { padding: 0.2em 0.8em; text-align: left; }
"""


def _text(text: str) -> str:
    """A text from a document or a suite, safe as HTML content or attribute."""
    return html.escape(printable(text), quote=True)


def _line_text(line: str) -> str:
    """A line of the policy as it reads: tabs kept, every other control made visible."""
    return "\t".join(_text(part) for part in line.split("\t"))


def _page(title: str, body: List[str]) -> str:
    return (
        BEGINNING + '<html lang="en">\n<head>\n<meta charset="utf-8">\n'
        # Nothing is fetched, whatever the page holds.
        "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'\">\n"
        f"<title>{title}</title>\n<style>{_STYLE}</style>\n</head>\n<body>\n" + "\n".join(body) + "\n</body>\n</html>\n"
    )


GapKey = Tuple[str, int, Optional[int]]  # the gap's kind, its rule's index, its comparison's member
# What suggest says of each gap it was asked about: the case that closes it, or why none can.
Suggested = Dict[GapKey, str]


@dataclass(frozen=True)
class Mark:
    line: int
    gap: Optional[str]  # one of the data-gap words; None when the mark shows no gap
    label: str  # what it marks and its state, in the words of --coverage
    why: str  # the counts behind it
    key: Optional[GapKey] = None  # the gap's, as suggest names it
    suggested: Optional[str] = None

    def render(self) -> str:
        kind = f'gap" data-gap="{self.gap}' if self.gap is not None else 'covered" data-covered="true'
        said = "" if self.suggested is None else f'<br><span class="suggested">{_text(bounded(self.suggested))}</span>'
        return (
            f'<span class="mark {kind}" data-line="{self.line}"><b>{_text(bounded(self.label))}</b>'
            f" &mdash; {_text(bounded(self.why))}{said}</span>"
        )


def _times(count: int) -> str:
    return "once" if count == 1 else f"{count} times"


def _rule_mark(each: RuleCoverage) -> Mark:
    rule = each.rule
    name = f"rule {quoted(rule.id)}"
    if not rule.can_decide:
        why = "evaluation never runs rules scoped to an actor; the shares do not count it"
        return Mark(rule.line, "never_decided", f"{name} is scoped to an actor: unable to decide", why,
                    ("never_decided", rule.index, None))  # fmt: skip
    reached = _reached(each)
    if each.decided:
        return Mark(rule.line, None, f"{name} decided", f"decided {_times(each.decided)}, reached {_times(reached)}")
    if reached:
        why = f"reached {_times(reached)} (its condition tested) and its condition never held"
    else:
        why = "never reached: every case was decided before it, or is of another action"
    return Mark(rule.line, "never_decided", f"{name} never decided", why, ("never_decided", rule.index, None))


def _reached(each: RuleCoverage) -> int:
    """How often the rule's condition was tested: its first comparison is made each time."""
    first = each.comparisons[0] if each.comparisons else None
    return 0 if first is None else first.true + first.false


def _comparison_mark(each: RuleCoverage, made: ComparisonCoverage) -> Mark:
    comparison = made.comparison
    name = f"comparison {comparison.member} of rule {quoted(each.rule.id)}"
    counts = f"true {_times(made.true)}, false {_times(made.false)}"
    if made.gap is None:
        return Mark(comparison.line, None, f"{name} both true and false", counts)
    if made.gap == "never made":
        if _reached(each) == 0:
            why = "its rule was never reached"
        else:
            settled = "false" if each.rule.condition == "all" else "true"
            why = f"whenever its rule was reached, a comparison before it was {settled} and settled the condition"
    else:
        why = f"made {_times(made.true + made.false)}, {'false' if made.gap == 'never true' else 'true'} every time"
    key = (_GAPS[made.gap], each.rule.index, comparison.member)
    return Mark(comparison.line, _GAPS[made.gap], f"{name} {made.gap}", why, key)


def _alone_mark(each: RuleCoverage, made: ComparisonCoverage) -> Mark:
    comparison = made.comparison
    name = f"comparison {comparison.member} of rule {quoted(each.rule.id)}"
    pairs = made.alone_pairs
    if pairs:
        more = f", and {len(pairs) - 1} more pair{'s' if len(pairs) > 2 else ''}" if len(pairs) > 1 else ""
        why = f"the rule holds for {pairs[0].holds} and not for {pairs[0].fails}, which differ in it alone{more}"
        return Mark(comparison.line, None, f"{name} {NOT_ALONE.replace('not ', '')}", why)
    if not made.covered:
        why = "it was not made both true and false, so no two cases can differ in it"
    else:
        why = (
            "no two cases that reach its rule differ in it, agree on every other comparison made in both, "
            "and differ in whether the rule holds"
        )
    return Mark(
        comparison.line, "not_alone", f"{name} {NOT_ALONE}", why, ("not_alone", each.rule.index, comparison.member)
    )


def suggested_of(suggestion: Suggestion) -> Suggested:
    """What suggest said of each gap: the case that closes it, why none can, or that it is undecided."""
    said: Suggested = {}
    for case in suggestion.cases:
        rule = case.expect["matched_rule"]
        decision = f"{case.expect['effect']} by {'the default' if rule is None else 'rule ' + quoted(rule)}"
        for gap in case.closes:
            said[gap.key] = f"closed by the suggested case {dumps(case.name)}: {dumps(case.input)}, decided {decision}"
    for impossible in suggestion.impossible:
        said[impossible.gap.key] = f"no input closes it: {impossible.reason}"
    for gap in suggestion.undecided:
        said[gap.key] = "suggest did not settle it within the solver's time (--timeout)"
    return said


def marks(covered: PolicyCoverage, suggested: Optional[Suggested] = None) -> List[Mark]:
    """A mark for every rule and, of a rule that can decide, two for every comparison (made both
    ways; shown to decide alone), in document order; each gap's with what suggest says of it."""
    found: List[Mark] = []
    for each in covered.coverage.rules:
        found.append(_rule_mark(each))
        if each.rule.can_decide:
            for made in each.comparisons:
                found += [_comparison_mark(each, made), _alone_mark(each, made)]
    if suggested is None:
        return found
    return [replace(mark, suggested=suggested.get(mark.key)) if mark.key is not None else mark for mark in found]


def headline(covered: PolicyCoverage) -> str:
    """The shares as `--coverage` prints them, without the policy's path."""
    first = coverage_lines(covered)[0]
    prefix = f"{printable(covered.path)}: "
    return first[len(prefix) :] if first.startswith(prefix) else first


def page_name(number: int) -> str:
    return f"policy-{number}.html"


def index_page(policies: Sequence[PolicyCoverage]) -> str:
    rows = []
    for number, each in enumerate(policies, 1):
        gaps = sum(mark.gap is not None for mark in marks(each))
        rows.append(
            f'<tr data-policy="{number}"><td><a href="{page_name(number)}">{_text(each.path)}</a></td>'
            f'<td class="shares">{_text(headline(each))}</td><td>{gaps}</td></tr>'
        )
    table = (
        '<table class="shares">\n<tr><th>policy</th><th>shares</th><th>gaps</th></tr>\n'
        + "\n".join(rows)
        + "\n</table>"
        if rows
        else "<p>No policy was covered: no suite ran.</p>"
    )
    return _page("tamsel coverage", ["<h1>tamsel coverage</h1>", table])


_LINES = re.compile(r"\r\n|\r|\n")  # as the engine counts lines


def policy_page(
    number: int, covered: PolicyCoverage, text: Optional[str], suggested: Optional[Suggested] = None
) -> str:
    """The policy's text, each line with the marks that stand on it."""
    by_line: Dict[int, List[Mark]] = {}
    for mark in marks(covered, suggested):
        by_line.setdefault(mark.line, []).append(mark)
    lines = _LINES.split(text) if text is not None else []
    rows = []
    for index, line in enumerate(lines, 1):
        placed = by_line.pop(index, [])
        gap = ' class="gap"' if any(mark.gap is not None for mark in placed) else ""
        badges = "".join(mark.render() for mark in placed)
        rows.append(
            f'<tr id="L{index}"{gap}><td class="number">{index}</td><td class="text">{_line_text(line)}</td>'
            f"<td>{badges}</td></tr>"
        )
    body = [
        f'<p><a href="{INDEX}">all policies</a></p>',
        f"<h1>{_text(covered.path)}</h1>",
        f'<p class="shares">{_text(headline(covered))}</p>',
        "<p>Each rule and comparison is marked on its line: a red mark is a gap and says why, a green one "
        "is covered. Only cases that expect a decision count.</p>",
        "<p>"
        + (
            "Under each gap, the case that <code>tamsel suggest</code> finds to close it, or why no input can."
            if suggested is not None
            else "Suggested cases are not shown: they need the z3 solver (<code>pip install 'tamsel[analysis]'</code>)."
        )
        + "</p>",
    ]
    if text is None:
        body.append("<p>The policy's text could not be read again: the marks are listed by line.</p>")
    body.append('<table class="listing">\n' + "\n".join(rows) + "\n</table>")
    left = [mark for line in sorted(by_line) for mark in by_line[line]]
    if left:  # the file changed or shrank since the suites ran
        body.append("<p>Marks past the end of the text as it reads now:</p>")
        body.append("<ul>" + "".join(f"<li>line {mark.line}: {mark.render()}</li>" for mark in left) + "</ul>")
    return _page(f"tamsel coverage: {_text(covered.path)}", body)


def site(
    policies: Sequence[PolicyCoverage],
    texts: Sequence[Optional[str]],
    suggested: Optional[Sequence[Optional[Suggested]]] = None,
) -> List[Tuple[str, str]]:
    """Every page of the site, by file name: the index, then a page a policy (with what suggest
    says of its gaps, when it ran)."""
    said = list(suggested) if suggested is not None else [None] * len(policies)
    pages = [(INDEX, index_page(policies))]
    pages += [(page_name(n), policy_page(n, *each)) for n, each in enumerate(zip(policies, texts, said), 1)]
    return pages
