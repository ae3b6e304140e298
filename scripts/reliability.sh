#!/usr/bin/env bash
# Load and crash checks of quorvin-cli that need whole runs rather than unit tests:
#   1. SIGKILL at random moments of a large batch that replaces an earlier dataset: afterwards
#      every file under a final name is byte for byte either the new file (the reference run with
#      the same seed) or the earlier one, never anything in between, and a settings file stands
#      only beside the sample file of its own run; leftovers are temporaries. Then a second
#      interrupt at random moments over an earlier SigMF dataset with symbols: each set is whole.
#   2. All 22 names, hundreds of files, several jobs, under AddressSanitizer: no error, no leak.
#   3. The same under valgrind memcheck, smaller.
#   4. Peak resident memory that does not grow with the number of files.
#   5. The HDF5 container: two runs into one folder, a link planted at a temporary's name, signals
#      over an earlier container, a full disk; each run ends with a whole container or the
#      earlier one, and a status that says which.
# Uses the default and asan presets (built here when missing). Output goes to build/reliability.
#   bash scripts/reliability.sh [kill rounds, default 8]
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-8}
work=build/reliability
rm -rf "$work"
mkdir -p "$work"
for preset in default asan; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j 2 --target quorvin-cli >/dev/null
done
# quorvin-cli is a static program on Linux; memcheck needs the dynamically linked one to see its
# allocations.
cmake --build --preset default -j 2 --target quorvin-cli-dynamic >/dev/null
cli=build/default/cli/quorvin-cli
dynamic_cli=build/default/cli/quorvin-cli-dynamic
asan_cli=build/asan/cli/quorvin-cli
failures=0
fail() { echo "reliability.sh: FAIL: $*" >&2; failures=$((failures + 1)); }
temporaries() { find "$1" -name '.qv-*.partial' | wc -l; }

# Peak resident memory (KiB) of a command, which runs with its output discarded; its status is
# printed after the figure.
peak_kib() {
  python3 - "$@" <<'EOF'
import resource, subprocess, sys
status = subprocess.call(sys.argv[1:], stdout=subprocess.DEVNULL)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, status)
EOF
}

# --- 1. SIGKILL at random moments ------------------------------------------------------------
batch=(-m all --files-per-modulation 12 --num-symbols 3000 --save-settings -j 2 --no-progress)
"$cli" "${batch[@]}" --seed 7 -o "$work/reference" >/dev/null
"$cli" "${batch[@]}" --seed 8 -o "$work/earlier" >/dev/null
start=$(date +%s%N)
"$cli" "${batch[@]}" --seed 7 -o "$work/timing" >/dev/null
run_ms=$(( ($(date +%s%N) - start) / 1000000 ))
files=$(find "$work/reference" -type f | wc -l)
echo "=== SIGKILL: $rounds rounds over a batch of $files files that takes ${run_ms} ms"
leftover_total=0
for round in $(seq 1 "$rounds"); do
  out=$work/killed-$round
  cp -r "$work/earlier" "$out"
  delay_ms=$(( RANDOM % (run_ms + 1) ))
  "$cli" "${batch[@]}" --seed 7 -o "$out" >/dev/null &
  pid=$!
  sleep "$(printf '%d.%03d' $((delay_ms / 1000)) $((delay_ms % 1000)))"
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  new=0 old=0 leftovers=0
  declare -A source=()
  for path in "$out"/* "$out"/.[!.]*; do
    [ -e "$path" ] || continue
    name=$(basename "$path")
    if [[ $name =~ ^\.qv-[pw0-9a-f][0-9a-f]{7}\.partial$ ]]; then
      leftovers=$((leftovers + 1))
    elif cmp -s "$path" "$work/reference/$name"; then
      new=$((new + 1)); source[$name]=new
    elif cmp -s "$path" "$work/earlier/$name"; then
      old=$((old + 1)); source[$name]=earlier
    else
      fail "round $round (killed after $delay_ms ms): $name is neither the new nor the earlier file"
    fi
  done
  # A settings file only ever stands beside the sample file of its own run (or none at all).
  for name in "${!source[@]}"; do
    [[ $name == *.txt ]] || continue
    sample=${name%.txt}.csv
    [ "${source[$sample]:-none}" = "${source[$name]}" ] ||
      fail "round $round: $name of the ${source[$name]} run beside the ${source[$sample]:-missing} $sample"
  done
  unset source
  # Sample files are all there (new or earlier); a settings file may be missing after a kill.
  sample_count=$(find "$work/reference" -name '*.csv' | wc -l)
  present=$(find "$out" -name '*.csv' | wc -l)
  [ "$present" -eq "$sample_count" ] || fail "round $round: $present of $sample_count sample files under final names"
  leftover_total=$((leftover_total + leftovers))
  echo "round $round: killed after $delay_ms ms: $new new, $old earlier, $leftovers temporaries left"
done
echo "SIGKILL: $leftover_total temporary files left in $rounds rounds, each named as one"

# --- 1b. a second interrupt at random moments ------------------------------------------------
# A set (SigMF data, metadata, symbols) is put in place whole or not at all, whatever moment the
# second interrupt (which abandons the files in flight) picks: each recording is all the new run's
# or all the earlier one's, and what the report calls saved is there.
sets=(-m QPSK,AM,OFDM-64,CSS,GMSK --samples-per-file 50000 --sample-rate 1e6 --files-per-modulation 8 -j 2
  --format sigmf --save-symbols --no-progress)
"$cli" "${sets[@]}" --seed 1 -o "$work/sets-reference" >/dev/null
"$cli" "${sets[@]}" --seed 9 -o "$work/sets-earlier" >/dev/null
start=$(date +%s%N)
"$cli" "${sets[@]}" --seed 1 -o "$work/sets-timing" >/dev/null
run_ms=$(( ($(date +%s%N) - start) / 1000000 ))
echo "=== second interrupt: $((rounds * 2)) rounds over 40 SigMF sets that take ${run_ms} ms"
for round in $(seq 1 $((rounds * 2))); do
  out=$work/sets-$round
  cp -r "$work/sets-earlier" "$out"
  delay_ms=$(( RANDOM % (run_ms + 1) ))
  "$cli" "${sets[@]}" --seed 1 -o "$out" >"$out.out" 2>"$out.err" &
  pid=$!
  sleep "$(printf '%d.%03d' $((delay_ms / 1000)) $((delay_ms % 1000)))"
  kill -INT "$pid" 2>/dev/null || true
  sleep 0.01
  kill -INT "$pid" 2>/dev/null || true
  status=0
  wait "$pid" || status=$?
  [ "$status" -eq 130 ] || [ "$status" -eq 0 ] || fail "sets round $round: status $status"
  new=0 old=0
  for data in "$work/sets-reference"/*.sigmf-data; do
    stem=$(basename "$data" .sigmf-data)
    from=""
    for part in "$stem.sigmf-data" "$stem.sigmf-meta" "$stem.symbols.npy"; do
      [ -e "$work/sets-reference/$part" ] || continue
      if [ ! -e "$out/$part" ]; then this=missing
      elif cmp -s "$out/$part" "$work/sets-reference/$part"; then this=new
      elif cmp -s "$out/$part" "$work/sets-earlier/$part"; then this=earlier
      else this=neither; fi
      [ -z "$from" ] && from=$this
      [ "$this" = "$from" ] && [ "$this" != neither ] && [ "$this" != missing ] ||
        fail "sets round $round (interrupted after $delay_ms ms): $part is $this, its set's data $from"
    done
    [ "$from" = new ] && new=$((new + 1))
    [ "$from" = earlier ] && old=$((old + 1))
    if grep -qx "  Metadata saved to $out/$stem.sigmf-meta" "$out.out" && [ "$from" != new ]; then
      fail "sets round $round: $stem reported saved, but the earlier set stands"
    fi
  done
  [ "$(temporaries "$out")" -eq 0 ] || fail "sets round $round: a temporary was left"
  echo "round $round: interrupted twice after $delay_ms ms: status $status, $new new sets, $old earlier"
done

# --- 2. large batch under AddressSanitizer ---------------------------------------------------
echo "=== AddressSanitizer: all 22 names, 20 files each, 3 jobs"
if ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1 \
   "$asan_cli" -m all --files-per-modulation 20 --num-symbols 2000 --save-settings -j 3 --seed 1 \
   -o "$work/asan" >"$work/asan.out" 2>"$work/asan.err"; then
  count=$(find "$work/asan" -type f | wc -l)
  [ "$count" -eq 880 ] || fail "ASan batch wrote $count files, not 880"
  echo "ASan: 440 sample and 440 settings files, no error, no leak"
else
  fail "ASan batch: see $work/asan.err"; tail -20 "$work/asan.err" >&2
fi

# --- 3. valgrind memcheck --------------------------------------------------------------------
echo "=== valgrind memcheck: all 22 names, 3 files each, 2 jobs"
if command -v valgrind >/dev/null; then
  if valgrind --quiet --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect \
       "$dynamic_cli" -m all --files-per-modulation 3 --num-symbols 300 --save-settings -j 2 --seed 2 \
       -o "$work/valgrind" >"$work/valgrind.out" 2>"$work/valgrind.err"; then
    echo "valgrind: $(find "$work/valgrind" -type f | wc -l) files, no error, no leak"
  else
    fail "valgrind: see $work/valgrind.err"; tail -30 "$work/valgrind.err" >&2
  fi
else
  fail "valgrind is not installed (bash scripts/install-deps.sh valgrind)"
fi

# --- 4. peak memory against the number of files ----------------------------------------------
echo "=== peak resident memory, 22 names, 4 jobs"
read -r small small_status < <(peak_kib "$cli" -m all --files-per-modulation 2 --num-symbols 5000 -j 4 --seed 3 -o "$work/rss-small")
read -r large large_status < <(peak_kib "$cli" -m all --files-per-modulation 40 --num-symbols 5000 -j 4 --seed 3 -o "$work/rss-large")
echo "44 files: ${small} KiB, 880 files: ${large} KiB"
[ "$small_status" -eq 0 ] && [ "$large_status" -eq 0 ] || fail "the memory runs did not succeed"
# Twenty times the files may cost some allocator slack, never memory per file.
[ "$large" -le $((small * 5 / 4 + 8192)) ] || fail "peak memory grew with the number of files: $small -> $large KiB"

# --- 5. the HDF5 container ----------------------------------------------------------------
echo "=== HDF5 container"
container=(-m QPSK,AM,GMSK,QAM64 --signal-model exact --sample-rate 100000 --samples-per-file 16384 --format hdf5 -q
  -j 1 --fading rayleigh --doppler-max 20 --clock-ppm-min -20 --clock-ppm-max 20)
# The rows of a container, or "unreadable".
rows() {
  /usr/bin/python3 -c 'import h5py, sys
try:
    print(len(h5py.File(sys.argv[1], "r")["class_index"]))
except Exception:
    print("unreadable")' "$1"
}
# Two runs into one folder: each writes a temporary of its own, and both put a whole container in place.
"$cli" "${container[@]}" --files-per-modulation 300 --seed 7 -o "$work/h5-two" &
first=$!
sleep 1
"$cli" "${container[@]}" --files-per-modulation 2 --seed 8 -o "$work/h5-two" || fail "HDF5: the second of two runs failed"
wait "$first" || fail "HDF5: the first of two runs failed"
case $(rows "$work/h5-two/dataset.h5") in
  1200 | 8) ;;  # the container of whichever run finished last
  *) fail "HDF5: two runs left a container of $(rows "$work/h5-two/dataset.h5") rows" ;;
esac
echo "two runs into one folder: both status 0, $(rows "$work/h5-two/dataset.h5") rows"
# A link planted where a temporary used to be named is never written through.
mkdir -p "$work/h5-link"
echo victim >"$work/victim"
ln -s "$(pwd)/$work/victim" "$work/h5-link/dataset.h5.partial"
"$cli" "${container[@]}" --files-per-modulation 1 --seed 1 -o "$work/h5-link" || fail "HDF5: the run beside a link failed"
[ "$(cat "$work/victim")" = victim ] || fail "HDF5: the file behind a planted link was overwritten"
[ -f "$work/h5-link/dataset.h5" ] && [ ! -L "$work/h5-link/dataset.h5" ] || fail "HDF5: dataset.h5 is not a file of its own"
echo "a planted link: not followed"
# Signals over an earlier container: the run is stopped, its container abandoned, the earlier one kept.
"$cli" "${container[@]}" --files-per-modulation 3 --seed 1 -o "$work/h5-earlier"
for signal in INT TERM HUP INT-INT; do
  out=$work/h5-$signal
  cp -r "$work/h5-earlier" "$out"
  "$cli" "${container[@]}" --files-per-modulation 2000 --seed 2 --no-progress -o "$out" >"$out.out" 2>&1 &
  pid=$!
  sleep 2
  kill "-${signal%%-*}" "$pid"
  if [ "$signal" = INT-INT ]; then sleep 0.2; kill -INT "$pid" 2>/dev/null || true; fi
  status=0
  wait "$pid" || status=$?
  case $signal in INT | INT-INT) expected=130 ;; TERM) expected=143 ;; HUP) expected=129 ;; esac
  [ "$status" -eq "$expected" ] || fail "HDF5 SIG$signal: status $status, not $expected"
  ! grep -q "Dataset saved" "$out.out" || fail "HDF5 SIG$signal: 'Dataset saved' after an interrupt"
  cmp -s "$out/dataset.h5" "$work/h5-earlier/dataset.h5" || fail "HDF5 SIG$signal: the earlier container was replaced"
  [ "$(temporaries "$out")" -eq 0 ] || fail "HDF5 SIG$signal: a temporary was left"
  echo "SIG$signal: status $status, earlier container kept"
done
# A full disk: a 2 MiB tmpfs where this may mount one, else a file-size limit.
mkdir -p "$work/h5-full"
if mount -t tmpfs -o size=2m tmpfs "$work/h5-full" 2>/dev/null; then
  limit="2 MiB tmpfs"
  "$cli" "${container[@]}" --files-per-modulation 1 --seed 1 -o "$work/h5-full"
  cp "$work/h5-full/dataset.h5" "$work/h5-full-earlier.h5"
  status=0
  "$cli" "${container[@]}" --files-per-modulation 40 --seed 1 -o "$work/h5-full" 2>"$work/h5-full.err" || status=$?
else
  limit="1 MiB file-size limit"
  "$cli" "${container[@]}" --files-per-modulation 1 --seed 1 -o "$work/h5-full"
  cp "$work/h5-full/dataset.h5" "$work/h5-full-earlier.h5"
  status=0
  (ulimit -f 1024; "$cli" "${container[@]}" --files-per-modulation 40 --seed 1 -o "$work/h5-full") 2>"$work/h5-full.err" ||
    status=$?
fi
[ "$status" -eq 1 ] || fail "HDF5 full disk ($limit): status $status, not 1"
grep -q "dataset.h5: " "$work/h5-full.err" || fail "HDF5 full disk: no message naming the container"
cmp -s "$work/h5-full/dataset.h5" "$work/h5-full-earlier.h5" || fail "HDF5 full disk: the earlier container was replaced"
[ "$(temporaries "$work/h5-full")" -eq 0 ] || fail "HDF5 full disk: a temporary was left"
echo "full disk ($limit): status $status, $(cat "$work/h5-full.err")"
mountpoint -q "$work/h5-full" && umount "$work/h5-full"

if [ "$failures" -ne 0 ]; then
  echo "reliability.sh: $failures check(s) failed" >&2
  exit 1
fi
echo "reliability.sh: all checks passed"
