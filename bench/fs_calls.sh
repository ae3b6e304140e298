#!/usr/bin/env bash
# System calls per written file of quorvin-cli, by kind, counted by strace. Two runs of the same
# kind, N and 2N tiny files, are counted and subtracted, so what the program does once (start-up,
# the folder, the manifest) drops out and only what each file costs remains.
#   bench/fs_calls.sh [quorvin-cli] [N]      (defaults: build/default/cli/quorvin-cli, 200)
# A quorvin-cli.exe runs under Wine (scripts/wine-run.sh), whose own calls are then counted too:
# getdents64 there is Wine reading the folder to match a missing name without regard to case.
# "beyond the writes" is every call but write/writev and the flush to storage (fsync);
# "names looked up" counts the calls that resolve a path (a rename resolves two). quorvin-cli
# flushes each file through the handle that wrote it (platform::sync_file_to_storage, handed the
# open file), so a file in a fresh folder costs its openat, close and rename beyond the writes.
set -euo pipefail

cli=${1:-build/default/cli/quorvin-cli}
files=${2:-200}
command -v strace >/dev/null || { echo "fs_calls.sh: strace is needed (apt-get install strace)" >&2; exit 1; }
[ -x "$cli" ] || { echo "fs_calls.sh: no program at $cli" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
run=("$cli")
if [[ $cli == *.exe ]]; then
  run=("$(cd "$(dirname "$0")/.." && pwd)/scripts/wine-run.sh" "$cli")
  export WINEPREFIX=${WINEPREFIX:-$(cd "$(dirname "$0")/.." && pwd)/build/wineprefix-bench}
fi

# "<call> <count>" for one run of `files` files with the given options.
count_calls() {
  local n=$1
  shift
  rm -rf "$work/out" "$work/manifest.csv"
  strace -f -c -o "$work/summary" "${run[@]}" -q -j 1 --seed 1 -m BPSK --num-symbols 4 --files-per-modulation "$n" \
    -o "$work/out" "$@" >/dev/null
  # Columns: % time, seconds, usecs/call, calls, [errors], syscall.
  awk 'NF >= 5 && $4 ~ /^[0-9]+$/ && $NF != "total" { print $NF, $4 }' "$work/summary"
}

# One row per call: what each extra file cost, divided by the files written per planned file.
per_file() {
  local per_entry=$1
  shift
  count_calls "$files" "$@" >"$work/small"
  count_calls $((2 * files)) "$@" >"$work/large"
  awk -v files="$files" -v per_entry="$per_entry" '
    NR == FNR { small[$1] = $2; next }
    { large[$1] = $2 }
    END {
      for (c in small) if (!(c in large)) large[c] = 0
      written = files * per_entry
      for (c in large) {
        d = (large[c] - small[c]) / written
        if (d < 0.005 && d > -0.005) continue
        printf "1 %-18s %6.2f\n", c, d
        if (c !~ /^(write|writev|pwrite64|pwritev|fsync|fdatasync)$/) beyond += d
        if (c ~ /^(openat|open|creat|stat|lstat|newfstatat|statx|access|faccessat|faccessat2|readlink|readlinkat|unlink|unlinkat|mkdir|mkdirat|chmod|fchmodat|truncate)$/) names += d
        if (c ~ /^(rename|renameat|renameat2|link|linkat|symlink|symlinkat)$/) names += 2 * d
      }
      printf "2 %-18s %6.2f\n3 %-18s %6.2f\n", "beyond the writes", beyond, "names looked up", names
    }' "$work/small" "$work/large" | sort | sed 's/^[0-9] /  /'
}

echo "quorvin-cli: system calls per written file ($files and $((2 * files)) files, -j 1)"
echo "CSV:"
per_file 1
echo "CSV with --save-settings (2 files each):"
per_file 2 --save-settings
echo "SigMF (2 files each):"
per_file 2 --format sigmf
echo "SigMF with --save-settings and --manifest (3 files each):"
per_file 3 --format sigmf --save-settings --manifest "$work/manifest.csv"
