#!/usr/bin/env python3
"""Plants one small fault at a time in quorvel's C++ sources and runs the
native tests against it, to find the faults the tests let through.

    tools/plant_faults.py --files 'cli/*.cpp' --list
    tools/plant_faults.py --files 'cli/*.cpp' --count 20 [--draw N] [--tests cli_test]

Each fault is planted alone: the file is changed, the native tree is
rebuilt (build/native, configured when missing) and `ctest --preset native
-E fuzz` runs within a time limit; then the file gets its own bytes back,
also when the run is interrupted. A fault that does not compile is shown
but left out of the score; a run that passes the time limit counts as
caught, since CI stops on it too.
"""

import argparse
import glob
import os
import random
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD_DIR = ROOT / "build" / "native"

# What stands in for a masked string or character literal: neither a word
# character nor white space, so that no pattern below reads into it.
LITERAL = "\x01"

COMPARISON_NEIGHBOUR = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
STATEMENT_WORDS = {
    "return", "if", "while", "for", "switch", "catch", "do", "else", "delete", "throw", "sizeof",
    "static_assert", "case", "goto", "new", "co_return", "co_await", "decltype", "alignof",
}


class Site:
    """One fault: replace text[start:end] of path by `new`."""

    def __init__(self, path, line, start, end, old, new, what):
        self.path, self.line, self.start, self.end = path, line, start, end
        self.old, self.new, self.what = old, new, what

    def where(self):
        return f"{self.path}:{self.line}"


# ---- Reading C++ without its comments, literals and preprocessor lines


def mask_source(text):
    """The text with comments and preprocessor lines blanked to spaces and
    string and character literals to LITERAL, every offset and line break
    kept, so that a match in the mask is a site in the text."""
    out = list(text)
    n = len(text)
    i = 0
    line_start = True  # only white space since the last line break

    def blank(a, b, fill):
        for k in range(a, b):
            if out[k] != "\n":
                out[k] = fill

    while i < n:
        c = text[i]
        if c == "\n":
            line_start = True
            i += 1
            continue
        if line_start and c == "#":
            j = i
            while j < n and not (text[j] == "\n" and text[j - 1] != "\\"):
                j += 1
            blank(i, j, " ")
            i = j
            continue
        if c in " \t\r":
            i += 1
            continue
        line_start = False
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            blank(i, j, " ")
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            blank(i, j, " ")
            i = j
        elif c == '"':
            raw = re.search(r"(?:u8|[uUL])?R$", text[max(0, i - 3):i])
            if raw and (i - len(raw.group()) == 0 or not is_word(text[i - len(raw.group()) - 1])):
                open_paren = text.find("(", i)
                delimiter = ")" + text[i + 1:open_paren] + '"'
                j = text.find(delimiter, open_paren)
                j = n if j < 0 else j + len(delimiter)
                blank(i - len(raw.group()), j, LITERAL)
            else:
                j = end_of_quoted(text, i, '"')
                blank(i, j, LITERAL)
            i = j
        elif c == "'" and not is_digit_separator(text, i):
            j = end_of_quoted(text, i, "'")
            blank(i, j, LITERAL)
            i = j
        else:
            i += 1
    return "".join(out)


WINDOWS_ONLY = re.compile(r"#\s*(?:ifdef\s+_WIN32|if\s+defined\s*\(?\s*_WIN32\s*\)?)\s*$")
NOT_WINDOWS = re.compile(r"#\s*(?:ifndef\s+_WIN32|if\s+!\s*defined\s*\(?\s*_WIN32\s*\)?)\s*$")


def blank_windows_only(text, mask):
    """The mask with the lines that only a Windows build compiles (under
    #ifdef _WIN32, or the #else of #ifndef _WIN32) blanked too: a fault
    there would survive every native run and say nothing."""
    out = list(mask)
    stack = []  # per open #if: True while its lines are Windows-only, None when it does not test _WIN32
    offset = 0
    for line in text.split("\n"):
        stripped = line.strip()
        if stripped.startswith("#"):
            word = re.match(r"#\s*(\w*)", stripped).group(1)
            if word in ("if", "ifdef", "ifndef"):
                stack.append(True if WINDOWS_ONLY.match(stripped) else False if NOT_WINDOWS.match(stripped) else None)
            elif word in ("else", "elif") and stack and stack[-1] is not None:
                stack[-1] = not stack[-1]
            elif word == "endif" and stack:
                stack.pop()
        elif any(stack):
            for k in range(offset, offset + len(line)):
                out[k] = " "
        offset += len(line) + 1
    return "".join(out)


def is_word(c):
    return c.isalnum() or c == "_"


def end_of_quoted(text, i, quote):
    j = i + 1
    while j < len(text) and text[j] != quote and text[j] != "\n":
        j += 2 if text[j] == "\\" else 1
    return min(j + 1, len(text))


def is_digit_separator(text, i):
    """1'000'000: the quote inside a number is no character literal."""
    j = i
    while j > 0 and (is_word(text[j - 1]) or text[j - 1] == "'"):
        j -= 1
    return j < i and text[j].isdigit()


# ---- Candidate sites


def find_sites(path, text):
    mask = blank_windows_only(text, mask_source(text))
    line_of = LineIndex(text)
    sites = []

    def add(start, end, new, what):
        sites.append(Site(path, line_of(start), start, end, text[start:end], new, what))

    # An operator with white space on both sides is binary: this keeps out
    # template brackets, ->, <<, >>, unary minus, rvalue references and ++.
    for m in re.finditer(r"(?<=\s)(<=|>=|==|!=|<|>)(?=\s)", mask):
        if not re.search(r"\btemplate\s*$", mask[max(0, m.start() - 20):m.start()]):
            op = m.group(1)
            add(m.start(), m.end(), COMPARISON_NEIGHBOUR[op], f"'{op}' -> '{COMPARISON_NEIGHBOUR[op]}'")
    for m in re.finditer(r"(?<=\s)(&&|\|\|)(?=\s)", mask):
        new = "||" if m.group(1) == "&&" else "&&"
        add(m.start(), m.end(), new, f"'{m.group(1)}' -> '{new}'")
    for m in re.finditer(r"(?<=\s)([+-])(?=\s)", mask):
        before = mask[:m.start()].rstrip()[-1:]
        after = mask[m.end():].lstrip()[:1]
        # Beside a literal it is string building, which no swap compiles.
        if LITERAL not in (before, after) and before not in "=(,?:{[;" and before:
            new = "-" if m.group(1) == "+" else "+"
            add(m.start(), m.end(), new, f"'{m.group(1)}' -> '{new}'")
    for m in re.finditer(r"(?<![\w.'])(0[xX][0-9A-Fa-f']+|\d[\d']*)([uUlLzZ]*)(?![\w.'])", mask):
        digits = m.group(1).replace("'", "")
        value = int(digits, 16) if digits[:2].lower() == "0x" else int(digits, 8 if len(digits) > 1 and digits[0] == "0" else 10)
        for delta in (1, -1):
            if value + delta < 0:
                continue
            if digits[:2].lower() == "0x":
                shown = digits[:2] + format(value + delta, "X" if digits[2:].isupper() else "x")
            elif len(digits) > 1 and digits[0] == "0":
                shown = "0" + format(value + delta, "o")
            else:
                shown = str(value + delta)
            add(m.start(1), m.end(1), shown, f"{m.group(1)} -> {shown}")
    for m in re.finditer(r"!(?!=)", mask):
        if not re.search(r"\boperator\s*$", mask[max(0, m.start() - 12):m.start()]):
            add(m.start(), m.end(), "", "'!' dropped")
    for m in re.finditer(r"\b(break|continue)\s*;", mask):
        add(m.start(), m.end(), "{}", f"'{m.group(1)};' deleted")
    for m in re.finditer(r"\breturn\s+(true|false)\s*;", mask):
        new = "false" if m.group(1) == "true" else "true"
        add(m.start(1), m.end(1), new, f"'return {m.group(1)}' -> 'return {new}'")
    for m in re.finditer(r"\breturn\s+([^;{}]+?)\s*;", mask):
        expression = m.group(1)
        if (
            expression not in ("true", "false")
            and not expression.startswith("!")
            and LITERAL not in expression
            and top_level_is_boolean(expression)
        ):
            start, end = m.start(1), m.end(1)
            add(start, end, "!(" + text[start:end] + ")", "boolean return inverted")
    for start, end in call_statements(mask):
        add(start, end, "{}", "call deleted: " + " ".join(text[start:end].split())[:60])
    sites.sort(key=lambda s: (s.start, s.what))
    return sites


def top_level_is_boolean(expression):
    depth = 0
    flat = []
    for c in expression:
        depth += c in "([{"
        depth -= c in ")]}"
        flat.append(c if depth == 0 else " ")
    flat = " " + "".join(flat) + " "
    return re.search(r"\s(&&|\|\||==|!=|<=|>=|<|>)\s", flat) is not None and "?" not in flat


CALLEE = r"[A-Za-z_]\w*(?:(?:::|\.|->)[A-Za-z_]\w*)*"


def call_statements(mask):
    """Statements that are one call and nothing else, found from the start
    of a line: `Close(fd);`, `state.names.clear();`, spanning lines too."""
    for m in re.finditer(r"(?m)^[ \t]*(" + CALLEE + r")\s*\(", mask):
        first = re.match(r"\w+", m.group(1)).group()
        if first in STATEMENT_WORDS:
            continue
        depth = 0
        i = m.end() - 1
        while i < len(mask):
            depth += mask[i] == "("
            depth -= mask[i] == ")"
            if depth == 0:
                break
            i += 1
        if depth != 0:
            continue
        rest = re.match(r"\s*;", mask[i + 1:])
        # The statement must begin where the last one ended, or it is the
        # tail of an expression (a = f(\n g(x));).
        preceding = mask[:m.start(1)].rstrip()
        before = "{" if re.search(r"\belse$", preceding) else preceding[-1:]
        if rest and before in ("", ";", "{", "}", ")", ":"):
            if before == ":" and not re.search(r"(\bcase\b[^;]*|\bdefault\s*|\b(public|private|protected)\s*):$",
                                               mask[:m.start(1)].rstrip()[-80:]):
                continue
            if before == ")" and not re.search(r"\b(if|for|while)\s*\(", mask[:m.start(1)].rstrip()[-300:]):
                continue
            yield m.start(1), i + 1 + rest.end()


class LineIndex:
    def __init__(self, text):
        self.starts = [0] + [m.end() for m in re.finditer("\n", text)]

    def __call__(self, offset):
        lo, hi = 0, len(self.starts)
        while hi - lo > 1:
            mid = (lo + hi) // 2
            if self.starts[mid] <= offset:
                lo = mid
            else:
                hi = mid
        return lo + 1


# ---- Planting, building, testing


class Interrupted(Exception):
    pass


def on_terminate(signum, frame):
    raise Interrupted(f"signal {signum}")


def run_group(args, timeout, env=None):
    """Runs args in a session of its own, so that a time limit or Ctrl+C
    ends all of it (ctest and the test programs it started)."""
    process = subprocess.Popen(args, cwd=ROOT, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               text=True, errors="replace", start_new_session=True)
    try:
        out, _ = process.communicate(timeout=timeout)
        return process.returncode, out
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        return None, ""
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()


def built_natively(path):
    """Whether some object of the native tree was compiled from path or
    includes it, by the compiler's dependency files (their names relative
    to the folder holding CMakeFiles, where the compiler ran)."""
    if not BUILD_DIR.exists():
        return True
    wanted = (ROOT / path).resolve()
    for depfile in BUILD_DIR.rglob("*.o.d"):
        parts = depfile.relative_to(BUILD_DIR).parts
        workdir = BUILD_DIR.joinpath(*parts[:parts.index("CMakeFiles")])
        for name in depfile.read_text(errors="replace").replace("\\\n", " ").split():
            if name.rstrip(":") and os.path.normpath(workdir / name.rstrip(":")) == str(wanted):
                return True
    return False


def build():
    if not (BUILD_DIR / "CMakeCache.txt").exists():
        code, out = run_group(["cmake", "--preset", "native"], None)
        if code != 0:
            sys.exit("plant_faults: cmake --preset native failed:\n" + out[-3000:])
    return run_group(["cmake", "--build", "--preset", "native", "-j2"], None)


def test(args, timeout):
    command = ["ctest", "--preset", "native", "-E", "fuzz"]
    if args.tests:
        command += ["-R", args.tests]
    env = None
    if args.fail_fast:
        # ctest stops after the first failing program, GoogleTest after
        # the first failing case inside it.
        command += ["--stop-on-failure"]
        env = dict(os.environ, GTEST_FAIL_FAST="1")
    return run_group(command, timeout, env)


def failed_tests(out):
    """The ctest names and, inside them, the GoogleTest cases that failed."""
    ctest = re.findall(r"^\s*\d+ - (\S+) \(", out, re.M)
    cases = sorted(set(re.findall(r"^\[  FAILED  \] ([\w/.]+)(?: \(|,|$)", out, re.M)))
    return ", ".join(ctest + cases[:6] + (["..."] if len(cases) > 6 else [])) or "see ctest"


def plant_one(site, args):
    path = ROOT / site.path
    original = path.read_bytes()
    text = original.decode("latin-1")
    planted = text[:site.start] + site.new + text[site.end:]
    try:
        path.write_bytes(planted.encode("latin-1"))
        code, out = build()
        if code != 0:
            return "does-not-compile", ""
        code, out = test(args, args.timeout)
        if code is None:
            return "timeout", f"over {args.timeout} s"
        if code == 0:
            return "survived", ""
        return "caught", failed_tests(out)
    finally:
        # A second Ctrl+C must not cut the restoring short.
        held = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})
        try:
            path.write_bytes(original)
            if path.read_bytes() != original:
                path.write_bytes(original)
                sys.exit(f"plant_faults: {site.path} could not be given its own bytes back; check it by hand")
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, held)


def main():
    parser = argparse.ArgumentParser(description="Plant one fault at a time and see whether the native tests catch it.")
    parser.add_argument("--files", nargs="+", required=True, metavar="GLOB",
                        help="source files, relative to the repository (globs, e.g. 'cli/*.cpp')")
    parser.add_argument("--list", action="store_true", help="show the candidate sites and plant nothing")
    parser.add_argument("--count", type=int, default=10, help="how many sites to draw (default 10)")
    parser.add_argument("--draw", type=int, metavar="N", help="number of the random draw (printed; the same number draws the same sites)")
    parser.add_argument("--sites", help="plant these site numbers from --list instead of a draw (e.g. 3,17)")
    parser.add_argument("--tests", metavar="REGEX", help="run only the ctest tests matching REGEX (quicker, less sure)")
    parser.add_argument("--timeout", type=int, default=600, help="seconds the tests may take per fault (default 600)")
    parser.add_argument("--fail-fast", action="store_true",
                        help="end a fault's run at its first failing test (same score, fewer failures named)")
    parser.add_argument("--no-baseline", action="store_true", help="skip the run without a fault")
    args = parser.parse_args()

    paths = sorted({os.path.relpath(p, ROOT) for g in args.files for p in glob.glob(str(ROOT / g))})
    if not paths:
        sys.exit("plant_faults: no file matches " + " ".join(args.files))

    signal.signal(signal.SIGTERM, on_terminate)
    results = []
    try:
        if not args.list:
            code, out = build()
            if code != 0:
                sys.exit("plant_faults: the tree does not build without a fault:\n" + out[-3000:])
        # A fault in a file the native tree never compiles (the Windows
        # layer) would survive every time and say nothing.
        unbuilt = [p for p in paths if not built_natively(p)]
        if unbuilt:
            print("not compiled by the native tree, left out: " + " ".join(unbuilt), flush=True)
            paths = [p for p in paths if p not in unbuilt]
        sites = []
        for p in paths:
            sites += find_sites(p, (ROOT / p).read_bytes().decode("latin-1"))

        if args.list:
            signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # | head
            for number, site in enumerate(sites):
                print(f"{number:5}  {site.where()}: {site.what}")
            print(f"{len(sites)} sites in {len(paths)} files")
            return 0
        if args.sites:
            chosen = [sites[int(n)] for n in args.sites.split(",")]
        else:
            draw = args.draw if args.draw is not None else random.SystemRandom().randrange(1, 1 << 31)
            print(f"draw {draw}: {min(args.count, len(sites))} of {len(sites)} sites in {len(paths)} files",
                  flush=True)
            chosen = sorted(random.Random(draw).sample(sites, min(args.count, len(sites))),
                            key=lambda s: (s.path, s.start))

        if not args.no_baseline:
            code, out = test(args, args.timeout)
            if code != 0:
                sys.exit("plant_faults: the tests fail without a fault; mend that first:\n" + out[-3000:])
        for site in chosen:
            started = time.monotonic()
            outcome, detail = plant_one(site, args)
            results.append(outcome)
            print(f"{site.where()}: {site.what}: {outcome}" + (f" ({detail})" if detail else "")
                  + f" [{time.monotonic() - started:.0f} s]", flush=True)
    except (KeyboardInterrupt, Interrupted):
        print("plant_faults: interrupted; every file has its own bytes again, build/native may hold a fault"
              " until it is built again", file=sys.stderr)
        return 130
    compiled = [r for r in results if r != "does-not-compile"]
    caught = sum(r in ("caught", "timeout") for r in compiled)
    print(f"score: {caught} of {len(compiled)} compiled faults caught"
          + (f" ({100 * caught // len(compiled)} %)" if compiled else "")
          + f"; {len(results) - len(compiled)} did not compile; {results.count('timeout')} timed out", flush=True)
    # The last fault's objects out of build/native again.
    if results and build()[0] != 0:
        print("plant_faults: build/native does not build again without a fault", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
