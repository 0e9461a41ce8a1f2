#!/bin/bash
# quorvel-cli mount's figures on native Linux, each beside its baseline
# measured in the same run:
#   - one entry of 1 GiB: `cat` through the mount into /dev/null, first read
#     (fresh mount) and second read, against `quorvel-cli cat`;
#   - 100,000 entries in 1,000 folders: `find MOUNTPOINT -type f | wc -l`
#     right after mounting;
#   - 1,000,000 entries: time from the command to a visible tree, and the
#     mount process's resident memory per entry;
#   - 400,000 names chosen so that an unkeyed 64-bit FNV-1a of each, folded
#     to 32 bits, falls in one 16th of a table of 2^20 slots: the same time;
#   - 10,000 entries of 16 KiB: `cp -r MOUNTPOINT/. DIR` against
#     `quorvel-cli extract -C DIR`.
# Prints figures and ratios; asserts nothing about speed. It fails only when
# a command fails or the mount's bytes or counts are wrong. Needs FUSE
# (/dev/fuse, fusermount3, libfuse3).
#
# Usage: tests/bench/mount_bench.sh [BUILD_DIR]   (default build/linux-release)
# BUILD_DIR/bin must hold quorvel-cli and pakwriter. ROUNDS (default 5) sets
# the rounds per figure. Takes about 3 GB of scratch space under BUILD_DIR.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/../.."
# bench_setup, seconds, median, report, compare and the rest.
source tests/bench/cli_bench_common.sh
bench_setup mount_bench.sh 5 "${1:-}"

mnt="$work/mnt"
mkdir "$mnt"
server=
cleanup() {
  if mountpoint -q "$mnt"; then fusermount3 -u "$mnt"; fi
  if [ -n "$server" ]; then wait "$server" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# The load average at a figure: on a shared machine the figures mean
# little without it.
load() { echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"; }

# Mounts in the foreground of a background job, so that the serving
# process's own processor time can be read; returns once the tree is there.
mount_pack() {
  "$cli" mount -f "$1" "$mnt" &
  server=$!
  while ! mountpoint -q "$mnt"; do sleep 0.01; done
}

unmount_pack() {
  fusermount3 -u "$mnt"
  wait "$server"
}

# Processor seconds the serving process has used so far.
server_cpu() { awk '{ printf "%.2f\n", ($14 + $15) / 100 }' "/proc/$server/stat"; }

# "WALL CPU" of "$@" with the serving process's processor seconds added.
served_seconds() {
  local before after pair
  before=$(server_cpu)
  pair=$(seconds "$@")
  after=$(server_cpu)
  awk -v p="$pair" -v b="$before" -v a="$after" 'BEGIN { split(p, f, " "); printf "%s %.2f\n", f[1], f[2] + a - b }'
}

echo "load_before: $(uptime)"
echo "rounds: $rounds; medians; the pack in the page cache for every command"
echo "(the mount's figures need quick switches between two processes: on a loaded machine its wall"
echo " seconds suffer far more than a single program's; the cpu seconds show the work itself)"

# --- one entry of 1 GiB ------------------------------------------------------
"$pakwriter" --generated big.pak 1 $((1 << 30)) big
mount_pack big.pak
cmp "$mnt/big0.bin" <("$cli" cat big.pak big0.bin)
unmount_pack
TIMES_first=() TIMES_warm=() TIMES_direct=()
for _ in $(seq "$rounds"); do
  mount_pack big.pak
  TIMES_first+=("$(served_seconds cat "$mnt/big0.bin")")
  TIMES_warm+=("$(served_seconds cat "$mnt/big0.bin")")
  unmount_pack
  TIMES_direct+=("$(seconds "$cli" cat big.pak big0.bin)")
done
rm big.pak
echo "== one entry of 1 GiB into /dev/null (mount: cat's and the serving process's cpu); $(load)"
report first mount_cat_first "cat MOUNTPOINT/big0.bin, fresh mount"
report warm mount_cat_warm "the same again"
report direct cli_cat "quorvel-cli cat big.pak big0.bin"
compare first direct mount_first_to_cli_cat_ratio "quorvel-cli cat's seconds over the mount's, first read; goal 0.7 or more"
compare warm direct mount_warm_to_cli_cat_ratio "the same for a second read; goal 0.7 or more"

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
TIMES_found=()
for _ in $(seq "$rounds"); do
  mount_pack folders.pak
  TIMES_found+=("$(served_seconds sh -c "find '$mnt' -type f | wc -l > count.txt")")
  unmount_pack
  [ "$(cat count.txt)" -eq 100000 ] || { echo "mount_bench.sh: find saw $(cat count.txt) files, not 100000" >&2; exit 1; }
done
rm folders.pak
echo "== 100,000 entries in 1,000 folders (cpu: find's, wc's and the serving process's); $(load)"
report found find_after_mount "find MOUNTPOINT -type f | wc -l, right after mounting; goal 1 s or less"

# --- 1,000,000 entries -------------------------------------------------------
"$pakwriter" --generated huge.pak 1000000 1 'e'
"$pakwriter" --generated tiny.pak 1 1 'e'
TIMES_visible=()
for _ in $(seq "$rounds"); do
  TIMES_visible+=("$(seconds "$cli" mount huge.pak "$mnt")")
  [ -e "$mnt/e999999.bin" ] || { echo "mount_bench.sh: the tree is not there" >&2; exit 1; }
  fusermount3 -u "$mnt"
  while mountpoint -q "$mnt"; do sleep 0.01; done
done

# Resident memory of the serving process, in KiB: right after mounting, and
# after every name has been looked up once.
resident_kib() {
  mount_pack "$1"
  ls "$mnt" >/dev/null
  local fresh
  fresh=$(awk '/^VmRSS/ { print $2 }' "/proc/$server/status")
  find "$mnt" -type f -size 1c | wc -l >/dev/null
  echo "$fresh $(awk '/^VmRSS/ { print $2 }' "/proc/$server/status")"
  unmount_pack
}
huge_kib=$(resident_kib huge.pak)
tiny_kib=$(resident_kib tiny.pak)
rm huge.pak tiny.pak
echo "== 1,000,000 entries (names of 5 to 10 bytes, 1 byte each); $(load)"
report visible visible_tree "quorvel-cli mount huge.pak MOUNTPOINT, until it returns with the tree visible; goal 2 s or less"
echo "mount_resident_kib: fresh ${huge_kib% *}, after a find ${huge_kib#* }; one-entry pack: fresh ${tiny_kib% *}, after a find ${tiny_kib#* }"
awk -v h="${huge_kib% *}" -v t="${tiny_kib% *}" -v hf="${huge_kib#* }" -v tf="${tiny_kib#* }" 'BEGIN {
  printf "mount_bytes_per_entry: %.1f fresh, %.1f after a find ((resident - one-entry resident) / 1,000,000; goal 150 or less)\n",
    (h - t) * 1024 / 1e6, (hf - tf) * 1024 / 1e6
}'

# --- 400,000 names chosen to collide ------------------------------------------
python3 - colliding.pak <<'EOF'
import struct, sys
P, M = 1099511628211, (1 << 64) - 1
alphabet = b"abcdefghijklmnopqrstuvwxyz0123456789"
names = []
def extend(prefix, hash, depth):
    for c in alphabet:
        h = ((hash ^ c) * P) & M
        if depth == 1:
            if (h ^ (h >> 32)) & 0xFFFFF < 1 << 16:
                names.append(prefix + bytes((c,)))
        elif len(names) < 400000:
            extend(prefix + bytes((c,)), h, depth - 1)
extend(b"q", ((1469598103934665603 ^ ord("q")) * P) & M, 5)
names = names[:400000]
NEGATE = bytes((256 - b) % 256 for b in range(256))
records = [struct.pack("<I", len(n) + 9) + n + b"\0" + struct.pack("<II", 1, i) for i, n in enumerate(names)]
plain = struct.pack("<i", len(records)) + b"".join(records) + bytes(range(256)) * 1563
open(sys.argv[1], "wb").write(plain.translate(NEGATE))
EOF
TIMES_colliding=()
for _ in $(seq "$rounds"); do
  TIMES_colliding+=("$(seconds "$cli" mount colliding.pak "$mnt")")
  [ "$(ls "$mnt" | wc -l)" -eq 400000 ] || { echo "mount_bench.sh: the colliding tree is not whole" >&2; exit 1; }
  fusermount3 -u "$mnt"
  while mountpoint -q "$mnt"; do sleep 0.01; done
done
rm colliding.pak
echo "== 400,000 names chosen to collide under an unkeyed hash; $(load)"
report colliding visible_colliding_tree "quorvel-cli mount colliding.pak MOUNTPOINT, until it returns; goal 1 s or less"

# --- 10,000 entries of 16 KiB ------------------------------------------------
"$pakwriter" --generated many.pak 10000 16384 'voice\v'
mkdir check
"$cli" extract -q -C check many.pak
mount_pack many.pak
diff -r check "$mnt" >/dev/null || { echo "mount_bench.sh: the mount differs from extract" >&2; exit 1; }
unmount_pack
# Each run copies into a folder of its own (fresh), deleted only at the end.
TIMES_copied=() TIMES_extracted=()
for round in $(seq "$rounds"); do
  for which in $((round % 2)) $(((round + 1) % 2)); do
    d=$(fresh)
    sync -f .
    if [ "$which" -eq 0 ]; then
      mount_pack many.pak
      TIMES_copied+=("$(served_seconds cp -r "$mnt/." "$d")")
      unmount_pack
    else
      TIMES_extracted+=("$(seconds "$cli" extract -q -C "$d" many.pak)")
    fi
  done
done
echo "== 10,000 entries of 16 KiB (mount: cp's and the serving process's cpu); $(load)"
report copied mount_cp "cp -r MOUNTPOINT/. DIR, fresh mount"
report extracted extract "quorvel-cli extract -q -C DIR many.pak"
compare copied extracted cp_from_mount_to_extract_ratio "extract's seconds over cp -r's from a fresh mount; no goal"

echo "load_after: $(uptime)"
