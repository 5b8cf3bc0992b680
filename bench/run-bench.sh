#!/usr/bin/env bash
# The benchmark table: each figure of the library (through xbagent or a bench
# program) against a baseline measured in the same run, over several runs.
#
#   bench/run-bench.sh BUILD_DIR [--quick] [--runs N] [--perf] [--only N[,N...]]
#
# BUILD_DIR is a Release build (./run bench makes build-release). --quick
# uses smaller data (about a quarter) and fewer runs. --perf adds a second
# table from `perf stat`: CPU time, context switches and page faults of every
# command of figures 1, 2, 3, 7, 9 and 10, summed over the command and its
# children, which shows where a ratio's extra time goes. --only runs the
# figures named (e.g. --only 9,10) and creates only the data they need.
# Timings come from hyperfine, run in interleaved rounds (every run is kept
# in BUILD_DIR/bench-results), peak RSS from /usr/bin/time -f %M. The data lives on a throwaway server in
# /tmp/xbsb-bench, stopped and removed on exit; scratch files go to a
# temporary directory removed on exit.
#
# Each row: library median (min-max) | baseline median (min-max) | ratio of
# the medians (library / baseline) | target | PASS or MISS.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

usage() {
  echo "usage: bench/run-bench.sh BUILD_DIR [--quick] [--runs N] [--perf] [--only N[,N...]]" >&2
  exit 2
}

(($# >= 1)) || usage
BUILD=$(cd "$1" && pwd) || usage
shift
QUICK=0
PERF=0
RUNS=""
ONLY=""
while (($#)); do
  case "$1" in
    --quick) QUICK=1; shift ;;
    --perf) PERF=1; shift ;;
    --runs) (($# >= 2)) || usage; RUNS=$2; shift 2 ;;
    --only) (($# >= 2)) || usage; ONLY=$2; shift 2 ;;
    *) usage ;;
  esac
done

BIN=$BUILD/bin
for program in xbagent bench_relay bench_spawn bench_applyback bench_schema bench_extract \
               bench_verify_extract; do
  [[ -x "$BIN/$program" ]] || { echo "run-bench: $BIN/$program is missing (build first)" >&2; exit 1; }
done
for program in hyperfine zstd mariadb mariadb-dump mariabackup mbstream; do
  command -v "$program" >/dev/null || { echo "run-bench: $program is not on PATH" >&2; exit 1; }
done
[[ -x /usr/bin/time ]] || { echo "run-bench: /usr/bin/time is missing (package time)" >&2; exit 1; }
if ((PERF)); then
  command -v perf >/dev/null || { echo "run-bench: perf is not on PATH (--perf)" >&2; exit 1; }
fi

# Sizes. Rows of the data table hold about 1.1 KB on disk.
if ((QUICK)); then
  BIG_ROWS=425000          # ~0.5 GB
  SMALL_ROWS=110000        # ~0.12 GB
  RELAY_BYTES=1G
  APPLY_TABLES=500
  SPAWN_GIB=2
  SCHEMA_BYTES=200000000
  WARM_MIB=1024
  : "${RUNS:=3}"
else
  BIG_ROWS=1700000         # ~2 GB
  SMALL_ROWS=425000        # ~0.5 GB
  RELAY_BYTES=4G
  APPLY_TABLES=2000
  SPAWN_GIB=8
  SCHEMA_BYTES=200000000
  WARM_MIB=4096
  : "${RUNS:=5}"
fi
SPAWN_RUNS=200
DUMP_LINE_BYTES=1016       # one row of the data table in mariadb-dump's output

SANDBOX=/tmp/xbsb-bench
CNF=$SANDBOX/my.cnf
TOOLS=$SANDBOX/tools
WORK=$(mktemp -d "${TMPDIR:-/tmp}/xbbench.XXXXXX")
RESULTS=$BUILD/bench-results
rm -rf "$RESULTS"
mkdir -p "$RESULTS"
ROWS_FILE=$WORK/rows
PERF_FILE=$WORK/perf

cleanup() {
  "$ROOT/tests/sandbox/mariadb-sandbox.sh" stop "$SANDBOX" >/dev/null 2>&1 || true
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

log() { printf '== %s\n' "$*" >&2; }

# want N: whether figure N runs (every figure without --only).
want() { [[ -z $ONLY || ",$ONLY," == *",$1,"* ]]; }

# Lets the previous figure's writes reach the disk first: background
# writeback of gigabytes otherwise competes with the next figure for the CPU.
settle() {
  fresh_memory_probe
  sync
  sleep 1
}

# Logs how long touching 1 GiB of fresh memory takes right now. On a virtual
# machine that hands freed memory back to its host this swings (0.3 s to 2 s
# seen), and the figures that fill gigabytes of page cache swing with it.
fresh_memory_probe() {
  local start=$EPOCHREALTIME
  dd if=/dev/zero of=/dev/null bs=1024M count=1 iflag=fullblock 2>/dev/null
  log "   1 GiB of fresh memory touched in $(awk -v a="$start" -v b="$EPOCHREALTIME" \
        'BEGIN { printf "%.2f", b - a }') s"
}
q() { printf '%q' "$1"; }

# ---------------------------------------------------------------- statistics

# stats VALUES... -> "median min max"
stats() {
  printf '%s\n' "$@" | sort -g | awk '
    { v[NR] = $1 }
    END {
      if (NR == 0) { print "nan nan nan"; exit }
      m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
      printf "%.6g %.6g %.6g\n", m, v[1], v[NR]
    }'
}

# hf NAME --runs N [--warmup W] [other hyperfine options] -n NAME COMMAND...:
# times the commands in interleaved rounds, one run of each command per
# round (hyperfine --runs 1), so a machine that speeds up or slows down
# during the figure weighs on every command alike. Each round starts with the
# next command in turn, so that none always runs first or always follows the
# same other (with a fixed order, the first of two identical backups took 2%
# longer over 20 rounds). N is rounded up to a multiple of the number of
# commands, so each command starts as many rounds as the others (with 7
# rounds of two, the first named started 4; in a full run where every other
# round was slow, that put its median on a slow run). Warmup rounds come
# first and are not kept. Every
# kept run goes to RESULTS/NAME.times as "COMMAND_NAME<tab>seconds", and each
# round's CSV export is appended to RESULTS/NAME.csv. Returns nonzero (and
# shows hyperfine's output) when a command failed.
# --warm, for commands that write gigabytes into the page cache, touches
# WARM_MIB of memory after the --prepare command, just before each run. On a
# virtual machine that hands freed memory back to its host (free page
# reporting), the first write into such memory costs the host a fault per
# page: here a 2 GB extraction took 0.75 s or 1.9 s from run to run,
# depending on how long its memory had been free. After the warm step every
# command starts on memory the host has backed, whatever ran before it.
hf() {
  local name=$1
  shift
  local runs=1 warmup=0 args=() names=() cmds=() prepare="" warm=0
  while (($#)); do
    case "$1" in
      --runs) runs=$2; shift 2 ;;
      --warmup) warmup=$2; shift 2 ;;
      --prepare) prepare=$2; shift 2 ;;
      --warm) warm=1; shift ;;
      -n) names+=("$2"); cmds+=("$3"); shift 3 ;;
      *) args+=("$1"); shift ;;
    esac
  done
  if ((warm)); then
    prepare="${prepare:+$prepare && }dd if=/dev/zero of=/dev/null bs=${WARM_MIB}M count=1 iflag=fullblock 2>/dev/null"
  fi
  [[ -z $prepare ]] || args+=(--prepare "$prepare")
  # As many rounds as make every command start the same number of them.
  local count=${#cmds[@]}
  runs=$(((runs + count - 1) / count * count))
  : >"$RESULTS/$name.times"
  : >"$RESULTS/$name.csv"
  local round i k ordered
  for ((round = -warmup; round < runs; round++)); do
    ordered=()
    for ((i = 0; i < count; i++)); do
      k=$(((round + i + count * warmup) % count))
      ordered+=(-n "${names[k]}" "${cmds[k]}")
    done
    if ! hyperfine --style basic --runs 1 --export-csv "$WORK/round.csv" "${args[@]}" \
          "${ordered[@]}" >"$RESULTS/$name.log" 2>&1; then
      echo "run-bench: $name failed:" >&2
      tail -n 15 "$RESULTS/$name.log" >&2
      return 1
    fi
    ((round >= 0)) || continue
    # CSV columns: command,mean,stddev,median,user,system,min,max
    awk -F, 'NR > 1 { print $1 "\t" $2 }' "$WORK/round.csv" >>"$RESULTS/$name.times"
    cat "$WORK/round.csv" >>"$RESULTS/$name.csv"
  done
}

# hf_stats NAME COMMAND_NAME -> "median min max" in seconds over the kept runs.
hf_stats() {
  local values
  values=$(awk -F'\t' -v want="$2" '$1 == want { print $2 }' "$RESULTS/$1.times")
  if [[ -z $values ]]; then
    echo "nan nan nan"
    return 0
  fi
  # shellcheck disable=SC2086
  stats $values
}

# perf_stat LABEL COMMAND: with --perf, one run of COMMAND (a shell command
# line) under perf stat; appends LABEL, seconds, CPU seconds, context switches
# and page faults, tab-separated (labels hold "|").
perf_stat() {
  ((PERF)) || return 0
  local label=$1 cmd=$2 out=$WORK/perf.out
  local start end
  start=$(date +%s.%N)
  if ! perf stat -x, -e task-clock,context-switches,page-faults -o "$out" sh -c "$cmd" \
       >/dev/null 2>&1; then
    printf '%s\tfailed\n' "$label" >>"$PERF_FILE"
    return 0
  fi
  end=$(date +%s.%N)
  awk -F, -v label="$label" -v wall="$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')" '
    $3 == "task-clock" { cpu = $1 / 1000 }
    $3 == "context-switches" { cs = $1 }
    $3 == "page-faults" { pf = $1 }
    END { printf "%s\t%.3f\t%.3f\t%s\t%s\n", label, wall, cpu, cs, pf }' "$out" >>"$PERF_FILE"
}

print_perf_table() {
  [[ -s $PERF_FILE ]] || return 0
  echo
  echo "perf stat, one run each (the command and all its children):"
  awk -F'\t' '
    BEGIN { printf "%-52s %8s %8s %10s %10s\n", "command", "wall s", "CPU s", "switches", "faults" }
    $2 == "failed" { printf "%-52s failed\n", $1; next }
    { printf "%-52s %8.3f %8.3f %10s %10s\n", $1, $2, $3, $4, $5 }' "$PERF_FILE"
}

# row LABEL UNIT "LIB_MED LIB_MIN LIB_MAX" "BASE_MED BASE_MIN BASE_MAX" OP TARGET
# OP is le (ratio <= TARGET passes), ge, or info (a cost shown, no target).
# Values given in seconds are shown in the unit: s, ms (already ms), MiB
# (given in KiB) or MB (bytes).
row() {
  printf '%s|%s|%s|%s|%s|%s\n' "$1" "$2" "$3" "$4" "$5" "$6" >>"$ROWS_FILE"
}

# A row whose measurement failed.
row_failed() {
  printf '%s|FAILED||||\n' "$1" >>"$ROWS_FILE"
}

print_table() {
  awk -F'|' '
    function fmt(v, unit) {
      if (v == "nan" || v == "") return "-"
      if (unit == "s") return sprintf("%.3f", v)
      if (unit == "ms") return sprintf("%.3f", v)
      if (unit == "MiB") return sprintf("%.1f", v / 1024)
      if (unit == "MB") return sprintf("%.1f", v / 1e6)
      return v
    }
    function cell(triple, unit,   p) {
      split(triple, p, " ")
      if (p[1] == "" || p[1] == "nan") return "-"
      return sprintf("%s (%s-%s)", fmt(p[1], unit), fmt(p[2], unit), fmt(p[3], unit))
    }
    BEGIN {
      printf "%-44s %-5s %-27s %-27s %-7s %-8s %s\n", "figure", "unit",
             "library median (min-max)", "baseline median (min-max)", "ratio", "target", "result"
      line = ""; for (i = 0; i < 133; i++) line = line "-"; print line
    }
    $2 == "FAILED" { printf "%-44s %s\n", $1, "FAILED (see the log above)"; next }
    {
      split($3, l, " "); split($4, b, " ")
      ratio = (b[1] > 0) ? l[1] / b[1] : 0
      if ($5 == "info") { target = "-"; result = "(shown)" }
      else {
        target = (($5 == "le") ? "<= " : ">= ") $6
        result = (($5 == "le") ? (ratio <= $6) : (ratio >= $6)) ? "PASS" : "MISS"
      }
      printf "%-44s %-5s %-27s %-27s %-7.3f %-8s %s\n", $1, $2, cell($3, $2), cell($4, $2),
             ratio, target, result
    }' "$ROWS_FILE"
}

# ---------------------------------------------------------------- data

log "starting a throwaway server in $SANDBOX"
XB_SANDBOX_BUFFER_POOL=${XB_SANDBOX_BUFFER_POOL:-1G} \
XB_SANDBOX_LOG_FILE_SIZE=${XB_SANDBOX_LOG_FILE_SIZE:-512M} \
  "$ROOT/tests/sandbox/mariadb-sandbox.sh" start "$SANDBOX" >&2

sql() { mariadb --defaults-file="$CNF" "$@"; }

sql -e "SET GLOBAL innodb_io_capacity=20000; SET GLOBAL innodb_io_capacity_max=40000;"

# Waits (at most a minute) until the page cleaner has caught up, so what is
# measured next works on a settled server rather than racing a flush.
settle_server() {
  for _ in $(seq 1 120); do
    dirty=$(sql -N -e "SHOW GLOBAL STATUS LIKE 'Innodb_buffer_pool_pages_dirty'" | awk '{print $2}')
    ((dirty < 500)) && return 0
    sleep 0.5
  done
}

# The data of figures 1, 2, 4, 7 and 9 (the others make their own).
if want 1 || want 2 || want 4 || want 7 || want 9; then
  log "creating bench_big ($BIG_ROWS rows) and bench_small ($SMALL_ROWS rows)"
  SECONDS=0
  for spec in "bench_big $BIG_ROWS" "bench_small $SMALL_ROWS"; do
    set -- $spec
    sql -e "CREATE DATABASE $1;
            CREATE TABLE $1.t (id INT PRIMARY KEY, pad VARCHAR(1000) NOT NULL) ENGINE=InnoDB;"
    sql -D "$1" -e "INSERT INTO t SELECT seq, REPEAT(CHAR(65 + seq % 26), 1000) FROM seq_1_to_$2;"
  done
  settle_server
  log "data ready in ${SECONDS}s: $(du -sh "$SANDBOX/data/bench_big" | cut -f1) + $(du -sh "$SANDBOX/data/bench_small" | cut -f1) (dirty pages left: $dirty)"
fi

XB="$(q "$TOOLS/xtrabackup") --defaults-file=$(q "$CNF") --backup --stream=xbstream"
AGENT_BACKUP="$(q "$BIN/xbagent") -q backup --defaults-file $(q "$CNF") --tool-dir $(q "$TOOLS")"
# A stream on standard output is written with its manifest and schema, as
# restore --from - needs them.
STREAM_FILES="--manifest $(q "$WORK/stream.manifest.json") --schema $(q "$WORK/stream.schema.sql")"
AGENT="$AGENT_BACKUP --output - $STREAM_FILES"

# ---------------------------------------------------------------- 1. backup stream
if want 1; then

settle
log "1. backup stream of bench_big ($RUNS runs each)"
if hf backup --runs "$RUNS" --warmup 1 \
     -n library "$AGENT --database bench_big >/dev/null 2>/dev/null" \
     -n tool-devnull "$XB --databases bench_big >/dev/null 2>/dev/null" \
     -n tool-pipe "$XB --databases bench_big 2>/dev/null | cat >/dev/null" \
     -n library-pipe "$AGENT --database bench_big 2>/dev/null | cat >/dev/null"; then
  row "1a backup stream vs tool > /dev/null" s "$(hf_stats backup library)" \
      "$(hf_stats backup tool-devnull)" le 1.02
  row "1b backup stream vs tool piped to cat" s "$(hf_stats backup library)" \
      "$(hf_stats backup tool-pipe)" le 1.02
  row "1c --output - into cat vs tool into cat" s "$(hf_stats backup library-pipe)" \
      "$(hf_stats backup tool-pipe)" le 1.00
else
  row_failed "1 backup stream"
fi
# A backup to a directory (hashed, judged, with its manifest and the schema
# dumped around it, the stream file synced) against the tool writing the
# same stream to a file, without and with the file's sync.
BACKUP_DIR=$WORK/backup-dir
TOOL_FILE=$WORK/tool.xb
settle
log "1. backup of bench_big to a directory ($RUNS runs each)"
if hf backup-dir --runs "$RUNS" --warmup 1 --warm \
     --prepare "rm -rf $(q "$BACKUP_DIR") $(q "$TOOL_FILE"); sync" \
     -n library "$AGENT_BACKUP --database bench_big --output-dir $(q "$BACKUP_DIR") 2>/dev/null" \
     -n tool-file "$XB --databases bench_big >$(q "$TOOL_FILE") 2>/dev/null" \
     -n tool-file-sync "$XB --databases bench_big >$(q "$TOOL_FILE") 2>/dev/null && sync $(q "$TOOL_FILE")"; then
  row "1d backup to a directory vs tool > file" s "$(hf_stats backup-dir library)" \
      "$(hf_stats backup-dir tool-file)" le 1.03
  row "1e backup to a directory vs tool > file, sync" s "$(hf_stats backup-dir library)" \
      "$(hf_stats backup-dir tool-file-sync)" le 1.03
else
  row_failed "1d backup to a directory"
fi
# The same pair with both outputs in memory (a tmpfs), where no disk is
# shared between the tool's reads and the stream's writeback: what the host
# itself costs the backup (hashing, scanning, the schema dumps, the manifest).
RAM_DIR=/dev/shm
if [[ "$(stat -f -c %T "$RAM_DIR" 2>/dev/null)" == tmpfs ]] &&
   (($(df -k --output=avail "$RAM_DIR" | tail -n 1) > 4 * $(du -sk "$SANDBOX/data/bench_big" | cut -f1))); then
  RAM_BACKUP_DIR=$(mktemp -u "$RAM_DIR/xbbench-dir.XXXXXX")
  RAM_TOOL_FILE=$(mktemp -u "$RAM_DIR/xbbench-tool.XXXXXX")
  settle
  log "1. backup of bench_big to a directory in memory ($RUNS runs each)"
  if hf backup-ram --runs "$RUNS" --warmup 1 --warm \
       --prepare "rm -rf $(q "$RAM_BACKUP_DIR") $(q "$RAM_TOOL_FILE")" \
       -n library "$AGENT_BACKUP --database bench_big --output-dir $(q "$RAM_BACKUP_DIR") 2>/dev/null" \
       -n tool-file "$XB --databases bench_big >$(q "$RAM_TOOL_FILE") 2>/dev/null"; then
    row "1f the same in memory (tmpfs) vs tool > file" s "$(hf_stats backup-ram library)" \
        "$(hf_stats backup-ram tool-file)" le 1.03
  else
    row_failed "1f backup to a directory in memory"
  fi
  rm -rf "$RAM_BACKUP_DIR" "$RAM_TOOL_FILE"
fi
perf_stat "1  library (xbagent backup --output-dir)" \
  "rm -rf $(q "$BACKUP_DIR") && $AGENT_BACKUP --database bench_big --output-dir $(q "$BACKUP_DIR") 2>/dev/null"
perf_stat "1  tool > file" "$XB --databases bench_big >$(q "$TOOL_FILE") 2>/dev/null"
perf_stat "1  library (--output - | cat > /dev/null)" "$AGENT --database bench_big 2>/dev/null | cat >/dev/null"
rm -rf "$BACKUP_DIR" "$TOOL_FILE"
perf_stat "1  library (xbagent backup --output -)" "$AGENT --database bench_big >/dev/null 2>/dev/null"
perf_stat "1  tool > /dev/null" "$XB --databases bench_big >/dev/null 2>/dev/null"
perf_stat "1  tool | cat > /dev/null" "$XB --databases bench_big 2>/dev/null | cat >/dev/null"
fi  # figure 1

# ---------------------------------------------------------------- 2. extraction
if want 2; then

settle
log "2. extraction fed by the host ($RUNS runs each)"
STREAM=$WORK/stream.xb
eval "$XB --databases bench_big" >"$STREAM" 2>"$WORK/stream.err"
log "   stream file: $(du -h "$STREAM" | cut -f1)"
EXTRACT=$WORK/extract
if hf extract --runs "$RUNS" --warmup 1 --warm \
     --prepare "rm -rf $(q "$EXTRACT") && mkdir $(q "$EXTRACT")" \
     -n library "$(q "$BIN/bench_extract") $(q "$TOOLS") $(q "$EXTRACT") $(q "$STREAM") >/dev/null" \
     -n library-file "$(q "$BIN/bench_extract") $(q "$TOOLS") $(q "$EXTRACT") $(q "$STREAM") file >/dev/null" \
     -n xbstream "$(q "$TOOLS/xbstream") -x -C $(q "$EXTRACT") < $(q "$STREAM")" \
     -n xbstream-pipe "cat $(q "$STREAM") | $(q "$TOOLS/xbstream") -x -C $(q "$EXTRACT")" &&
   [[ -f "$EXTRACT/xtrabackup_checkpoints" ]]; then
  # A host with the stream in a file gives it to the extractor as its
  # standard input (2a); one that receives it feeds it through a pipe (2b).
  row "2a extraction of a file vs xbstream < file" s "$(hf_stats extract library-file)" \
      "$(hf_stats extract xbstream)" le 1.02
  row "2b extraction fed vs cat file, piped" s "$(hf_stats extract library)" \
      "$(hf_stats extract xbstream-pipe)" le 1.02
else
  row_failed "2  extraction fed from a file"
fi
# A restore's first step: the stream verified against its SHA-256 while it
# is extracted, as xbagent restore does it.
STREAM_SHA=$(sha256sum "$STREAM" | cut -d' ' -f1)
settle
log "2. verification with extraction ($RUNS runs each)"
if hf verify-extract --runs "$RUNS" --warmup 1 --warm \
     --prepare "rm -rf $(q "$EXTRACT") && mkdir $(q "$EXTRACT")" \
     -n library "$(q "$BIN/bench_verify_extract") $(q "$TOOLS") $(q "$EXTRACT") $(q "$STREAM") $STREAM_SHA >/dev/null" \
     -n xbstream "$(q "$TOOLS/xbstream") -x -C $(q "$EXTRACT") < $(q "$STREAM")" \
     -n by-hand "$(q "$TOOLS/xbstream") -x -C $(q "$EXTRACT") < $(q "$STREAM") & openssl dgst -sha256 $(q "$STREAM") >/dev/null; wait" \
     -n sha256 "openssl dgst -sha256 $(q "$STREAM") >/dev/null" &&
   [[ -f "$EXTRACT/xtrabackup_checkpoints" ]]; then
  row "2c verification+extraction vs xbstream < file" s "$(hf_stats verify-extract library)" \
      "$(hf_stats verify-extract xbstream)" le 1.05
  # The same two jobs by hand, side by side on their own cores: the SHA-256
  # of the whole file alone takes longer than the extraction (2c's floor).
  row "2d verification+extraction vs both by hand" s "$(hf_stats verify-extract library)" \
      "$(hf_stats verify-extract by-hand)" le 1.05
  # 2c's floor shown: the hash of the file alone against the extraction.
  row "2e SHA-256 of the file alone vs xbstream" s "$(hf_stats verify-extract sha256)" \
      "$(hf_stats verify-extract xbstream)" info -
else
  row_failed "2c verification with extraction"
fi
fresh_extract="rm -rf $(q "$EXTRACT") && mkdir $(q "$EXTRACT")"
perf_stat "2  library (bench_extract file)" \
  "$fresh_extract && $(q "$BIN/bench_extract") $(q "$TOOLS") $(q "$EXTRACT") $(q "$STREAM") file"
perf_stat "2  xbstream -x < file" "$fresh_extract && $(q "$TOOLS/xbstream") -x -C $(q "$EXTRACT") < $(q "$STREAM")"
perf_stat "2  cat file | xbstream -x" \
  "$fresh_extract && cat $(q "$STREAM") | $(q "$TOOLS/xbstream") -x -C $(q "$EXTRACT")"
perf_stat "2  library (bench_verify_extract)" \
  "$fresh_extract && $(q "$BIN/bench_verify_extract") $(q "$TOOLS") $(q "$EXTRACT") $(q "$STREAM") $STREAM_SHA"
rm -rf "$STREAM" "$EXTRACT"
fi  # figure 2

# ---------------------------------------------------------------- 3. relay
if want 3; then

# A run takes about a second and the machine is noisy: more runs than the rest.
RELAY_RUNS=$((RUNS < 10 ? 10 : RUNS))
settle
log "3. relay of $RELAY_BYTES through ReadBuf ($RELAY_RUNS runs each)"
if hf relay --runs "$RELAY_RUNS" --warmup 1 \
     -n library "$(q "$BIN/bench_relay") 'head -c $RELAY_BYTES /dev/zero' >/dev/null" \
     -n pipe-cat "sh -c 'head -c $RELAY_BYTES /dev/zero | cat > /dev/null'"; then
  row "3  relay $RELAY_BYTES, time (1/throughput)" s "$(hf_stats relay library)" \
      "$(hf_stats relay pipe-cat)" le 1.00
else
  row_failed "3  relay"
fi
perf_stat "3  library (bench_relay)" "$(q "$BIN/bench_relay") 'head -c $RELAY_BYTES /dev/zero'"
perf_stat "3  head | cat > /dev/null" "head -c $RELAY_BYTES /dev/zero | cat > /dev/null"
fi  # figure 3

# ---------------------------------------------------------------- 4. host RSS

# peak_rss NAME COMMAND...: peak RSS in KiB of one run, appended to RESULTS/NAME.rss
peak_rss() {
  local name=$1
  shift
  /usr/bin/time -f %M -o "$WORK/time.out" "$@" >/dev/null 2>"$WORK/rss.err" || {
    tail -n 5 "$WORK/rss.err" >&2
    return 1
  }
  tail -n 1 "$WORK/time.out" | tee -a "$RESULTS/$name.rss"
}

# host_rss NAME COMMAND...: the host's own peak RSS in KiB, as xbagent -v
# reports it for itself (getrusage) at its end. /usr/bin/time cannot tell it:
# its figure is the largest of the process and its waited-for descendants,
# which here is the backup tool itself.
host_rss() {
  local name=$1
  shift
  "$@" >/dev/null 2>"$WORK/rss.err" || {
    tail -n 5 "$WORK/rss.err" >&2
    return 1
  }
  sed -n 's/.*peak RSS \([0-9][0-9]*\) KiB.*/\1/p' "$WORK/rss.err" | tail -n 1 |
    tee -a "$RESULTS/$name.rss"
}

if want 4; then
settle
log "4. host peak RSS while streaming ($RUNS runs each)"
small_rss=()
big_rss=()
rss_ok=1
for _ in $(seq 1 "$RUNS"); do
  for db in small big; do
    value=$(host_rss "rss-$db" "$BIN/xbagent" -v backup --defaults-file "$CNF" --tool-dir "$TOOLS" \
              --database "bench_$db" --output - --manifest "$WORK/stream.manifest.json" \
              --schema "$WORK/stream.schema.sql") || { rss_ok=0; break 2; }
    [[ -n $value ]] || { rss_ok=0; break 2; }
    if [[ $db == small ]]; then small_rss+=("$value"); else big_rss+=("$value"); fi
  done
done
if ((rss_ok)); then
  limit=$((16 * 1024))
  small_size=$(du -sh "$SANDBOX/data/bench_small" | cut -f1)
  big_size=$(du -sh "$SANDBOX/data/bench_big" | cut -f1)
  row "4a peak RSS, $small_size database vs 16 MiB" MiB "$(stats "${small_rss[@]}")" \
      "$limit $limit $limit" le 1.00
  row "4b peak RSS, $big_size database vs 16 MiB" MiB "$(stats "${big_rss[@]}")" \
      "$limit $limit $limit" le 1.00
  row "4c flat: peak RSS $big_size vs $small_size" MiB "$(stats "${big_rss[@]}")" \
      "$(stats "${small_rss[@]}")" le 1.05
else
  row_failed "4  peak RSS"
fi
fi  # figure 4

# ---------------------------------------------------------------- 5. applyBack
if want 5; then

settle
log "5. applyBack of $APPLY_TABLES tables (3 runs each)"
STAGING=$WORK/staging
DATADIR=$WORK/datadir
mkdir -p "$STAGING/bench_apply" "$DATADIR/bench_apply" "$DATADIR/mysql"
ibd_bytes=$(printf '%*s' 8192 '')
cfg_bytes=$(printf '%*s' 1024 '')
: >"$WORK/copy.sh"
for ((i = 0; i < APPLY_TABLES; i++)); do
  stem=$(printf 't%04d' "$i")
  printf '%s' "$ibd_bytes" >"$STAGING/bench_apply/$stem.ibd"
  printf '%s' "$cfg_bytes" >"$STAGING/bench_apply/$stem.cfg"
  for ext in ibd cfg; do
    printf "sh -c 'cp %s/%s.%s \"%s/\"'\n" "$STAGING/bench_apply" "$stem" "$ext" \
      "$DATADIR/bench_apply" >>"$WORK/copy.sh"
  done
done
if hf applyback --runs 3 \
     --prepare "rm -rf $(q "$DATADIR/bench_apply") && mkdir $(q "$DATADIR/bench_apply")" \
     -n library "$(q "$BIN/bench_applyback") $(q "$STAGING") $(q "$DATADIR") bench_apply $APPLY_TABLES" \
     -n shell-cp "sh $(q "$WORK/copy.sh")" &&
   [[ $(find "$DATADIR/bench_apply" -type f | wc -l) -eq $((2 * APPLY_TABLES)) ]]; then
  row "5  applyBack, $APPLY_TABLES tables" s "$(hf_stats applyback library)" \
      "$(hf_stats applyback shell-cp)" le 1.10
else
  row_failed "5  applyBack"
fi
rm -rf "$STAGING" "$DATADIR"
fi  # figure 5

# ---------------------------------------------------------------- 6. spawn
if want 6; then

settle
log "6. start cost with $SPAWN_GIB GiB of touched memory vs none (3 runs each, $SPAWN_RUNS starts)"
sys_big=(); sys_small=(); child_big=(); child_small=()
spawn_ok=1
for _ in 1 2 3; do
  for gib in 0 "$SPAWN_GIB"; do
    out=$("$BIN/bench_spawn" "$gib" "$SPAWN_RUNS") || { spawn_ok=0; break 2; }
    echo "$out" >>"$RESULTS/spawn.txt"
    s=$(sed -n 's/.*system_ms=\([0-9.]*\).*/\1/p' <<<"$out")
    c=$(sed -n 's/.*child_ms=\([0-9.]*\).*/\1/p' <<<"$out")
    if [[ $gib == 0 ]]; then sys_small+=("$s"); child_small+=("$c"); else sys_big+=("$s"); child_big+=("$c"); fi
  done
done
if ((spawn_ok)); then
  row "6a ZuProcess::system, ${SPAWN_GIB} GiB host vs small" ms "$(stats "${sys_big[@]}")" \
      "$(stats "${sys_small[@]}")" le 1.2
  row "6b MySqlChildProcess, ${SPAWN_GIB} GiB host vs small" ms "$(stats "${child_big[@]}")" \
      "$(stats "${child_small[@]}")" le 1.2
else
  row_failed "6  start cost"
fi
fi  # figure 6

# ---------------------------------------------------------------- 7. schema capture
if want 7; then

# The target: capturing a 200 MB output takes at most 1.2 times the command
# piped into cat, with a peak RSS of at most 1.5 times the output.

# schema_rss_figure LABEL COMMAND [OP [BYTES]]: peak RSS of three captures
# against the output's size (KiB in both columns); OP info shows it without a
# target. BYTES, when the caller counted the output already, saves a run.
schema_rss_figure() {
  local label=$1 cmd=$2 op=${3:-le} bytes=${4:-}
  local rss=() value outkib
  [[ -n $bytes ]] || bytes=$(sh -c "$cmd" | wc -c)
  for _ in 1 2 3; do
    value=$(peak_rss schema-rss "$BIN/bench_schema" "$cmd") || { row_failed "7  RSS $label"; return 0; }
    rss+=("$value")
  done
  outkib=$(awk -v b="$bytes" 'BEGIN { printf "%.1f", b / 1024 }')
  row "7  capture $label, peak RSS vs output" MiB "$(stats "${rss[@]}")" \
      "$outkib $outkib $outkib" "$op" 1.5
}

schema_figure() {  # schema_figure TAG LABEL COMMAND
  local tag=$1 label=$2 cmd=$3 bytes
  bytes=$(sh -c "$cmd" | wc -c)
  if ! hf "schema-$tag" --runs "$RUNS" --warmup 1 \
       -n library "$(q "$BIN/bench_schema") $(q "$cmd") >/dev/null" \
       -n devnull "$cmd >/dev/null" \
       -n pipe-cat "$cmd | cat >/dev/null" \
       -n floor "$(q "$BIN/bench_capture_floor") $(q "$cmd") $bytes >/dev/null"; then
    row_failed "7  schema capture, $label"
    return 0
  fi
  # Any capture of a child's output reads a pipe: the target is against the
  # command piped into cat; against /dev/null it is shown (the pipe's cost).
  row "7  capture $label vs piped to cat" s "$(hf_stats "schema-$tag" library)" \
      "$(hf_stats "schema-$tag" pipe-cat)" le 1.2
  row "7  capture $label vs > /dev/null" s "$(hf_stats "schema-$tag" library)" \
      "$(hf_stats "schema-$tag" devnull)" info -
  # What keeping the output costs at least: one read loop into a string
  # sized in advance. Where this floor is itself past the target, so is
  # every capture that keeps the output.
  row "7  capture $label vs into a pre-sized string" s "$(hf_stats "schema-$tag" library)" \
      "$(hf_stats "schema-$tag" floor)" info -
  row "7  pre-sized string (floor) vs piped to cat" s "$(hf_stats "schema-$tag" floor)" \
      "$(hf_stats "schema-$tag" pipe-cat)" info -
  if [[ $tag == synthetic ]]; then
    # The runner logs a line per 1023-byte chunk: what that costs a host
    # whose log level lets it through, against one that does not.
    if hf "schema-log" --runs "$RUNS" --warmup 1 \
         -n logging "$(q "$BIN/bench_schema") $(q "$cmd") 0 >/dev/null" \
         -n quiet "$(q "$BIN/bench_schema") $(q "$cmd") -1 >/dev/null"; then
      row "7  capture $label, log level 0 vs -1 (cost)" s "$(hf_stats schema-log logging)" \
          "$(hf_stats schema-log quiet)" info -
    else
      row_failed "7  capture $label, logging"
    fi
  fi
  perf_stat "7  library, $label" "$(q "$BIN/bench_schema") $(q "$cmd")"
  perf_stat "7  command > /dev/null, $label" "$cmd >/dev/null"
  perf_stat "7  command | cat > /dev/null, $label" "$cmd | cat >/dev/null"
  schema_rss_figure "$label" "$cmd" le "$bytes"
}

settle
log "7. schema capture of ~$((SCHEMA_BYTES / 1000000)) MB ($RUNS runs each)"
schema_figure synthetic "synthetic $((SCHEMA_BYTES / 1000000)) MB" \
  "head -c $SCHEMA_BYTES /dev/zero | tr '\\0' a"
# Just past a step where a string growing by itself would reallocate
# (shown: the target is about a 200 MB output).
schema_rss_figure "synthetic $((SCHEMA_BYTES * 7 / 20000000)) MB" \
  "head -c $((SCHEMA_BYTES * 7 / 20)) /dev/zero | tr '\\0' a" info
dump_rows=$((SCHEMA_BYTES / DUMP_LINE_BYTES))
schema_figure dump "mariadb-dump ~$((SCHEMA_BYTES / 1000000)) MB" \
  "mariadb-dump --defaults-file=$(q "$CNF") --where='id<=$dump_rows' bench_big t"
fi  # figure 7

# ---------------------------------------------------------------- 8. partitioned restore
if want 8; then

# A one-database restore of a table with 32 partitions against one with 256
# (20 small rows a partition): the restore's time should grow with the
# partition count, not its square. A round of both takes about 10 s here.
PART_RUNS=$RUNS
settle
log "8. one-database restore, 32 vs 256 partitions ($PART_RUNS runs each)"
part_ok=1
for parts in 32 256; do
  sql -e "CREATE DATABASE bench_p$parts;
          CREATE TABLE bench_p$parts.t (id INT PRIMARY KEY, pad VARCHAR(100) NOT NULL)
            ENGINE=InnoDB PARTITION BY HASH(id) PARTITIONS $parts;" &&
  sql -D "bench_p$parts" -e "INSERT INTO t SELECT seq, REPEAT('p', 100) FROM seq_1_to_$((parts * 20));" &&
  "$BIN/xbagent" -q backup --defaults-file "$CNF" --tool-dir "$TOOLS" --database "bench_p$parts" \
    --output-dir "$WORK/part-$parts" >/dev/null 2>"$RESULTS/partitions-backup.log" || { part_ok=0; break; }
done
part_restore() {
  printf '%s -q restore --database bench_p%s --from %s --defaults-file %s --tool-dir %s --replace' \
    "$(q "$BIN/xbagent")" "$1" "$(q "$WORK/part-$1")" "$(q "$CNF")" "$(q "$TOOLS")"
}
if ((part_ok)) &&
   hf partitions --runs "$PART_RUNS" \
     -n p256 "$(part_restore 256) >/dev/null" \
     -n p32 "$(part_restore 32) >/dev/null" &&
   [[ $(sql -N -e "SELECT COUNT(*) FROM bench_p256.t") -eq $((256 * 20)) ]]; then
  row "8  restore 256 partitions vs 32" s "$(hf_stats partitions p256)" \
      "$(hf_stats partitions p32)" le 10
else
  row_failed "8  partitioned restore"
fi
rm -rf "$WORK/part-32" "$WORK/part-256"
fi  # figure 8

# ---------------------------------------------------------------- 9. compressed backup

# backup --compress at zstd's level 3 (libzstd, threads) against the tool's
# stream piped through the zstd program at the same level on every core; then
# the size of each, and the compression ratio (the tool's stream against the
# stored one).
if want 9; then
settle
log "9. compressed backup of bench_big, zstd level 3 ($RUNS runs each)"
ZST_LIB=$WORK/library.zst
ZST_BASE=$WORK/baseline.zst
if hf compress --runs "$RUNS" --warmup 1 \
     -n library "$AGENT --database bench_big --compress zstd:3 >$(q "$ZST_LIB") 2>/dev/null" \
     -n tool-zstd "$XB --databases bench_big 2>/dev/null | zstd -q -T0 -3 >$(q "$ZST_BASE")" &&
   raw=$(eval "$XB --databases bench_big" 2>/dev/null | wc -c) &&
   zstd -q -t "$ZST_LIB" && ((raw > 0)); then
  lib=$(stat -c %s "$ZST_LIB")
  base=$(stat -c %s "$ZST_BASE")
  row "9a compressed backup vs tool piped to zstd" s "$(hf_stats compress library)" \
      "$(hf_stats compress tool-zstd)" le 1.05
  row "9b compressed size vs tool piped to zstd" MB "$lib $lib $lib" "$base $base $base" le 1.05
  row "9c ratio: tool's stream vs compressed" MB "$raw $raw $raw" "$lib $lib $lib" info ""
else
  row_failed "9  compressed backup"
fi
perf_stat "9  library (backup --compress zstd:3)" \
  "$AGENT --database bench_big --compress zstd:3 >/dev/null 2>/dev/null"
perf_stat "9  tool | zstd -T0 -3" "$XB --databases bench_big 2>/dev/null | zstd -q -T0 -3 >/dev/null"
rm -f "$ZST_LIB" "$ZST_BASE"
fi  # figure 9

# ---------------------------------------------------------------- 10. one-database restore

# xbagent restore --database --replace of a database in 20 InnoDB tables (as
# large as bench_big) against bench/restore-by-hand.sh, which does only the
# server steps: extract, prepare with --export, and per table DISCARD, copy,
# chown, IMPORT. Before each run the page cleaner catches up, so neither
# command flushes what the other one imported.
if want 10; then
RESTORE_TABLES=20
restore_rows=$((BIG_ROWS / RESTORE_TABLES))
log "10. creating bench_restore: $RESTORE_TABLES tables of $restore_rows rows"
sql -e "CREATE DATABASE bench_restore"
for ((i = 1; i <= RESTORE_TABLES; i++)); do
  sql -D bench_restore -e "CREATE TABLE t$i (id INT PRIMARY KEY, pad VARCHAR(1000) NOT NULL) ENGINE=InnoDB;
    INSERT INTO t$i SELECT seq, REPEAT(CHAR(65 + (seq + $i) % 26), 1000) FROM seq_1_to_$restore_rows;"
done
settle_server
RESTORE_BACKUP=$WORK/restore-backup
RESTORE_STAGING=$WORK/restore-staging
"$BIN/xbagent" -q backup --defaults-file "$CNF" --tool-dir "$TOOLS" --database bench_restore \
  --output-dir "$RESTORE_BACKUP" >/dev/null 2>"$RESULTS/restore-backup.log"
log "   backup: $(du -sh "$RESTORE_BACKUP" | cut -f1)"
cat >"$WORK/settle-server.sh" <<SETTLE
sync
for _ in \$(seq 1 120); do
  dirty=\$(mariadb --defaults-file=$(q "$CNF") -N -e "SHOW GLOBAL STATUS LIKE 'Innodb_buffer_pool_pages_dirty'" | awk '{print \$2}')
  [ "\$dirty" -lt 500 ] && exit 0
  sleep 0.5
done
SETTLE
restore_library="$(q "$BIN/xbagent") -q --log $(q "$RESULTS/restore-library.log") restore --database bench_restore --from $(q "$RESTORE_BACKUP") --defaults-file $(q "$CNF") --tool-dir $(q "$TOOLS") --replace"
restore_by_hand="$(q "$ROOT/bench/restore-by-hand.sh") $(q "$TOOLS") $(q "$CNF") $(q "$RESTORE_BACKUP/backup.xbstream") bench_restore $(q "$RESTORE_STAGING")"
settle
log "10. one-database restore of $RESTORE_TABLES tables ($RUNS runs each)"
if hf restore --runs "$RUNS" --warmup 1 --warm --prepare "sh $(q "$WORK/settle-server.sh")" \
     -n library "$restore_library >/dev/null 2>&1" \
     -n by-hand "$restore_by_hand >/dev/null" &&
   [[ $(sql -N -e "SELECT COUNT(*) FROM bench_restore.t$RESTORE_TABLES") -eq $restore_rows ]]; then
  row "10 restore --database, $RESTORE_TABLES tables vs by hand" s "$(hf_stats restore library)" \
      "$(hf_stats restore by-hand)" le 1.10
else
  row_failed "10 one-database restore"
fi
# Where each of the library's runs spent its time (warmup first).
while read -r phases; do
  log "   library: $phases"
done < <(grep -o 'restored in .*' "$RESULTS/restore-library.log" || true)
perf_stat "10 library (restore --database --replace)" "$restore_library >/dev/null 2>&1"
perf_stat "10 by hand (restore-by-hand.sh)" "$restore_by_hand >/dev/null"
rm -rf "$RESTORE_BACKUP" "$RESTORE_STAGING"
fi  # figure 10

# ---------------------------------------------------------------- table

echo
echo "xbagent/library benchmark: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)," \
     "$RUNS runs per figure (rounded up to a multiple of its commands)$( ((QUICK)) && echo ', --quick sizes')"
print_table
print_perf_table
echo
echo "ratio = library median / baseline median (times, or peak RSS / limit or output size)."
echo "Exports: $RESULTS"
