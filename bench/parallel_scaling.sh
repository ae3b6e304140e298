#!/usr/bin/env bash
# Times quorvin-cli's exact model on the same batch at -j 1 and -j 2 and prints one Markdown table:
# wall seconds of each, their CPU seconds (user + system) and the -j 2 speed-up (target >= 1.8).
# The batch: QPSK, root-raised-cosine roll-off 0.35 over 10 symbols, fs/Rs 4, a 37 Hz offset and
# 20 dB of noise, FILES files of 2,000,000 samples as SigMF, written under $TMPDIR (each file is
# flushed to the disk before it is renamed, as in any run). The two job counts alternate within each
# repetition and the fastest of each counts, as load from other processes only ever adds time; a
# speed-up means something only on an otherwise idle machine, so the load average is printed too.
#
# Usage: bench/parallel_scaling.sh [--quick]
#   --quick                    one repetition of 200,000-sample files (a smoke test, not figures)
# Environment:
#   QUORVIN_BENCH_PRESET=name  configure preset of quorvin-cli (default: default)
#   QUORVIN_BENCH_BUILD=dir    build folder for that preset (default: build/PRESET)
#   QUORVIN_BENCH_REPEATS=n    repetitions; the fastest counts (default 5)
#   QUORVIN_BENCH_FILES=n      files in the batch, an even number (default 8: the last file's flush
#                              overlaps nothing, and a real batch has many files)
#   TMPDIR                     where the output files go (default /tmp)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
preset=${QUORVIN_BENCH_PRESET:-default}
build=${QUORVIN_BENCH_BUILD:-$root/build/$preset}
repeats=${QUORVIN_BENCH_REPEATS:-5}
files=${QUORVIN_BENCH_FILES:-8}
samples=2000000
for argument in "$@"; do
  case $argument in
    --quick) repeats=1 samples=200000 ;;
    -h|--help) sed -n '2,/^#   TMPDIR/p' "$0"; exit 0 ;;
    *) echo "bench/parallel_scaling.sh: unknown argument '$argument'" >&2; exit 2 ;;
  esac
done
[[ $repeats =~ ^[1-9][0-9]*$ ]] || { echo "bench/parallel_scaling.sh: QUORVIN_BENCH_REPEATS must be a positive number" >&2; exit 2; }
# An odd count leaves one worker idle for the last file, which is no measure of scaling.
if ! [[ $files =~ ^[1-9][0-9]*$ ]] || ((files % 2 != 0)); then
  echo "bench/parallel_scaling.sh: QUORVIN_BENCH_FILES must be a positive even number" >&2
  exit 2
fi

cd "$root"
echo "Building quorvin-cli (preset '$preset')..." >&2
cmake --preset "$preset" -B "$build" >/dev/null
cmake --build "$build" -j 2 --target quorvin-cli >/dev/null
cli=$build/cli/quorvin-cli

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvin-scaling.XXXXXX")
trap 'rm -rf "$work"' EXIT

batch=(-m QPSK --signal-model exact --format sigmf --sample-rate 40000 --symbol-rate-min 10000
  --symbol-rate-max 10000 --rolloff-min 0.35 --rolloff-max 0.35 --filter-span 10 --frequency-offset-min 37
  --frequency-offset-max 37 --snr-min 20 --snr-max 20 --timing-error-min 0 --timing-error-max 0
  --files-per-modulation "$files" --samples-per-file "$samples" --seed 1 -q -o "$work/out")

# run JOBS: one run of the batch; prints its wall, user and system seconds, to the microsecond
# (/usr/bin/time's hundredths would carry a few per cent on a run of a third of a second).
run() {
  rm -rf "$work/out"
  sync
  if ! /usr/bin/python3 -c '
import resource, subprocess, sys, time
start = time.perf_counter()
status = subprocess.run(sys.argv[2:], stdout=subprocess.DEVNULL).returncode
wall = time.perf_counter() - start
usage = resource.getrusage(resource.RUSAGE_CHILDREN)
open(sys.argv[1], "w").write(f"{wall:.6f} {usage.ru_utime:.6f} {usage.ru_stime:.6f}\n")
sys.exit(status)' "$work/time" "$cli" "${batch[@]}" -j "$1" 2>"$work/stderr"; then
    echo "bench/parallel_scaling.sh: -j $1 failed:" >&2
    cat "$work/stderr" >&2
    exit 1
  fi
  local written
  written=$(cat "$work"/out/*.sigmf-data | wc -c)
  if [ "$written" -ne $((files * samples * 8)) ]; then
    echo "bench/parallel_scaling.sh: -j $1 wrote $written bytes of samples, not $((files * samples * 8))" >&2
    exit 1
  fi
  cat "$work/time"
}

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
declare -A best_wall best_cpu
for ((r = 0; r < repeats; ++r)); do
  for jobs in 1 2; do
    echo "Repetition $((r + 1)) of $repeats: -j $jobs..." >&2
    read -r wall user system < <(run "$jobs")
    if [ -z "${best_wall[$jobs]:-}" ] || awk -v a="$wall" -v b="${best_wall[$jobs]}" 'BEGIN { exit !(a < b) }'; then
      best_wall[$jobs]=$wall
      best_cpu[$jobs]=$(awk -v u="$user" -v s="$system" 'BEGIN { printf "%.2f", u + s }')
    fi
  done
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

echo "Machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1); preset '$preset';" \
  "commit $(git -C "$root" describe --always --dirty)"
echo "Load average (1, 5, 15 min) before: $load_before; after: $load_after"
echo "Batch: $files exact QPSK files of $samples samples (SigMF); fastest of $repeats"
echo
echo "| jobs | wall s | CPU s | Msamples/s | speed-up over -j 1 | target | met |"
echo "|---|---|---|---|---|---|---|"
awk -v w1="${best_wall[1]}" -v c1="${best_cpu[1]}" -v w2="${best_wall[2]}" -v c2="${best_cpu[2]}" \
  -v n="$((files * samples))" 'BEGIN {
    printf "| 1 | %.3f | %.2f | %.2f | | | |\n", w1, c1, n / w1 / 1e6
    ratio = w1 / w2
    printf "| 2 | %.3f | %.2f | %.2f | %.2f x | >= 1.8 | %s |\n", w2, c2, n / w2 / 1e6, ratio, (ratio >= 1.8 ? "yes" : "NO")
  }'
