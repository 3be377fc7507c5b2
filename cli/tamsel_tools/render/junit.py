"""The JUnit XML report of `tamsel test`, for CI systems."""

from __future__ import annotations

import re
import xml.etree.ElementTree as ElementTree
from typing import Dict, List

from tamsel_tools.base.echo import bounded
from tamsel_tools.base.text import printable
from tamsel_tools.suites.running import SuiteResult

# Characters that XML 1.0 cannot hold, not even as references.
_NOT_XML = re.compile("[^\t\n\r\x20-\ud7ff\ue000-\ufffd\U00010000-\U0010ffff]")


def _xml_text(text: str) -> str:
    return _NOT_XML.sub(lambda found: f"\\u{ord(found[0]):04x}", printable(bounded(text)))


def _counts(results: List[SuiteResult]) -> Dict[str, str]:
    return {
        "tests": str(sum(len(r.cases) + len(r.undecided) + bool(r.load_error) for r in results)),
        "failures": str(sum(r.failed for r in results)),
        "errors": str(sum(len(r.undecided) + bool(r.load_error) for r in results)),
    }


def junit(results: List[SuiteResult]) -> bytes:
    """The JUnit XML report: a testsuite a suite, a testcase a case; a suite that
    could not be loaded is one test case in error."""
    root = ElementTree.Element("testsuites", {"name": "tamsel", **_counts(results)})
    for result in results:
        name = _xml_text(result.path)
        suite = ElementTree.SubElement(root, "testsuite", {"name": name, **_counts([result])})
        if result.load_error:
            case = ElementTree.SubElement(suite, "testcase", classname=name, name="loading the suite")
            message = "\n".join(each.headline for each in result.load_error)
            ElementTree.SubElement(case, "error", message=_xml_text(message))
        for case_name, failure in result.cases:
            case = ElementTree.SubElement(suite, "testcase", classname=name, name=_xml_text(case_name))
            if failure is not None:
                ElementTree.SubElement(case, "failure", message=_xml_text(failure))
        for case_name, why in result.undecided:
            case = ElementTree.SubElement(suite, "testcase", classname=name, name=_xml_text(case_name))
            ElementTree.SubElement(case, "error", message=_xml_text(why))
    ElementTree.indent(root)
    report: bytes = ElementTree.tostring(root, encoding="utf-8", xml_declaration=True)
    return report + b"\n"
