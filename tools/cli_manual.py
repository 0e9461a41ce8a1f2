#!/usr/bin/env python3
"""quorvel-cli's manual page, made by help2man from the program's own help.

  cli_manual.py page PROGRAM EXTRA.h2m OUT.1
      Runs help2man on PROGRAM's help, reshaped by the mode below, with the
      sections that the help does not hold (description, patterns, examples,
      see also) from EXTRA.h2m, and writes the page to OUT.1. The page is
      dated SOURCE_DATE_EPOCH when it is set.
  cli_manual.py help PROGRAM --help|--version
      What help2man reads: the program's --version as it is; for --help, the
      top-level help and every command's, in the shape help2man turns into
      NAME, SYNOPSIS, OPTIONS, COMMANDS and EXIT STATUS.

The help is parsed strictly: a line of a shape not known here stops the
build, so that nothing the program says is dropped from the page unseen.
"""
import os
import re
import subprocess
import sys
import textwrap
import time

PROGRAM_NAME = "quorvel-cli"
SECTIONS = ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "COMMANDS", "PATTERNS", "PATCH FILES", "EXIT STATUS",
            "EXAMPLES", "SEE ALSO"]
# What the help puts after an option's names, besides its argument's name.
ANNOTATION = re.compile(r"^(REQUIRED|Excludes:|Needs:|\.\.\.)$")


def run_help(program, *arguments):
    result = subprocess.run([program, *arguments], capture_output=True, text=True, check=False)
    if result.returncode != 0:
        raise SystemExit(f"cli_manual: {program} {' '.join(arguments)} exits with {result.returncode}")
    return result.stdout


class Item:
    """One row of a help section: an option, a positional or a command."""

    def __init__(self, names, argument, excludes, required, repeated, text):
        self.names = names          # ["-q", "--quiet"], ["PACK"], ["list"]
        self.argument = argument    # "DIR", "ask|never|always", or None
        self.excludes = excludes    # the options this one cannot go with
        self.required = required
        self.repeated = repeated
        self.text = text


def parse_item(column, text):
    tokens = column.split()
    names = tokens[0].split(",")
    argument = None
    excludes = []
    required = repeated = False
    rest = tokens[1:]
    if rest and not ANNOTATION.match(rest[0]):
        argument = rest.pop(0)
        # A value checked against a set: "TEXT:{ask,never,always}".
        choices = re.fullmatch(r"[A-Z]+:\{(.*)\}", argument)
        if choices:
            argument = "|".join(choices.group(1).split(","))
    for i, token in enumerate(rest):
        if token == "REQUIRED":
            required = True
        elif token == "...":
            repeated = True
        elif token == "Excludes:":
            excludes = [t for t in rest[i + 1:] if t.startswith("-")]
        elif token == "Needs:":
            raise SystemExit(f"cli_manual: the page cannot say yet what {names[0]} needs")
    return Item(names, argument, excludes, required, repeated, text)


def parse_help(text):
    """(description lines, usage, {section: [Item]}) of one help text."""
    description = []
    usage = None
    sections = {}
    current = None
    last = None
    # A row's text starts at a fixed column, which may leave a single space
    # after a long first column; the help row, in every help, shows where.
    found = re.search(r"^  -h,--help +", text, flags=re.M)
    if found is None:
        raise SystemExit("cli_manual: a help without its -h,--help row")
    width = len(found.group(0))
    for line in text.split("\n"):
        if usage is None:
            if line.startswith("Usage: "):
                usage = line[len("Usage: "):]
            else:
                description.append(line)
            continue
        if not line.strip():
            last = None
            continue
        heading = re.fullmatch(r"(Positionals|Options|Subcommands):", line)
        if heading:
            current = sections.setdefault(heading.group(1), [])
            continue
        if line.startswith(" " * width) and last is not None:
            last.text = (last.text + " " + line.strip()).strip()
        elif re.match(r"  \S", line) and current is not None:
            # A first column too long for its place ends the line.
            split = len(line) > width and line[width - 1] == " "
            column = line[2:width] if split else line[2:]
            last = parse_item(column.strip(), line[width:].strip() if split else "")
            current.append(last)
        else:
            raise SystemExit(f"cli_manual: a help line of unknown shape: {line!r}")
    if usage is None:
        raise SystemExit("cli_manual: a help without a usage line")
    return description, usage, sections


def option_synopsis(options):
    """ "[-C DIR] [--overwrite=ask|never|always] [-q]", each group once."""
    parts = []
    seen = set()
    for option in options:
        if "--help" in option.names or option.names[0] in seen:
            continue
        group = [option] + [o for o in options if set(o.names) & set(option.excludes)]
        words = []
        for member in group:
            seen.add(member.names[0])
            name = member.names[0]
            if member.argument and "|" in member.argument:
                name = next((n for n in member.names if n.startswith("--")), name)
                words.append(f"{name}={member.argument}")
            elif member.argument:
                words.append(f"{name} {member.argument}")
            else:
                words.append(name)
        # An option given once per value, as the README writes it.
        parts.append("[" + " | ".join(words) + "]" + ("..." if option.repeated else ""))
    return " ".join(parts)


def positional_synopsis(positionals):
    words = []
    for positional in positionals:
        word = positional.names[0] + ("..." if positional.repeated else "")
        words.append(word if positional.required else f"[{word}]")
    return " ".join(words)


def row(tag, text):
    # help2man takes a row as a tagged paragraph when the tag is followed by
    # two spaces, or by a line break and an indent of 20 or more.
    return f"  {tag}\n{' ' * 24}{text}" if len(tag) > 20 else f"  {tag:<20}  {text}"


def option_tag(option):
    names = ", ".join(option.names)
    return f"{names} {option.argument}" if option.argument else names


def option_text(option):
    text = option.text
    if option.excludes:
        text += f" (not with {', '.join(option.excludes)})"
    return text


def exit_rows(description):
    """The "Exit status: 0 ..., 1 ..." paragraph of the description as rows."""
    joined = " ".join(line.strip() for line in description)
    found = re.search(r"Exit status:\s*(.*)", joined)
    if not found:
        raise SystemExit("cli_manual: the help names no exit status")
    body = found.group(1).rstrip(".")
    codes = re.split(r"(?:^|[,;]\s+)(\d+)\s+", body)
    if codes[0].strip() or len(codes) < 3:
        raise SystemExit(f"cli_manual: an exit status paragraph of unknown shape: {body!r}")
    return [(codes[i], codes[i + 1].strip()) for i in range(1, len(codes), 2)]


def manual_help(program):
    description, _, top = parse_help(run_help(program, "--help"))
    commands = [item.names[0] for item in top.get("Subcommands", [])]
    out = []
    usages = []
    blocks = []
    for command in commands:
        summary, _, sections = parse_help(run_help(program, command, "--help"))
        options = sections.get("Options", [])
        positionals = sections.get("Positionals", [])
        usage = " ".join(w for w in (command, option_synopsis(options), positional_synopsis(positionals)) if w)
        usages.append(f"{PROGRAM_NAME} {usage}")
        block = [f"{command}:", "  " + " ".join(line.strip() for line in summary if line.strip()), ""]
        for positional in positionals:
            block.append(row(positional.names[0] + ("..." if positional.repeated else ""), positional.text))
        for option in options:
            if "--help" not in option.names:
                block.append(row(option_tag(option), option_text(option)))
        blocks.append(block)
    global_options = [o for o in top.get("Options", [])]
    usages.append(f"{PROGRAM_NAME} " + " | ".join(o.names[-1] for o in global_options))
    out.append("Usage: " + usages[0])
    out += [f"  or:  {usage}" for usage in usages[1:]]
    out += ["", "Options:"]
    out += [row(option_tag(o), o.text) for o in global_options]
    out += ["", "*Commands*"]
    for block in blocks:
        out += block + [""]
    out.append("*Exit Status*")
    out += [row(code, meaning) for code, meaning in exit_rows(description)]
    return "\n".join(out) + "\n"


def summary_line(program):
    """The help's first line, "quorvel-cli: what it does.", for NAME."""
    first = run_help(program, "--help").split("\n", 1)[0]
    prefix = PROGRAM_NAME + ": "
    if not first.startswith(prefix):
        raise SystemExit(f"cli_manual: the help does not start with {prefix!r}")
    return first[len(prefix):].rstrip(".")


def reordered(text):
    """The page with its sections in the order of section 1 pages.

    help2man puts the extra file's sections before those the help makes.
    """
    head, *parts = re.split(r"^(?=\.SH )", text, flags=re.M)
    named = {}
    for part in parts:
        name = part.split("\n", 1)[0][len(".SH "):].strip('"')
        if name not in SECTIONS:
            raise SystemExit(f"cli_manual: a section with no place in the page: {name}")
        named[name] = part
    return head + "".join(named[name] for name in SECTIONS if name in named)


def wrapped(line):
    """A text line of the help as lines of 80 bytes at most (mandoc's rule
    for the source); a request line stays as it is."""
    if line.startswith(".") or len(line.encode()) <= 80:
        return line
    parts = textwrap.wrap(line, 79, break_long_words=False, break_on_hyphens=False)
    # A line that starts with . or ' would be read as a request.
    return "\n".join(("\\&" + part) if part[0] in ".'" else part for part in parts)


def page(program, extra, output):
    command = f"{sys.executable} {__file__} help {program}"
    result = subprocess.run(
        ["help2man", "--no-info", "--section=1", "--include", extra, "--name", summary_line(program), command],
        capture_output=True, text=True, check=False)
    if result.returncode != 0:
        raise SystemExit(f"cli_manual: help2man failed:\n{result.stderr}")
    text = reordered(result.stdout)
    # help2man writes the month as a word, which the manual checkers do not
    # read as a date.
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH", time.time()))
    text = re.sub(r'^(\.TH \S+ "1" )"[^"]*"', r'\1"%s"' % time.strftime("%Y-%m-%d", time.gmtime(epoch)),
                  text, count=1, flags=re.M)
    text = "\n".join(wrapped(line) for line in text.split("\n"))
    # help2man keeps a subsection heading's colon; a command's name stands alone.
    text = re.sub(r'^\.SS "(.*):"$', r'.SS "\1"', text, flags=re.M)
    # Its first line names the generator and its version, which is no part of
    # the page and would make the page differ between two systems.
    text = re.sub(r"\A\.\\\" DO NOT MODIFY THIS FILE!.*\n", ".\\\\\" Made from quorvel-cli --help by help2man.\n", text)
    with open(output, "w", encoding="utf-8") as file:
        file.write(text)


def main(argv):
    if len(argv) == 5 and argv[1] == "page":
        page(argv[2], argv[3], argv[4])
    elif len(argv) == 4 and argv[1] == "help" and argv[3] == "--version":
        sys.stdout.write(run_help(argv[2], "--version"))
    elif len(argv) == 4 and argv[1] == "help" and argv[3] == "--help":
        sys.stdout.write(manual_help(argv[2]))
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
