#!/usr/bin/env python3
"""Runs the examples of quorvel-cli's manual page, and of the README, as a
user pastes them: each in a fresh folder holding a copy of the demo pack,
with the quorvel-cli under test first on the PATH.

  examples_test.py QUORVEL_CLI DEMO.pak PAGE.1 [README.md]

In the page's EXAMPLES section an example is an indented block (.IP up to
the next .PP): its bold lines (.B) are commands, run one after the other in
the same folder, and the plain lines after a command are what it must print
on standard output. In the README the examples are the ```sh blocks, run
line by line the same way. Every command must exit with 0, but a diff,
which exits with 1 when the packs differ. An example that mounts is skipped
where FUSE cannot be used.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile


def roff_text(line):
    """The text of a roff line as the reader sees it."""
    line = re.sub(r"\\f[BIRP]", "", line)
    line = line.replace("\\-", "-").replace("\\e", "\\").replace("\\(aq", "'").replace("\\&", "")
    return line


def page_examples(path):
    """[(title, [(command, expected output or None)])] of the page."""
    examples = []
    in_section = in_block = False
    title = []
    with open(path, encoding="utf-8") as page:
        for raw in page.read().split("\n"):
            if raw.startswith(".SH"):
                in_section = "EXAMPLES" in raw
                in_block = False
                continue
            if not in_section:
                continue
            if raw.startswith(".IP"):
                in_block = True
                examples.append((" ".join(title).rstrip(":"), []))
                title = []
            elif raw.startswith((".PP", ".P ", ".LP")):
                in_block = False
            elif not in_block:
                if not raw.startswith("."):
                    title.append(roff_text(raw))
            elif raw.startswith(".B "):
                examples[-1][1].append([roff_text(raw[3:]), None])
            elif not raw.startswith(".") and examples[-1][1]:
                command = examples[-1][1][-1]
                command[1] = (command[1] or "") + roff_text(raw) + "\n"
    return examples


def readme_examples(path):
    """The ```sh blocks of the README, each line a command; no output is shown."""
    examples = []
    block = None
    with open(path, encoding="utf-8") as readme:
        for line in readme.read().split("\n"):
            if block is None and line.strip() == "```sh":
                block = []
            elif block is not None and line.startswith("```"):
                examples.append(("README", block))
                block = None
            elif block is not None and line.strip() and not line.lstrip().startswith("#"):
                block.append([line, None])
    return examples


def fuse_usable():
    return os.path.exists("/dev/fuse") and shutil.which("fusermount3") is not None and os.access(
        "/dev/fuse", os.R_OK | os.W_OK)


def run_example(title, commands, program, demo):
    """The failures of one example, as text; empty when it runs as shown."""
    if any(re.search(r"quorvel-cli\s+mount\b", command) for command, _ in commands) and not fuse_usable():
        print(f"SKIPPED (no FUSE here): {title}")
        return []
    failures = []
    folder = tempfile.mkdtemp(prefix="quorvel-example-")
    bin_folder = os.path.join(folder, ".bin")
    os.mkdir(bin_folder)
    os.symlink(program, os.path.join(bin_folder, "quorvel-cli"))
    work = os.path.join(folder, "here")
    os.mkdir(work)
    shutil.copyfile(demo, os.path.join(work, "demo.pak"))
    environment = dict(os.environ, PATH=bin_folder + os.pathsep + os.environ["PATH"], HOME=work,
                       LC_ALL="C.UTF-8")
    try:
        for command, expected in commands:
            result = subprocess.run(["bash", "-c", command], cwd=work, env=environment, capture_output=True,
                                    text=True, timeout=60, check=False)
            differs = result.returncode == 1 and re.match(r"quorvel-cli\s+diff\b", command)
            if result.returncode != 0 and not differs:
                failures.append(f"{title}: '{command}' exits with {result.returncode}: {result.stderr.strip()}")
                break
            if expected is not None and result.stdout != expected:
                failures.append(f"{title}: '{command}' prints\n{result.stdout}where the example shows\n{expected}")
    finally:
        for root, folders, _ in os.walk(work):
            for name in folders:
                if os.path.ismount(os.path.join(root, name)):
                    subprocess.run(["fusermount3", "-u", os.path.join(root, name)], check=False)
        shutil.rmtree(folder, ignore_errors=True)
    return failures


def main(argv):
    if len(argv) not in (4, 5):
        raise SystemExit(__doc__)
    program, demo, page = (os.path.abspath(a) for a in argv[1:4])
    examples = page_examples(page)
    shown = sum(1 for _, commands in examples for _, expected in commands if expected is not None)
    if len(examples) < 5 or shown < 3:
        raise SystemExit(f"examples_test: the page has {len(examples)} examples, {shown} with their output")
    if len(argv) == 5:
        found = readme_examples(argv[4])
        if not found:
            raise SystemExit("examples_test: the README has no ```sh example")
        examples += found
    failures = []
    for title, commands in examples:
        failures += run_example(title, commands, program, demo)
    for failure in failures:
        print(f"FAILED: {failure}", file=sys.stderr)
    print(f"examples_test: {len(examples)} examples, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
