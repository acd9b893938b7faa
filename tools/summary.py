#!/usr/bin/python3
"""Adds up the JUnit reports of a test run and prints one closing line.

usage: summary.py [--ctest CTEST.xml] REPORT.xml...

The GoogleTest and pytest reports count single tests. CTest's report counts
whole programs; it only adds a failure for a program that failed without
leaving a report of its own (a crash, a time-out)."""
import os
import sys
import xml.etree.ElementTree as ElementTree


def counts(path):
    root = ElementTree.parse(path).getroot()
    suites = [root] if root.tag == "testsuite" else list(root.iter("testsuite"))
    if root.tag == "testsuites" and root.get("tests") is not None:
        suites = [root]
    total = failed = skipped = 0
    for suite in suites:
        total += int(suite.get("tests", 0))
        failed += int(suite.get("failures", 0)) + int(suite.get("errors", 0))
        skipped += int(suite.get("skipped", 0) or 0) + int(suite.get("disabled", 0) or 0)
    return total, failed, skipped


def programs_failed_without_report(ctest_path, reports):
    try:
        root = ElementTree.parse(ctest_path).getroot()
    except (OSError, ElementTree.ParseError):
        return ["ctest (no report)"]
    names = {os.path.basename(r) for r in reports}
    lost = []
    for case in root.iter("testcase"):
        failed = case.get("status") == "fail" or case.find("failure") is not None
        if failed and "gtest-%s.xml" % case.get("name") not in names:
            lost.append(case.get("name"))
    return lost


def main(argv):
    ctest = None
    if argv[:1] == ["--ctest"]:
        ctest, argv = argv[1], argv[2:]
    reports = [path for path in argv if os.path.exists(path)]
    total = failed = skipped = 0
    for path in argv:
        if path not in reports:
            print("%-36s missing" % os.path.basename(path))
            failed += 1
            continue
        try:
            t, f, s = counts(path)
        except ElementTree.ParseError as error:
            print("%-36s unreadable (%s)" % (os.path.basename(path), error))
            failed += 1
            continue
        print("%-36s %4d tests, %d failed, %d skipped" % (os.path.basename(path), t, f, s))
        total, failed, skipped = total + t, failed + f, skipped + s
    if ctest:
        for name in programs_failed_without_report(ctest, reports):
            print("%-36s failed without a report" % name)
            failed += 1
    passed = max(total - failed - skipped, 0)
    print("summary: %d passed, %d failed, %d skipped" % (passed, failed, skipped))
    return 1 if failed or total == 0 else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
