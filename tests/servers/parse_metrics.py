#!/usr/bin/env python3
"""Reads a metrics text (the file named as the argument, else stdin) and parses it with prometheus_client's own parser.

Prints one line per family ("family <name> <type>") and one per sample
("sample <name> <label>=<value>,... <number>", labels sorted, values with backslash, comma and
line feed escaped). Exits with 2 and the parser's message when the text does not parse.
"""
import sys

from prometheus_client.parser import text_string_to_metric_families


def esc(value):
    return value.replace("\\", "\\\\").replace(",", "\\,").replace("\n", "\\n").replace(" ", "\\s")


def main():
    if len(sys.argv) > 1:
        with open(sys.argv[1], "rb") as f:
            raw = f.read()
    else:
        raw = sys.stdin.buffer.read()
    text = raw.decode("utf-8")
    try:
        families = list(text_string_to_metric_families(text))
    except Exception as e:  # the parser raises ValueError and friends
        print("parse error: %s" % e)
        return 2
    out = []
    for family in families:
        out.append("family %s %s" % (family.name, family.type))
        for s in family.samples:
            labels = ",".join("%s=%s" % (k, esc(v)) for k, v in sorted(s.labels.items()))
            out.append("sample %s %s %r" % (s.name, labels or "-", float(s.value)))
    sys.stdout.write("\n".join(out) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
