#!/bin/bash
# quorvel-cli's patches on native Linux, each figure against a baseline
# measured in the same run on the same bytes: a 1 GiB pack of 1,024 entries
# of 1 MiB, one entry changed.
#   - the patch's size against the changed bytes;
#   - diff --patch against reading both packs once (cat OLD NEW > /dev/null),
#     and against diff alone;
#   - patch -o against update -o of the same change;
#   - beside them, a whole-file binary delta of the same change (xdelta3 -e
#     to make it, xdelta3 -d to apply it), where xdelta3 is installed.
# Prints figures and ratios; asserts nothing about speed. It fails only
# when a command fails or the patched pack differs from the updated one.
#
# Usage: tests/bench/cli_patch_bench.sh [BUILD_DIR]   (default build/linux-release)
# BUILD_DIR/bin must hold quorvel-cli and pakwriter. ROUNDS (default 5) sets
# the rounds per figure. Takes about 4 GB of scratch space under BUILD_DIR.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/../.."
source tests/bench/cli_bench_common.sh
bench_setup cli_patch_bench.sh 5 "${1:-}"

echo "load_before: $(uptime)"
echo "rounds: $rounds; medians; warm page cache; outputs removed and synced before each run"

"$pakwriter" --generated old.pak 1024 1048576 e
mkdir src
head -c 1048576 /dev/urandom >src/e500.bin
"$cli" update -q -o new.pak old.pak src
"$cli" diff --patch change.qvp old.pak new.pak >/dev/null && { echo "cli_patch_bench.sh: diff found no difference" >&2; exit 1; }
"$cli" patch -q -o patched.pak old.pak change.qvp
cmp patched.pak new.pak || { echo "cli_patch_bench.sh: the patched pack is not the updated one" >&2; exit 1; }
settle patched.pak

measure_diff_patch() { local d; d=$(fresh); sync -f .; seconds sh -c '"$1" diff --patch "$2" old.pak new.pak; [ $? -eq 1 ]' sh "$cli" "$d/p.qvp"; }
measure_diff_plain() { seconds sh -c '"$1" diff old.pak new.pak; [ $? -eq 1 ]' sh "$cli"; }
measure_cat_both() { seconds cat old.pak new.pak; }
measure_patch() { local d; d=$(fresh); sync -f .; seconds "$cli" patch -q -o "$d/new.pak" old.pak change.qvp; }
measure_update() { local d; d=$(fresh); sync -f .; seconds "$cli" update -q -o "$d/new.pak" old.pak src; }
figures="diff_patch diff_plain cat_both patch update"
if command -v xdelta3 >/dev/null; then
  xdelta3 -e -f -s old.pak new.pak change.xd3
  measure_xdelta_make() { local d; d=$(fresh); sync -f .; seconds xdelta3 -e -f -s old.pak new.pak "$d/c.xd3"; }
  measure_xdelta_apply() { local d; d=$(fresh); sync -f .; seconds xdelta3 -d -f -s old.pak change.xd3 "$d/new.pak"; }
  figures+=" xdelta_make xdelta_apply"
fi
# shellcheck disable=SC2086
measure_rounds $figures
settle x.*

echo "== 1 GiB pack of 1,024 entries of 1 MiB, one entry changed"
changed=1048576
size=$(stat -c %s change.qvp)
echo "patch_bytes: $size (changed bytes: $changed; overhead $((size - changed)) bytes; goal 1 MiB + 4 KiB or less)"
report diff_patch diff_patch "quorvel-cli diff --patch P old.pak new.pak"
report cat_both cat_both "cat old.pak new.pak >/dev/null"
compare cat_both diff_patch diff_patch_to_cat_ratio "diff --patch's seconds over cat's; goal 1.3 or less"
report diff_plain diff "quorvel-cli diff old.pak new.pak"
compare diff_plain diff_patch diff_patch_to_diff_ratio "what writing the patch adds to diff"
report patch patch "quorvel-cli patch -q -o NEW old.pak P"
report update update "quorvel-cli update -q -o NEW old.pak SRC"
compare update patch patch_to_update_ratio "patch's seconds over update's; goal 1.2 or less"
if command -v xdelta3 >/dev/null; then
  echo "xdelta3_bytes: $(stat -c %s change.xd3)"
  report xdelta_make xdelta_make "xdelta3 -e -s old.pak new.pak D"
  report xdelta_apply xdelta_apply "xdelta3 -d -s old.pak D NEW"
else
  echo "xdelta3: not installed (apt-get install xdelta3); no delta figures"
fi
echo "load_after: $(uptime)"
