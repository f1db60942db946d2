#!/usr/bin/python3
"""Checks that the core stays plain C++: its sources, and the project headers they include,
include only the C++ standard library and other project files - no Qt, no system header.

Usage: check_core_includes.py SOURCE_ROOT GENERATED_DIR FILE_WITH_CORE_SOURCES
"""
import pathlib
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.MULTILINE)


def main() -> int:
    root = pathlib.Path(sys.argv[1])
    generated = pathlib.Path(sys.argv[2])
    sources = [pathlib.Path(p) for p in pathlib.Path(sys.argv[3]).read_text().split(";") if p]
    problems = []
    seen = set()
    pending = list(sources)
    while pending:
        path = pending.pop()
        if path in seen:
            continue
        seen.add(path)
        for kind, name in INCLUDE.findall(path.read_text(encoding="utf-8")):
            if kind == "<":
                # Standard library headers have no extension and no directory.
                if name.endswith(".h") or "/" in name:
                    problems.append(f"{path.relative_to(root)}: <{name}> is not a standard C++ header")
                continue
            candidates = [root / name, generated / name, path.parent / name]
            found = next((c for c in candidates if c.exists()), None)
            if found is None:
                problems.append(f"{path.relative_to(root)}: \"{name}\" is not a project file")
            elif found.suffix == ".h" and generated not in found.parents:
                pending.append(found.resolve())
    for problem in problems:
        print(problem)
    print(f"checked {len(seen)} core files: {'ok' if not problems else 'not plain C++'}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
