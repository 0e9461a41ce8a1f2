#!/bin/bash
# quorvel-cli mount's figures on native Linux, each beside its baseline
# measured in the same run:
#   - one entry of 1 GiB: `cat` through the mount into /dev/null, first read
#     (fresh mount) and second read, against `quorvel-cli cat`;
#   - 100,000 entries in 1,000 folders: `find MOUNTPOINT -type f | wc -l`
#     right after mounting;
#   - 1,000,000 entries: time from the command to a visible tree, and the
#     mount process's resident memory per entry;
#   - 10,000 entries of 16 KiB: `cp -r MOUNTPOINT/. DIR` against
#     `quorvel-cli extract -C DIR`.
# Prints figures and ratios; asserts nothing about speed. It fails only when
# a command fails or the mount's bytes or counts are wrong. Needs FUSE
# (/dev/fuse, fusermount3, libfuse3).
#
# Usage: tests/bench/run_mount_bench.sh [BUILD_DIR]   (default build/linux-release)
# BUILD_DIR/bin must hold quorvel-cli and pakwriter. ROUNDS (default 5) sets
# the rounds per figure. Takes about 3 GB of scratch space under BUILD_DIR.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/../.."
build=$(realpath "${1:-build/linux-release}")
cli="$build/bin/quorvel-cli"
pakwriter="$build/bin/pakwriter"
rounds=${ROUNDS:-5}

for tool in "$cli" "$pakwriter"; do
  if [ ! -x "$tool" ]; then
    echo "run_mount_bench.sh: $tool is missing; build the targets quorvel-cli and pakwriter first" >&2
    exit 1
  fi
done

work=$(mktemp -d "$build/mount-bench.XXXXXX")
mnt="$work/mnt"
mkdir "$mnt"
cleanup() {
  mountpoint -q "$mnt" && fusermount3 -u "$mnt"
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

# Wall-clock seconds of "$@", standard output discarded.
seconds() {
  local start=$EPOCHREALTIME
  "$@" >/dev/null || { echo "run_mount_bench.sh: failed: $*" >&2; return 1; }
  awk -v s="$start" -v e="$EPOCHREALTIME" 'BEGIN { printf "%.4f\n", e - s }'
}

median() {
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

# Mounts in the background; returns once the tree is visible.
mount_pack() { "$cli" mount "$1" "$mnt"; }

# Unmounts and waits until the mount process has let go of the folder.
unmount_pack() {
  fusermount3 -u "$mnt"
  while mountpoint -q "$mnt"; do sleep 0.01; done
}

# "NAME: MEDIAN (rounds: ...)" for a list of seconds.
report() {
  local name=$1
  shift
  echo "$name: $(median "$@") (rounds: $*)"
}

# Baseline seconds over the tool's, both medians.
ratio() {
  awk -v t="$(median $2)" -v b="$(median $3)" -v label="$1" -v goal="$4" \
    'BEGIN { printf "%s: %.2f (%s)\n", label, b / t, goal }'
}

echo "load_before: $(uptime)"
echo "rounds: $rounds; medians; the pack in the page cache for every command"

# --- one entry of 1 GiB ------------------------------------------------------
"$pakwriter" --generated big.pak 1 $((1 << 30)) big
mount_pack big.pak
cmp "$mnt/big0.bin" <("$cli" cat big.pak big0.bin)
unmount_pack
first=() warm=() direct=()
for _ in $(seq "$rounds"); do
  mount_pack big.pak
  first+=("$(seconds cat "$mnt/big0.bin")")
  warm+=("$(seconds cat "$mnt/big0.bin")")
  unmount_pack
  direct+=("$(seconds "$cli" cat big.pak big0.bin)")
done
rm big.pak
echo "== one entry of 1 GiB into /dev/null"
report mount_cat_first_seconds "${first[@]}"
report mount_cat_warm_seconds "${warm[@]}"
report cli_cat_seconds "${direct[@]}"
ratio mount_first_to_cli_cat_ratio "${first[*]}" "${direct[*]}" "quorvel-cli cat's seconds over the mount's; goal 0.7 or more"
ratio mount_warm_to_cli_cat_ratio "${warm[*]}" "${direct[*]}" "the same for a second read; goal 0.7 or more"

# --- 100,000 entries in 1,000 folders ----------------------------------------
# Written here: the pack writer's generator makes one folder only.
python3 - folders.pak <<'EOF'
import struct, sys
NEGATE = bytes((256 - b) % 256 for b in range(256))
records = []
for i in range(100000):
    name = b"folder%03d\\entry%06d.bin" % (i % 1000, i)
    records.append(struct.pack("<I", len(name) + 9) + name + b"\0" + struct.pack("<II", 1, i))
plain = struct.pack("<i", len(records)) + b"".join(records) + bytes(range(256)) * 391
open(sys.argv[1], "wb").write(plain.translate(NEGATE))
EOF
found=()
for _ in $(seq "$rounds"); do
  mount_pack folders.pak
  start=$EPOCHREALTIME
  count=$(find "$mnt" -type f | wc -l)
  found+=("$(awk -v s="$start" -v e="$EPOCHREALTIME" 'BEGIN { printf "%.4f\n", e - s }')")
  unmount_pack
  [ "$count" -eq 100000 ] || { echo "run_mount_bench.sh: find saw $count files, not 100000" >&2; exit 1; }
done
rm folders.pak
echo "== 100,000 entries in 1,000 folders"
report find_after_mount_seconds "${found[@]}"
echo "  (find MOUNTPOINT -type f | wc -l, right after mounting; goal 1 s or less)"

# --- 1,000,000 entries -------------------------------------------------------
"$pakwriter" --generated huge.pak 1000000 1 'e'
"$pakwriter" --generated tiny.pak 1 1 'e'
visible=()
for _ in $(seq "$rounds"); do
  visible+=("$(seconds "$cli" mount huge.pak "$mnt")")
  [ -e "$mnt/e999999.bin" ] || { echo "run_mount_bench.sh: the tree is not there" >&2; exit 1; }
  unmount_pack
done

# Resident memory of the serving process, in KiB: right after mounting, and
# after every name has been looked up once.
resident_kib() {
  local pid
  "$cli" mount -f "$1" "$mnt" & pid=$!
  while ! mountpoint -q "$mnt"; do sleep 0.01; done
  ls "$mnt" >/dev/null
  local fresh
  fresh=$(awk '/^VmRSS/ { print $2 }' "/proc/$pid/status")
  find "$mnt" -type f -size 1c | wc -l >/dev/null
  echo "$fresh $(awk '/^VmRSS/ { print $2 }' "/proc/$pid/status")"
  fusermount3 -u "$mnt"
  wait "$pid"
}
huge_kib=$(resident_kib huge.pak)
tiny_kib=$(resident_kib tiny.pak)
rm huge.pak tiny.pak
echo "== 1,000,000 entries (names of 5 to 10 bytes, 1 byte each)"
report visible_tree_seconds "${visible[@]}"
echo "  (quorvel-cli mount huge.pak MOUNTPOINT, until it returns with the tree visible; goal 2 s or less)"
echo "mount_resident_kib: fresh ${huge_kib% *}, after a find ${huge_kib#* }; one-entry pack: fresh ${tiny_kib% *}, after a find ${tiny_kib#* }"
awk -v h="${huge_kib% *}" -v t="${tiny_kib% *}" -v hf="${huge_kib#* }" -v tf="${tiny_kib#* }" 'BEGIN {
  printf "mount_bytes_per_entry: %.1f fresh, %.1f after a find ((resident - one-entry resident) / 1,000,000; goal 150 or less)\n",
    (h - t) * 1024 / 1e6, (hf - tf) * 1024 / 1e6
}'

# --- 10,000 entries of 16 KiB ------------------------------------------------
"$pakwriter" --generated many.pak 10000 16384 'voice\v'
mkdir check
"$cli" extract -q -C check many.pak
mount_pack many.pak
diff -r check "$mnt" >/dev/null || { echo "run_mount_bench.sh: the mount differs from extract" >&2; exit 1; }
unmount_pack
# Each run copies into a folder of its own, deleted only at the end: ext4
# here creates files slowly for a while after a mass deletion.
fresh() { mktemp -d -p . x.XXXXXX; }
copied=() extracted=()
for round in $(seq "$rounds"); do
  for which in $((round % 2)) $(((round + 1) % 2)); do
    if [ "$which" -eq 0 ]; then
      mount_pack many.pak
      d=$(fresh); sync -f .
      copied+=("$(seconds cp -r "$mnt/." "$d")")
      unmount_pack
    else
      d=$(fresh); sync -f .
      extracted+=("$(seconds "$cli" extract -q -C "$d" many.pak)")
    fi
  done
done
echo "== 10,000 entries of 16 KiB"
report mount_cp_seconds "${copied[@]}"
report extract_seconds "${extracted[@]}"
ratio cp_from_mount_to_extract_ratio "${copied[*]}" "${extracted[*]}" "extract's seconds over cp -r's from a fresh mount; no goal"

echo "load_after: $(uptime)"
