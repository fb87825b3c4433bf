#!/usr/bin/env python3
"""Finds functions written for the system to call back outside the one wrapper.

The 32-bit build cannot unwind an exception through the system's frames, so every callback
goes through win32::SystemCallback (src/platform/win32/SystemCallback.h), which catches
everything. A function the system calls must use its calling convention; the i686 compiler
refuses any other, so the convention's keyword marks every such function: outside the wrapper
it may only appear on the program's entry point (and on pointers to functions we call).

  check_system_callbacks.py ROOT    exits 1 and names each place found under ROOT
"""
import os
import re
import sys

# The keyword before a function's name; before "*" it types a pointer to a function of the
# system's that we call (GetProcAddress), which is no callback.
KEYWORDS = re.compile(r"\b(CALLBACK|WINAPI|APIENTRY|__stdcall|PASCAL|NTAPI|WINAPIV)\b(?!\s*\*)")
WRAPPER = os.path.join("platform", "win32", "SystemCallback.h")
ENTRY = re.compile(r"\bint\s+WINAPI\s+wWinMain\s*\(")


def strip_comments(text):
    text = re.sub(r"/\*.*?\*/", lambda m: "\n" * m.group(0).count("\n"), text, flags=re.S)
    text = re.sub(r"//[^\n]*", "", text)
    return re.sub(r'"(\\.|[^"\\\n])*"', '""', text)


def main():
    root = sys.argv[1]
    found = []
    for folder, _, names in os.walk(root):
        for name in sorted(names):
            if not name.endswith((".h", ".hpp", ".cpp", ".cc")):
                continue
            path = os.path.join(folder, name)
            if os.path.relpath(path, root) == WRAPPER:
                continue
            with open(path, encoding="utf-8") as source:
                lines = strip_comments(source.read()).splitlines()
            for number, line in enumerate(lines, 1):
                if KEYWORDS.search(line) and not ENTRY.search(line):
                    found.append(f"{os.path.relpath(path, root)}:{number}: {line.strip()}")
    for place in found:
        print(place)
    if found:
        print(f"{len(found)} function(s) for the system to call that do not go through win32::SystemCallback")
        return 1
    print("every system callback goes through win32::SystemCallback")
    return 0


if __name__ == "__main__":
    sys.exit(main())
