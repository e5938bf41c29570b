#!/usr/bin/env python3
"""Fails unless README.md shows every example file whole, in a cpp block."""
import sys

readme = open(sys.argv[1], encoding="utf-8").read()
missing = []
for path in sys.argv[2:]:
    code = open(path, encoding="utf-8").read()
    if "```cpp\n" + code + "```" not in readme:
        missing.append(path.rsplit("/", 1)[-1])
if missing:
    print("README.md does not show these examples as they are:", ", ".join(missing))
    sys.exit(1)
print(f"README.md shows all {len(sys.argv) - 2} examples")
