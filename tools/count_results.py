"""Adds up the JUnit XML reports that the test runners write (GoogleTest's --gtest_output=xml,
pytest's --junitxml) and prints "velmora: N passed, N failed". Exits 1 when anything failed or a
report is missing or unreadable.

    count_results.py REPORT.xml ... [--extra NAME=passed|failed ...]

`--extra` adds one result that has no report of its own (the fuzzer run).
"""
import argparse
import sys
import xml.etree.ElementTree as ET


def count(path):
    root = ET.parse(path).getroot()
    suites = [root] if root.tag == "testsuite" else root.iter("testsuite")
    passed = failed = 0
    for suite in suites:
        for case in suite.iter("testcase"):
            outcome = {child.tag for child in case}
            if outcome & {"failure", "error"}:
                failed += 1
            elif "skipped" in outcome or case.get("result") == "skipped" or case.get("status") == "notrun":
                continue
            else:
                passed += 1
    return passed, failed


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("reports", nargs="*")
    parser.add_argument("--extra", action="append", default=[])
    args = parser.parse_args()
    passed = failed = 0
    for path in args.reports:
        try:
            p, f = count(path)
        except (OSError, ET.ParseError) as exc:
            print(f"count_results: {path}: {exc}", file=sys.stderr)
            p, f = 0, 1
        passed, failed = passed + p, failed + f
    for extra in args.extra:
        name, _, outcome = extra.partition("=")
        if outcome == "passed":
            passed += 1
        else:
            failed += 1
    print(f"velmora: {passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
