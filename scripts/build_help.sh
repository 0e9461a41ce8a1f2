#!/usr/bin/env bash
# Compiles quorvel's help file, quorvel.chm.
#
# Usage: scripts/build_help.sh SRC_DIR OUT_DIR
#   SRC_DIR  the help folder: quorvel.hhp, quorvel.hhc, quorvel.hhk and src/
#            with the topics (*.html) and the style sheet (*.css), all UTF-8
#   OUT_DIR  folder that receives quorvel.chm (created when missing)
#
# The sources are kept in UTF-8 so that they can be reviewed, but the help
# viewer reads the pages in the code page of the help file's language
# (0x411, Japanese: Shift_JIS), so every source is converted to code page 932
# in a staging folder, where the topics sit beside the project file, and
# compiled there with chmcmd. chmcmd's link scan must come out clean: a
# warning or an error (a missing page, an unknown anchor) fails the build.
#
# The compiler stamps the time of day into the file header and the #SYSTEM
# file; both stamps are cleared afterwards, so the same sources always give
# the same bytes. The binary index is switched off in the project file for
# the same reason (chmcmd leaves stray bytes in it).
set -euo pipefail

prog=build_help.sh

die() {
    echo "$prog: error: $*" >&2
    exit 1
}

if [ "$#" -ne 2 ]; then
    echo "usage: $prog SRC_DIR OUT_DIR" >&2
    exit 2
fi

command -v chmcmd >/dev/null 2>&1 || die "chmcmd not found (it comes with the Free Pascal utilities, Debian package fp-utils)"
command -v iconv >/dev/null 2>&1 || die "iconv not found"

[ -d "$1" ] || die "source folder '$1' does not exist"
src_dir=$(cd "$1" && pwd)
mkdir -p "$2" || die "cannot create output folder '$2'"
out_dir=$(cd "$2" && pwd)

project=quorvel.hhp
chm=quorvel.chm

for f in quorvel.hhp quorvel.hhc quorvel.hhk; do
    [ -f "$src_dir/$f" ] || die "missing $src_dir/$f"
done
[ -d "$src_dir/src" ] || die "missing topic folder $src_dir/src"

stage=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-help.XXXXXX")
trap 'rm -rf "$stage"' EXIT

# Convert one UTF-8 source into the staging folder as code page 932.
# iconv stops at the first character that code page 932 cannot hold.
convert() {
    local from=$1 name
    name=$(basename "$from")
    [ ! -e "$stage/$name" ] || die "two sources are both named $name"
    iconv -f UTF-8 -t CP932 "$from" >"$stage/$name" ||
        die "$from: not UTF-8, or holds a character that Shift_JIS (code page 932) cannot hold"
}

# Pages declare their character set; without it the viewer would guess.
require_charset() {
    grep -qi 'charset=Shift_JIS' "$1" || die "$1 does not declare charset=Shift_JIS"
}

convert "$src_dir/quorvel.hhp"
for f in "$src_dir/quorvel.hhc" "$src_dir/quorvel.hhk"; do
    require_charset "$f"
    convert "$f"
done

shopt -s nullglob
topics=("$src_dir"/src/*.html)
styles=("$src_dir"/src/*.css)
shopt -u nullglob
[ "${#topics[@]}" -gt 0 ] || die "no topics (*.html) in $src_dir/src"
for f in "${topics[@]}"; do
    require_charset "$f"
    convert "$f"
done
for f in "${styles[@]}"; do
    convert "$f"
done

# Every source file must be listed in [FILES], and every listed file must
# exist: an unlisted page would silently be left out of the help file.
listed=$(sed -n '/^\[FILES\]/,/^\[/{/^\[/d;/^[[:space:]]*$/d;/^;/d;p}' "$stage/$project" | tr -d '\r')
[ -n "$listed" ] || die "$project lists no files under [FILES]"
while IFS= read -r name; do
    [ -f "$stage/$name" ] || die "$project lists $name, which is not in $src_dir/src"
done <<<"$listed"
for f in "${topics[@]}" "${styles[@]}"; do
    name=$(basename "$f")
    grep -qxF "$name" <<<"$listed" || die "$name is not listed under [FILES] in $project"
done

# chmcmd checks the links of the pages but not those of the contents and
# the index: every "Local" target there must name a page of the staging
# folder and, after a #, an anchor (name= or id=) of that page.
for nav in quorvel.hhc quorvel.hhk; do
    targets=$(grep -oiE '<param[[:space:]]+name="Local"[[:space:]]+value="[^"]*"' "$stage/$nav" |
        sed -E 's/.*value="([^"]*)"/\1/')
    [ -n "$targets" ] || die "$nav links to no page"
    while IFS= read -r target; do
        page=${target%%#*}
        [ -f "$stage/$page" ] || die "$nav links to $target, but there is no page $page"
        if [ "$page" != "$target" ]; then
            anchor=${target#*#}
            grep -qE "(name|id)=\"$anchor\"" "$stage/$page" ||
                die "$nav links to $target, but $page has no anchor $anchor"
        fi
    done <<<"$targets"
done

log="$stage/chmcmd.log"
status=0
(cd "$stage" && chmcmd "$project") >"$log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
    cat "$log" >&2
    die "chmcmd failed with exit code $status"
fi
if grep -E '^(Error|Warning):' "$log" >/dev/null; then
    cat "$log" >&2
    die "chmcmd reported problems in the help sources (see the Error/Warning lines above)"
fi
[ -s "$stage/$chm" ] || {
    cat "$log" >&2
    die "chmcmd did not write $chm"
}

# Write COUNT zero bytes at byte OFFSET of the compiled file.
zero_bytes() {
    head -c "$2" /dev/zero | dd of="$stage/$chm" bs=1 seek="$1" conv=notrunc status=none
}

# COUNT bytes at OFFSET as one run of hex digits.
hex_at() {
    od -An -v -tx1 -j "$1" -N "$2" "$stage/$chm" | tr -d ' \n'
}

# File header: "ITSF", version 3, header length, 1, then the time stamp.
[ "$(hex_at 0 4)" = "49545346" ] || die "$chm does not begin with an ITSF header"
zero_bytes 16 4

# #SYSTEM begins with its version (3) and record 10 (4 bytes: the time
# stamp), followed by record 9, the compiler's name. Find the name, check
# the layout around it and clear the stamp.
mapfile -t hits < <(grep -obUaF 'HHA Version' "$stage/$chm" | cut -d: -f1)
[ "${#hits[@]}" -eq 1 ] || die "cannot find the #SYSTEM file in $chm (found ${#hits[@]} candidates)"
name_at=${hits[0]}
[ "$name_at" -ge 16 ] || die "unexpected #SYSTEM layout in $chm"
[ "$(hex_at $((name_at - 16)) 8)" = "030000000a000400" ] &&
    [ "$(hex_at $((name_at - 4)) 2)" = "0900" ] ||
    die "unexpected #SYSTEM layout in $chm; cannot clear its time stamp"
zero_bytes $((name_at - 8)) 4

# Replace the output in one step, so that a failed run leaves no half file.
cp "$stage/$chm" "$out_dir/$chm.tmp" || die "cannot write $out_dir"
mv -f "$out_dir/$chm.tmp" "$out_dir/$chm"
echo "$prog: wrote $out_dir/$chm ($(wc -c <"$out_dir/$chm") bytes)"
