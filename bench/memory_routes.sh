#!/usr/bin/env bash
# Peak resident memory of quorvin-cli per route, in bytes per sample of the file it writes: one
# SigMF file of about S samples for one name of each route, classic and exact models, measured by
# /usr/bin/time (%M, the peak resident set). A second column runs F such files one after another
# (-j 1): a peak that grows with the number of files would show there.
#   bench/memory_routes.sh [quorvin-cli] [S] [F]   (defaults: build/default/cli/quorvin-cli, 10000000, 4)
set -euo pipefail

cli=${1:-build/default/cli/quorvin-cli}
samples=${2:-10000000}
files=${3:-4}
[ -x /usr/bin/time ] || { echo "memory_routes.sh: /usr/bin/time is needed (apt-get install time)" >&2; exit 1; }
[ -x "$cli" ] || { echo "memory_routes.sh: no program at $cli" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One name per route of the catalogue.
names=(AM AM-SSB FM CW BPSK OQPSK Pi/4-DQPSK 2FSK MSK GMSK QAM16 QAM32 QAM128 APSK16)
sample_rate=10000
symbol_rate=2500  # 4 samples per symbol on the digital routes

# "<peak KiB> <samples in the first file>" of one run.
peak() {
  local model=$1 name=$2 count=$3 symbols=$samples
  case $name in AM | AM-SSB | FM | CW) ;; *) symbols=$((samples * symbol_rate / sample_rate)) ;; esac
  rm -rf "$work/out"
  /usr/bin/time -f %M -o "$work/peak" "$cli" -q -j 1 --seed 7 --format sigmf --signal-model "$model" -m "$name" \
    --files-per-modulation "$count" --num-symbols "$symbols" --sample-rate "$sample_rate" \
    --symbol-rate-min "$symbol_rate" --symbol-rate-max "$symbol_rate" -o "$work/out" >/dev/null
  local data
  data=$(find "$work/out" -name '*_signal_1.sigmf-data' | head -1)
  echo "$(cat "$work/peak") $(($(stat -c %s "$data") / 8))"
}

printf '%-8s %-11s %12s %14s %16s\n' model route "peak MiB" "bytes/sample" "$files files: B/s"
for model in classic exact; do
  for name in "${names[@]}"; do
    read -r kib written < <(peak "$model" "$name" 1)
    read -r kib_many _ < <(peak "$model" "$name" "$files")
    awk -v m="$model" -v n="$name" -v k="$kib" -v s="$written" -v km="$kib_many" 'BEGIN {
      printf "%-8s %-11s %12.0f %14.1f %16.1f\n", m, n, k / 1024, k * 1024 / s, km * 1024 / s }'
  done
done
