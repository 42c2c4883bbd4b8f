#!/usr/bin/env python3
"""Reads a Prometheus textfile with the prometheus_client parser and prints what it found,
one line per metric family (name, type, whether it has help) and one per sample, so that a
test can compare the meaning of the file rather than its spelling. Exits non-zero (with the
parser's complaint) when the file is not in the text exposition format."""
import sys

from prometheus_client.parser import text_string_to_metric_families

with open(sys.argv[1], encoding="utf-8") as textfile:
    text = textfile.read()
if not text.endswith("\n"):
    sys.exit("the last line does not end with a newline")
for family in text_string_to_metric_families(text):
    print(f"{family.name} {family.type} help={'yes' if family.documentation else 'no'}")
    for sample in family.samples:
        labels = ",".join(f'{name}="{value}"' for name, value in sorted(sample.labels.items()))
        print(f"  {sample.name}{{{labels}}} {sample.value:g}")
