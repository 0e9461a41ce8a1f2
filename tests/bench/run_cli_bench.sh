#!/bin/bash
# quorvel-cli's figures on native Linux, each against a baseline measured in
# the same run on the same bytes:
#   - one entry of 1 GiB: `extract` against `dd bs=1M` copying those bytes
#     into a file;
#   - 10,000 entries of 16 KiB: `extract` against `tar -xf` of a tar of the
#     same files, and `create` from that folder against `tar -cf` of it;
#   - 1,000,000 entries: `list` in seconds and its peak memory per entry;
#   - each of these against tests/bench/pak_extract.py, the plain Python
#     script a user would otherwise write.
# Prints figures and ratios; asserts nothing about speed. It fails only
# when a command fails or quorvel-cli's output differs from the script's.
#
# Usage: tests/bench/run_cli_bench.sh [BUILD_DIR]   (default build/linux-release)
# BUILD_DIR/bin must hold quorvel-cli and pakwriter. ROUNDS (default 7) sets
# the rounds per figure. Takes about 6 GB of scratch space under BUILD_DIR
# (removed at the end) and a few minutes. Leave five minutes between two
# runs on a journal-less ext4: the 200,000 files that one run removes at its
# end slow every file creation of the next (see fresh() in cli_bench_common.sh).
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/../.."
python_tool="$PWD/tests/bench/pak_extract.py"
source tests/bench/cli_bench_common.sh
bench_setup run_cli_bench.sh 7 "${1:-}"

echo "load_before: $(uptime)"
echo "rounds: $rounds; medians; warm page cache; outputs removed and synced before each run"

# --- one entry of 1 GiB --------------------------------------------------------
big_bytes=$((1 << 30))
"$pakwriter" --generated big.pak 1 "$big_bytes" big
# The entry's bytes are the last 1 GiB of the pack, after its directory.
big_start=$(($(stat -c %s big.pak) - big_bytes))
dd_big=(dd if=big.pak bs=1M iflag=skip_bytes skip="$big_start" count=1024 status=none)

# Warm-up round, not counted: also checks that quorvel-cli and the script
# write the same bytes, and dd as many (it copies them still negated).
mkdir out
"$cli" extract -q -C out big.pak
python3 "$python_tool" big.pak py
"${dd_big[@]}" of=copy.bin
cmp out/big0.bin py/big0.bin
[ "$(stat -c %s copy.bin)" -eq "$big_bytes" ]
settle out py copy.bin

measure_big_cli() { settle out; mkdir out; seconds "$cli" extract -q -C out big.pak; }
measure_big_dd() { settle copy.bin; seconds "${dd_big[@]}" of=copy.bin; }
measure_big_python() { settle out; mkdir out; seconds python3 "$python_tool" big.pak out; }
measure_rounds big_cli big_dd big_python
settle out copy.bin big.pak

echo "== one entry of 1 GiB"
report big_cli big_extract "quorvel-cli extract -q -C DIR big.pak"
report big_dd big_dd "dd if=big.pak of=FILE bs=1M iflag=skip_bytes skip=$big_start count=1024"
report big_python big_python "python3 tests/bench/pak_extract.py big.pak DIR"
awk -v b="$big_bytes" -v x="$(median_of big_cli 1)" -v d="$(median_of big_dd 1)" 'BEGIN {
  printf "big_extract_mb_per_s: %.1f\nbig_dd_mb_per_s: %.1f\n", b / x / 1e6, b / d / 1e6
}'
compare big_cli big_dd big_extract_to_dd_ratio "throughput against dd's; goal 0.8 or more"
compare big_cli big_python big_extract_to_python_ratio "times as fast as the Python script"

# --- 10,000 entries of 16 KiB ------------------------------------------------
"$pakwriter" --generated many.pak 10000 16384 'voice\v'
# The folder that tar and create start from is the Python script's, so
# that quorvel-cli's extraction is checked against an independent reader.
python3 "$python_tool" many.pak src
mkdir x.check
"$cli" extract -q -C x.check many.pak
diff -r src x.check >/dev/null || { echo "run_cli_bench.sh: quorvel-cli extract differs from pak_extract.py" >&2; exit 1; }
tar -cf many.tar -C src .

# --no-same-owner: what tar does for everyone but root, who may run this.
measure_many_cli() { local d; d=$(fresh); sync -f .; seconds "$cli" extract -q -C "$d" many.pak; }
measure_many_tar() { local d; d=$(fresh); sync -f .; seconds tar -xf many.tar --no-same-owner -C "$d"; }
measure_many_python() { local d; d=$(fresh); sync -f .; seconds python3 "$python_tool" many.pak "$d"; }
measure_rounds many_cli many_tar many_python
settle x.*

# create writes what it read: checked once, by the entries it lists.
"$cli" create -q new.pak src
[ "$("$cli" list new.pak | wc -l)" -eq 10000 ] || { echo "run_cli_bench.sh: create lost entries" >&2; exit 1; }
measure_create_cli() { settle new.pak; seconds "$cli" create -q new.pak src; }
measure_create_tar() { settle new.tar; seconds tar -cf new.tar -C src .; }
measure_rounds create_cli create_tar
settle new.pak new.tar src many.tar many.pak

echo "== 10,000 entries of 16 KiB in one folder"
report many_cli many_extract "quorvel-cli extract -q -C DIR many.pak"
report many_tar many_tar_x "tar -xf many.tar --no-same-owner -C DIR"
report many_python many_python "python3 tests/bench/pak_extract.py many.pak DIR"
compare many_cli many_tar many_extract_to_tar_ratio "tar's seconds over quorvel-cli's; goal 1.0 or more"
compare many_cli many_python many_extract_to_python_ratio "times as fast as the Python script"
report create_cli create "quorvel-cli create -q new.pak DIR"
report create_tar create_tar_c "tar -cf new.tar -C DIR ."
compare create_cli create_tar create_to_tar_ratio "tar's seconds over quorvel-cli's; goal 1.0 or more"

# --- 1,000,000 entries -------------------------------------------------------
"$pakwriter" --generated huge.pak 1000000 1 e
"$pakwriter" --generated tiny.pak 1 1 e
cmp <("$cli" list huge.pak) <(python3 "$python_tool" --list huge.pak) ||
  { echo "run_cli_bench.sh: quorvel-cli list differs from pak_extract.py --list" >&2; exit 1; }

measure_list_cli() { seconds "$cli" list huge.pak; }
measure_list_python() { seconds python3 "$python_tool" --list huge.pak; }
measure_rounds list_cli list_python
huge_kib=()
tiny_kib=()
for _ in 1 2 3; do
  huge_kib+=("$(peak_kib "$cli" list huge.pak)")
  tiny_kib+=("$(peak_kib "$cli" list tiny.pak)")
done
huge_peak=$(median "${huge_kib[@]}")
tiny_peak=$(median "${tiny_kib[@]}")

echo "== 1,000,000 entries (names of 5 to 10 bytes, 1 byte each)"
report list_cli list "quorvel-cli list huge.pak >/dev/null (goal 0.5 s or less)"
report list_python list_python "python3 tests/bench/pak_extract.py --list huge.pak >/dev/null"
compare list_cli list_python list_to_python_ratio "times as fast as the Python script"
echo "list_peak_kib: $huge_peak (runs: ${huge_kib[*]}); one-entry pack: $tiny_peak (runs: ${tiny_kib[*]})"
awk -v h="$huge_peak" -v t="$tiny_peak" 'BEGIN {
  printf "list_bytes_per_entry: %.1f ((peak - one-entry peak) / 1,000,000 entries)\n", (h - t) * 1024 / 1e6
}'

echo "load_after: $(uptime)"
