#!/usr/bin/env bash
# Times quorvin-cli's exact model on the same batches at -j 1 and -j 2 and prints one Markdown
# table: for each batch and job count its wall seconds, its CPU seconds (user + system, summed over
# the workers), the -j 2 speed-up (targets: 1.8 for long files, 1.85 for frames) and -j 2's CPU
# seconds over -j 1's (target: at most 1.10, the cost of the second worker's coordination).
# The batches, written under $TMPDIR (each file flushed to the disk before it is renamed, as in
# any run):
#   long files: QPSK, root-raised-cosine roll-off 0.35 over 10 symbols, fs/Rs 4, a 37 Hz offset
#     and 20 dB of noise, FILES files of 2,000,000 samples as SigMF;
#   frames, HDF5 and frames, SigMF: every name of -m every, FRAMES frames of 1024 samples each
#     at 1 MHz (the default draws and impairments), into one container or as SigMF recordings.
# The two job counts alternate within each repetition and the fastest of each counts, as load from
# other processes only ever adds time; a speed-up means something only on an otherwise idle
# machine, so the load average is printed too (the CPU sums are steadier under load).
#
# Usage: bench/parallel_scaling.sh [--quick]
#   --quick                    one repetition of 200,000-sample files and 4 frames a name (a smoke
#                              test, not figures)
# Environment:
#   QUORVIN_BENCH_PRESET=name  configure preset of quorvin-cli (default: default)
#   QUORVIN_BENCH_BUILD=dir    build folder for that preset (default: build/PRESET)
#   QUORVIN_BENCH_REPEATS=n    repetitions; the fastest counts (default 5)
#   QUORVIN_BENCH_FILES=n      files in the long batch, an even number (default 8: the last file's
#                              flush overlaps nothing, and a real batch has many files)
#   QUORVIN_BENCH_FRAMES=n     frames a name in the frame batches (default 40: 2,640 frames)
#   TMPDIR                     where the output files go (default /tmp)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
preset=${QUORVIN_BENCH_PRESET:-default}
build=${QUORVIN_BENCH_BUILD:-$root/build/$preset}
repeats=${QUORVIN_BENCH_REPEATS:-5}
files=${QUORVIN_BENCH_FILES:-8}
frames=${QUORVIN_BENCH_FRAMES:-40}
samples=2000000
for argument in "$@"; do
  case $argument in
    --quick) repeats=1 samples=200000 frames=4 ;;
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
[[ $frames =~ ^[1-9][0-9]*$ ]] || { echo "bench/parallel_scaling.sh: QUORVIN_BENCH_FRAMES must be a positive number" >&2; exit 2; }

cd "$root"
echo "Building quorvin-cli (preset '$preset')..." >&2
cmake --preset "$preset" -B "$build" >/dev/null
cmake --build "$build" -j 2 --target quorvin-cli >/dev/null
cli=$build/cli/quorvin-cli

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvin-scaling.XXXXXX")
trap 'rm -rf "$work"' EXIT

long_batch=(-m QPSK --signal-model exact --format sigmf --sample-rate 40000 --symbol-rate-min 10000
  --symbol-rate-max 10000 --rolloff-min 0.35 --rolloff-max 0.35 --filter-span 10 --frequency-offset-min 37
  --frequency-offset-max 37 --snr-min 20 --snr-max 20 --timing-error-min 0 --timing-error-max 0
  --files-per-modulation "$files" --samples-per-file "$samples" --seed 1 -q -o "$work/out")
frame_batch=(-m every --signal-model exact --sample-rate 1e6 --samples-per-file 1024 --files-per-modulation "$frames"
  --seed 1 -q -o "$work/out")
names=$("$cli" --list-modulations | grep -vc "not in every")
batches=("long files, SigMF" "frames, HDF5" "frames, SigMF")
# batch_args INDEX: the arguments of batch INDEX into the array `args`.
batch_args() {
  case $1 in
    0) args=("${long_batch[@]}") ;;
    1) args=("${frame_batch[@]}" --format hdf5) ;;
    2) args=("${frame_batch[@]}" --format sigmf) ;;
  esac
}

# run BATCH JOBS: one run of a batch; prints its wall, user and system seconds, to the microsecond
# (/usr/bin/time's hundredths would carry a few per cent on a run of a third of a second).
run() {
  rm -rf "$work/out"
  sync
  batch_args "$1"
  if ! /usr/bin/python3 -c '
import resource, subprocess, sys, time
start = time.perf_counter()
status = subprocess.run(sys.argv[2:], stdout=subprocess.DEVNULL).returncode
wall = time.perf_counter() - start
usage = resource.getrusage(resource.RUSAGE_CHILDREN)
open(sys.argv[1], "w").write(f"{wall:.6f} {usage.ru_utime:.6f} {usage.ru_stime:.6f}\n")
sys.exit(status)' "$work/time" "$cli" "${args[@]}" -j "$2" 2>"$work/stderr"; then
    echo "bench/parallel_scaling.sh: ${batches[$1]}, -j $2 failed:" >&2
    cat "$work/stderr" >&2
    exit 1
  fi
  # What each batch must have written: its samples' bytes, or one container.
  local written wanted
  case $1 in
    0) written=$(cat "$work"/out/*.sigmf-data | wc -c) wanted=$((files * samples * 8)) ;;
    1) written=$(compgen -G "$work/out/*.h5" | wc -l) wanted=1 ;;
    2) written=$(cat "$work"/out/*.sigmf-data | wc -c) wanted=$((names * frames * 1024 * 8)) ;;
  esac
  if [ "$written" -ne "$wanted" ]; then
    echo "bench/parallel_scaling.sh: ${batches[$1]}, -j $2 wrote $written (bytes of samples or containers), not $wanted" >&2
    exit 1
  fi
  cat "$work/time"
}

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
declare -A best_wall best_cpu
for ((r = 0; r < repeats; ++r)); do
  for b in "${!batches[@]}"; do
    for jobs in 1 2; do
      echo "Repetition $((r + 1)) of $repeats: ${batches[$b]}, -j $jobs..." >&2
      read -r wall user system < <(run "$b" "$jobs")
      cpu=$(awk -v u="$user" -v s="$system" 'BEGIN { printf "%.3f", u + s }')
      if [ -z "${best_wall[$b,$jobs]:-}" ] || awk -v a="$wall" -v b="${best_wall[$b,$jobs]}" 'BEGIN { exit !(a < b) }'; then
        best_wall[$b,$jobs]=$wall
      fi
      # The CPU sum's own fastest: it is what load disturbs least.
      if [ -z "${best_cpu[$b,$jobs]:-}" ] || awk -v a="$cpu" -v b="${best_cpu[$b,$jobs]}" 'BEGIN { exit !(a < b) }'; then
        best_cpu[$b,$jobs]=$cpu
      fi
    done
  done
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

echo "Machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1); preset '$preset';" \
  "commit $(git -C "$root" describe --always --dirty)"
echo "Load average (1, 5, 15 min) before: $load_before; after: $load_after"
echo "Batches: $files exact QPSK files of $samples samples (SigMF); $frames frames of 1024 samples for each of $names names" \
  "(HDF5, SigMF). Fastest of $repeats, wall and CPU each"
echo
echo "| batch | jobs | wall s | CPU s (all workers) | Msamples per wall s | speed-up over -j 1 | target | CPU over -j 1's | target |"
echo "|---|---|---:|---:|---:|---:|---|---:|---|"
for b in "${!batches[@]}"; do
  if [ "$b" -eq 0 ]; then n=$((files * samples)) goal=1.8; else n=$((names * frames * 1024)) goal=1.85; fi
  awk -v name="${batches[$b]}" -v w1="${best_wall[$b,1]}" -v c1="${best_cpu[$b,1]}" -v w2="${best_wall[$b,2]}" \
    -v c2="${best_cpu[$b,2]}" -v n="$n" -v goal="$goal" 'BEGIN {
      printf "| %s | 1 | %.3f | %.3f | %.2f | | | | |\n", name, w1, c1, n / w1 / 1e6
      ratio = w1 / w2
      cpu = c2 / c1
      printf "| %s | 2 | %.3f | %.3f | %.2f | %.2f x | >= %s: %s | %.2f | <= 1.10: %s |\n", name, w2, c2, n / w2 / 1e6, ratio, goal,
        (ratio >= goal ? "met" : "NOT met"), cpu, (cpu <= 1.10 ? "met" : "NOT met")
    }'
done
