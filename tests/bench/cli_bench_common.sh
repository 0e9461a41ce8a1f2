# The start and the measuring helpers of the quorvel-cli benchmark
# scripts, sourced by them from the top of the repository.

# The start they share: the build folder (the script's first argument, by
# default build/linux-release), the programs it must hold, the rounds per
# figure (ROUNDS, else the script's own default) and a scratch folder below
# the build folder, removed at the end, made the current one. Sets
# bench_name, build, cli, pakwriter, rounds and work.
bench_setup() {
  bench_name=$1
  local default_rounds=$2
  build=$(realpath "${3:-build/linux-release}")
  cli="$build/bin/quorvel-cli"
  pakwriter="$build/bin/pakwriter"
  rounds=${ROUNDS:-$default_rounds}
  local tool
  for tool in "$cli" "$pakwriter"; do
    if [ ! -x "$tool" ]; then
      echo "$bench_name: $tool is missing; build the targets quorvel-cli and pakwriter first" >&2
      exit 1
    fi
  done
  work=$(mktemp -d "$build/${bench_name%.sh}.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  cd "$work"
}

# A folder of its own for one run's output; nothing is deleted until all
# runs of a figure are done (settle x.*): on ext4, a new inode is not given
# a number freed moments ago, and looking past thousands of them made
# whichever run followed a deletion several times slower, whatever it was.
fresh() { mktemp -d -p . x.XXXXXX; }

# Every timed command starts with a warm page cache for its input (all
# inputs were just written or read, and the machine has the memory to keep
# them) and with nothing dirty: the previous command's output is removed
# (or, for many files, left aside) and the file system synced before the
# clock starts, so no run pays for writing back another run's bytes.
settle() {
  rm -rf "$@"
  sync -f .
}

# "WALL CPU": the wall-clock seconds that "$@" takes and the processor
# seconds (user + system) that it uses, standard output discarded. On a
# shared machine the processor seconds vary less than the wall clock.
seconds() {
  local start=$EPOCHREALTIME
  /usr/bin/time -f '%U %S' -o cpu.txt "$@" >/dev/null || { echo "$bench_name: failed: $*" >&2; return 1; }
  local end=$EPOCHREALTIME
  awk -v s="$start" -v e="$end" '{ printf "%.4f %.2f\n", e - s, $1 + $2 }' cpu.txt
}

median() {
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

# The median wall (field 1) or processor (field 2) seconds of a TIMES_ array.
median_of() {
  declare -n times="TIMES_$1"
  median $(printf '%s\n' "${times[@]}" | cut -d' ' -f"$2")
  unset -n times
}

# Peak resident set of "$@" in KiB, standard output discarded.
peak_kib() {
  /usr/bin/time -f %M -o peak.txt "$@" >/dev/null || { echo "$bench_name: failed: $*" >&2; return 1; }
  cat peak.txt
}

# Runs the named measure functions for $rounds rounds, taking them in a
# different order each round so that none always follows the same one,
# and sets the array TIMES_<name> to each one's seconds.
measure_rounds() {
  local names=("$@") count=$# round i name value
  for name in "${names[@]}"; do
    declare -ga "TIMES_$name=()"
  done
  for round in $(seq 0 $((rounds - 1))); do
    for i in $(seq 0 $((count - 1))); do
      name=${names[$(((round + i) % count))]}
      declare -n times="TIMES_$name"
      value=$("measure_$name")
      times+=("$value")
      unset -n times
    done
  done
}

# LABEL_seconds: median wall seconds (each round's), median processor
# seconds; the command.
report() {
  local name=$1 label=$2 command=$3
  declare -n times="TIMES_$name"
  printf '%s_seconds: %s (rounds: %s); cpu %s; %s\n' "$label" "$(median_of "$name" 1)" \
    "$(printf '%s\n' "${times[@]}" | cut -d' ' -f1 | paste -sd' ')" "$(median_of "$name" 2)" "$command"
  unset -n times
}

# The fastest wall seconds of a TIMES_ array.
best_of() {
  declare -n times="TIMES_$1"
  printf '%s\n' "${times[@]}" | cut -d' ' -f1 | sort -g | head -1
  unset -n times
}

# LABEL: the baseline's median seconds over the tool's, wall and processor,
# and the same for each one's fastest round (what a run untouched by the
# other users of a shared machine gives): above 1 the tool is faster.
compare() {
  local tool=$1 baseline=$2 label=$3 goal=$4
  awk -v tw="$(median_of "$tool" 1)" -v bw="$(median_of "$baseline" 1)" \
      -v tc="$(median_of "$tool" 2)" -v bc="$(median_of "$baseline" 2)" \
      -v tb="$(best_of "$tool")" -v bb="$(best_of "$baseline")" \
      -v label="$label" -v goal="$goal" 'BEGIN {
    printf "%s: %.2f (%s); cpu %s; fastest rounds %.2f\n", label, bw / tw, goal,
      (tc > 0 ? sprintf("%.2f", bc / tc) : "n/a"), bb / tb
  }'
}
