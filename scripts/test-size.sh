#!/usr/bin/env bash
# The size of the tests against the rest of the code: non-blank lines that
# are not comments, of C++, Python and shell, in the tracked files; tests/ on
# one side, everything else on the other.
#
#   scripts/test-size.sh          prints "tests T  other O  ratio R"
set -euo pipefail
cd "$(dirname "$0")/.."
exec /usr/bin/python3 - <<'PY'
import subprocess

files = subprocess.run(["git", "ls-files", "-z"], capture_output=True, check=True,
                       text=True).stdout.split("\0")


def kind(path):
    if path.endswith((".cpp", ".h", ".c")):
        return "c"
    if path.endswith(".py"):
        return "py"
    if path.endswith(".sh"):
        return "sh"
    try:
        with open(path, "rb") as f:
            first = f.readline()
    except OSError:
        return None
    if first.startswith(b"#!") and b"python" in first:
        return "py"
    if first.startswith(b"#!") and (b"bash" in first or b"/sh" in first):
        return "sh"
    return None


def count(path, language):
    lines = 0
    in_comment = False
    with open(path, errors="replace") as f:
        for line in f:
            text = line.strip()
            if not text:
                continue
            if language == "c":
                if in_comment:
                    in_comment = "*/" not in text
                    continue
                if text.startswith("//"):
                    continue
                if text.startswith("/*"):
                    in_comment = "*/" not in text
                    continue
            elif text.startswith("#"):
                continue
            lines += 1
    return lines


tests = other = 0
for path in filter(None, files):
    language = kind(path)
    if language is None:
        continue
    n = count(path, language)
    if path.startswith("tests/"):
        tests += n
    else:
        other += n
print(f"tests {tests}  other {other}  ratio {tests / other:.3f}")
PY
