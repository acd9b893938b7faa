#!/usr/bin/python3
"""Adds up the JUnit reports of a test run and prints one closing line."""
import sys
import xml.etree.ElementTree as ElementTree


def counts(path):
    root = ElementTree.parse(path).getroot()
    suites = [root] if root.tag == "testsuite" else root.iter("testsuite")
    total = failed = skipped = 0
    for suite in suites:
        total += int(suite.get("tests", 0))
        failed += int(suite.get("failures", 0)) + int(suite.get("errors", 0))
        skipped += int(suite.get("skipped", 0) or suite.get("disabled", 0) or 0)
    return total, failed, skipped


def main(paths):
    total = failed = skipped = 0
    for path in paths:
        try:
            t, f, s = counts(path)
        except (OSError, ElementTree.ParseError) as error:
            print("%s: unreadable report (%s)" % (path, error))
            failed += 1
            continue
        print("%-40s %4d tests, %d failed, %d skipped" % (path.rsplit("/", 1)[-1], t, f, s))
        total, failed, skipped = total + t, failed + f, skipped + s
    passed = total - failed - skipped
    print("summary: %d passed, %d failed, %d skipped" % (passed, failed, skipped))
    return 1 if failed or total == 0 else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
