#!/bin/bash
# quorvel-cli update's and diff's figures on native Linux, each against a
# baseline measured in the same run on the same bytes:
#   - a 1 GiB pack of 1,024 entries of 1 MiB, one entry replaced: update -o
#     against cp of the pack to a new file (and against cp followed by a
#     sync of the copy, since update flushes its new pack to the disk before
#     it gives it its name);
#   - the same against the way without update: extract everything, replace
#     the file, create --from-list;
#   - a pack of 100,000 entries of 4 KiB, one entry replaced, against cp (and
#     cp with the sync);
#   - diff of two 1 GiB packs that differ in one entry against reading both
#     files once (cat OLD NEW > /dev/null), warm page cache.
# Prints figures and ratios; asserts nothing about speed. It fails only
# when a command fails or update's pack differs from create's.
#
# Usage: tests/bench/cli_update_bench.sh [BUILD_DIR]   (default build/linux-release)
# BUILD_DIR/bin must hold quorvel-cli and pakwriter. ROUNDS (default 5) sets
# the rounds per figure. Takes about 5 GB of scratch space under BUILD_DIR.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/../.."
source tests/bench/cli_bench_common.sh
bench_setup cli_update_bench.sh 5 "${1:-}"

echo "load_before: $(uptime)"
echo "rounds: $rounds; medians; warm page cache; outputs removed and synced before each run"

# --- 1 GiB: 1,024 entries of 1 MiB, one replaced ------------------------------
"$pakwriter" --generated big.pak 1024 1048576 e
mkdir src
head -c 1048576 /dev/urandom >src/e500.bin

# Warm-up, not counted: update's pack is the one create --from-list writes
# of the merged tree.
"$cli" update -q -o updated.pak big.pak src
mkdir tree
"$cli" extract -q -C tree big.pak
cp src/e500.bin tree/e500.bin
"$cli" list big.pak >order.txt
"$cli" create -q --from-list order.txt created.pak tree
cmp updated.pak created.pak || { echo "cli_update_bench.sh: update and create --from-list differ" >&2; exit 1; }
settle tree created.pak

measure_big_update() { local d; d=$(fresh); sync -f .; seconds "$cli" update -q -o "$d/new.pak" big.pak src; }
measure_big_cp() { local d; d=$(fresh); sync -f .; seconds cp big.pak "$d/new.pak"; }
measure_big_cp_sync() { local d; d=$(fresh); sync -f .; seconds sh -c 'cp big.pak "$1" && sync "$1"' sh "$d/new.pak"; }
# What a user without update does: everything out, the file in, a new pack.
manual_way() {
  "$cli" extract -q -C "$1/tree" big.pak &&
    cp src/e500.bin "$1/tree/e500.bin" &&
    "$cli" list big.pak >"$1/order.txt" &&
    "$cli" create -q --from-list "$1/order.txt" "$1/new.pak" "$1/tree"
}
measure_big_manual() { local d; d=$(fresh); sync -f .; seconds bash -c "$(declare -f manual_way); cli='$cli' manual_way \"\$1\"" bash "$d"; }
measure_rounds big_update big_cp big_cp_sync big_manual
settle x.*

echo "== 1 GiB pack of 1,024 entries of 1 MiB, one entry replaced"
report big_update update_big "quorvel-cli update -q -o NEW big.pak SRC"
report big_cp cp_big "cp big.pak NEW"
report big_cp_sync cp_sync_big "cp big.pak NEW && sync NEW"
report big_manual manual_big "extract -q -C DIR big.pak; cp FILE DIR; list > order.txt; create -q --from-list order.txt NEW DIR"
compare big_cp big_update update_big_to_cp_ratio "update's seconds over cp's; goal 1.1 or less"
compare big_cp_sync big_update update_big_to_cp_sync_ratio "update's seconds over cp and sync's, both on the disk"
compare big_update big_manual update_big_speedup_over_extract_create "extract+create's seconds over update's; goal 5 or more"

# --- diff of two 1 GiB packs that differ in one entry -------------------------
"$cli" diff big.pak updated.pak >diff.txt && { echo "cli_update_bench.sh: diff found no difference" >&2; exit 1; }
[ "$(cat diff.txt)" = "M e500.bin" ] || { echo "cli_update_bench.sh: diff says: $(cat diff.txt)" >&2; exit 1; }
measure_diff_cli() { seconds sh -c '"$1" diff "$2" "$3"; [ $? -eq 1 ]' sh "$cli" big.pak updated.pak; }
measure_diff_cat() { seconds cat big.pak updated.pak; }
measure_rounds diff_cli diff_cat

echo "== diff of two 1 GiB packs that differ in one entry"
report diff_cli diff "quorvel-cli diff big.pak updated.pak"
report diff_cat cat_both "cat big.pak updated.pak >/dev/null"
compare diff_cat diff_cli diff_to_cat_ratio "diff's seconds over cat's; goal 1.2 or less"
settle big.pak updated.pak src

# --- 100,000 entries of 4 KiB, one replaced -----------------------------------
"$pakwriter" --generated many.pak 100000 4096 'data\s'
mkdir -p src/data
head -c 4096 /dev/urandom >src/data/s50000.bin
"$cli" update -q -o updated.pak many.pak src
[ "$("$cli" diff many.pak updated.pak)" = "M data/s50000.bin" ] ||
  { echo "cli_update_bench.sh: the update of many.pak changed more than one entry" >&2; exit 1; }
settle updated.pak

measure_many_update() { local d; d=$(fresh); sync -f .; seconds "$cli" update -q -o "$d/new.pak" many.pak src; }
measure_many_cp() { local d; d=$(fresh); sync -f .; seconds cp many.pak "$d/new.pak"; }
measure_many_cp_sync() { local d; d=$(fresh); sync -f .; seconds sh -c 'cp many.pak "$1" && sync "$1"' sh "$d/new.pak"; }
measure_rounds many_update many_cp many_cp_sync
settle x.*

echo "== pack of 100,000 entries of 4 KiB, one entry replaced"
report many_update update_many "quorvel-cli update -q -o NEW many.pak SRC"
report many_cp cp_many "cp many.pak NEW"
report many_cp_sync cp_sync_many "cp many.pak NEW && sync NEW"
compare many_cp many_update update_many_to_cp_ratio "update's seconds over cp's; goal 1.5 or less"
compare many_cp_sync many_update update_many_to_cp_sync_ratio "update's seconds over cp and sync's, both on the disk"

echo "load_after: $(uptime)"
