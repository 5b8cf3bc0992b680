#!/usr/bin/env bash
# A throwaway MariaDB server in a directory of its own, for tests and demos.
#
#   mariadb-sandbox.sh start DIR [--port N]   create DIR, initialise and start a server
#   mariadb-sandbox.sh stop DIR [--keep]      stop the server, remove DIR (unless --keep)
#   mariadb-sandbox.sh status DIR             exit 0 if the server answers
#
# DIR should be a short path (the unix socket DIR/mysql.sock must stay under
# about 100 bytes), e.g. /tmp/xbsb-dev. Layout:
#   DIR/my.cnf        usable as --defaults-file for mariadbd, mariadb,
#                     mariadb-admin, mariadb-dump and mariabackup
#   DIR/data/         datadir (binary log mysql-bin.* inside it)
#   DIR/mysql.sock    unix socket; DIR/mariadbd.pid; DIR/error.log
#   DIR/tools/        xtrabackup -> mariabackup, xbstream -> mbstream
#
# By default the server listens on the unix socket only. For a setup that
# connects over TCP, pass --port N or set XB_SANDBOX_PORT=N: the server then
# also listens on 127.0.0.1:N.
# The server runs on its default settings. Optional sizing, written only
# when set: XB_SANDBOX_BUFFER_POOL (innodb_buffer_pool_size),
# XB_SANDBOX_LOG_FILE_SIZE (innodb_log_file_size).
#
# The server runs fully detached (own session, stdin from /dev/null, output
# to a file), so a caller that waits on this script's pipes (CTest) is not
# held up by it. Run as root, the server runs as user "mysql".

set -u
umask 022

readonly MARKER=".mariadb-sandbox"
readonly START_TIMEOUT=60
readonly STOP_TIMEOUT=60

say() { printf 'mariadb-sandbox: %s\n' "$*"; }
die() { printf 'mariadb-sandbox: error: %s\n' "$*" >&2; exit 1; }

usage() {
  cat >&2 <<'EOF'
usage: mariadb-sandbox.sh start DIR [--port N]
       mariadb-sandbox.sh stop DIR [--keep]
       mariadb-sandbox.sh status DIR
EOF
  exit 2
}

need() {
  command -v "$1" >/dev/null 2>&1 || die "'$1' not found in PATH"
}

# Absolute form of a path that may not exist yet; no symlink resolution needed.
abspath() {
  case "$1" in
    /*) printf '%s' "$1" ;;
    *) printf '%s/%s' "$(pwd)" "$1" ;;
  esac
}

# Prints the pid of the sandbox's server if one is running, else nothing.
server_pid() {
  local dir=$1 pid="" p
  if [[ -r "$dir/mariadbd.pid" ]]; then
    pid=$(tr -dc '0-9' <"$dir/mariadbd.pid" 2>/dev/null)
    if [[ -n "$pid" ]] && is_our_server "$pid" "$dir"; then
      printf '%s' "$pid"
      return 0
    fi
  fi
  # No usable pid file (not written yet, or removed): look for a server
  # started with this sandbox's defaults file.
  for p in /proc/[0-9]*; do
    p=${p#/proc/}
    if is_our_server "$p" "$dir"; then
      printf '%s' "$p"
      return 0
    fi
  done
  return 0
}

is_our_server() {
  local pid=$1 dir=$2 cmd
  [[ -r "/proc/$pid/cmdline" ]] || return 1
  cmd=$(tr '\0' '\n' <"/proc/$pid/cmdline" 2>/dev/null) || return 1
  [[ "$cmd" == *"--defaults-file=$dir/my.cnf"* ]] || return 1
  case "$(head -n1 <<<"$cmd")" in
    *mariadbd | *mysqld) return 0 ;;
  esac
  return 1
}

ping_server() {
  mariadb-admin --defaults-file="$1/my.cnf" --connect-timeout=2 ping >/dev/null 2>&1
}

log_tail() {
  local dir=$1
  local crash
  if [[ -s "$dir/error.log" ]]; then
    # A crash report (signal, query, stack) is longer than a tail: shown whole.
    crash=$(grep -n 'got signal' "$dir/error.log" | tail -n 1 | cut -d: -f1)
    if [[ -n "$crash" ]]; then
      printf -- '--- %s (from its last crash report) ---\n' "$dir/error.log" >&2
      tail -n "+$((crash > 20 ? crash - 20 : 1))" "$dir/error.log" | head -n 150 >&2
    else
      printf -- '--- %s (last 30 lines) ---\n' "$dir/error.log" >&2
      tail -n 30 "$dir/error.log" >&2
    fi
  fi
  if [[ -s "$dir/mariadbd.out" ]]; then
    printf -- '--- %s ---\n' "$dir/mariadbd.out" >&2
    tail -n 30 "$dir/mariadbd.out" >&2
  fi
}

# Stops the server of DIR if one runs. Returns nonzero if it would not die.
stop_server() {
  local dir=$1 pid waited=0
  pid=$(server_pid "$dir")
  [[ -n "$pid" ]] || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  while kill -0 "$pid" 2>/dev/null; do
    if ((waited >= STOP_TIMEOUT * 10)); then
      say "server $pid did not stop in ${STOP_TIMEOUT}s, killing it"
      kill -KILL "$pid" 2>/dev/null
      sleep 0.2
      break
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  # A zombie of a child of ours would still answer kill -0; it is gone for
  # every purpose here.
  ! kill -0 "$pid" 2>/dev/null || [[ "$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null)" == Z ]]
}

remove_dir() {
  local dir=$1
  [[ -d "$dir" ]] || return 0
  if [[ ! -e "$dir/$MARKER" ]] && [[ -n "$(ls -A "$dir" 2>/dev/null)" ]]; then
    die "$dir is not a sandbox directory (no $MARKER); not removing it"
  fi
  rm -rf -- "$dir" || die "cannot remove $dir"
}

write_cnf() {
  local dir=$1 port=$2
  local net client_port="" sizing=""
  # The server's own defaults unless a caller (the benchmark) asks for sizes.
  if [[ -n "${XB_SANDBOX_BUFFER_POOL:-}" ]]; then
    sizing+="innodb_buffer_pool_size=$XB_SANDBOX_BUFFER_POOL"$'\n'
  fi
  if [[ -n "${XB_SANDBOX_LOG_FILE_SIZE:-}" ]]; then
    sizing+="innodb_log_file_size=$XB_SANDBOX_LOG_FILE_SIZE"$'\n'
  fi
  if [[ -n "$port" ]]; then
    net="port=$port
bind-address=127.0.0.1"
    client_port="port=$port"
  else
    net="skip-networking"
  fi
  cat >"$dir/my.cnf" <<EOF
# Throwaway MariaDB server, made by mariadb-sandbox.sh.
[client]
socket=$dir/mysql.sock
user=root
default-character-set=utf8mb4
$client_port

[mysqld]
datadir=$dir/data
socket=$dir/mysql.sock
pid-file=$dir/mariadbd.pid
log-error=$dir/error.log
$net
skip-name-resolve
server-id=1
# Relative to the datadir, so the binlog index holds no absolute paths.
log-bin=mysql-bin
character-set-server=utf8mb4
collation-server=utf8mb4_general_ci
$sizing
EOF
}

cmd_start() {
  local dir=$1 port=$2
  need mariadb-install-db
  need mariadb-admin
  need mariabackup
  need mbstream
  need setsid
  local mariadbd
  mariadbd=$(command -v mariadbd || true)
  [[ -n "$mariadbd" ]] || mariadbd=/usr/sbin/mariadbd
  [[ -x "$mariadbd" ]] || die "mariadbd not found"

  if ((${#dir} + 11 > 100)); then
    die "path too long for a unix socket: $dir/mysql.sock"
  fi
  if [[ -n "$port" ]] && ! [[ "$port" =~ ^[0-9]+$ ]]; then
    die "bad port: $port"
  fi

  # A leftover sandbox (an earlier run that never stopped) is stopped and
  # replaced: every start gives a fresh server.
  if [[ -e "$dir" ]]; then
    [[ -d "$dir" ]] || die "$dir exists and is not a directory"
    if [[ -n "$(server_pid "$dir")" ]]; then
      say "stopping the server already running in $dir"
      stop_server "$dir" || die "cannot stop the server running in $dir"
    fi
    remove_dir "$dir"
  fi

  mkdir -p -- "$dir/data" "$dir/tools" || die "cannot create $dir"
  : >"$dir/$MARKER"
  ln -s "$(command -v mariabackup)" "$dir/tools/xtrabackup"
  ln -s "$(command -v mbstream)" "$dir/tools/xbstream"
  write_cnf "$dir" "$port"

  local user_opt=()
  if [[ $(id -u) -eq 0 ]]; then
    chown -R mysql:mysql -- "$dir" || die "cannot chown $dir to mysql"
    user_opt=(--user=mysql)
  fi

  local t0=$SECONDS
  if ! mariadb-install-db --defaults-file="$dir/my.cnf" "${user_opt[@]}" \
        --auth-root-authentication-method=normal --skip-test-db \
        --skip-name-resolve >"$dir/install.log" 2>&1 </dev/null; then
    tail -n 30 "$dir/install.log" >&2
    log_tail "$dir"
    die "mariadb-install-db failed for $dir"
  fi

  # Own session, no terminal, no inherited pipes.
  setsid "$mariadbd" --defaults-file="$dir/my.cnf" "${user_opt[@]}" \
    </dev/null >"$dir/mariadbd.out" 2>&1 &
  local launched=$!
  disown "$launched" 2>/dev/null || true

  local waited=0 pid
  until ping_server "$dir"; do
    if ((waited >= START_TIMEOUT * 10)); then
      log_tail "$dir"
      stop_server "$dir" >/dev/null 2>&1
      die "server in $dir did not answer within ${START_TIMEOUT}s"
    fi
    if ((waited % 5 == 4)) && ! kill -0 "$launched" 2>/dev/null &&
       [[ -z "$(server_pid "$dir")" ]]; then
      log_tail "$dir"
      die "server in $dir exited during start-up"
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  pid=$(server_pid "$dir")
  say "started $("$mariadbd" --version 2>/dev/null | awk '{print $3}') in $dir (pid ${pid:-?}, socket $dir/mysql.sock${port:+, port $port}) in $((SECONDS - t0))s"
}

cmd_stop() {
  local dir=$1 keep=$2
  if [[ ! -d "$dir" ]]; then
    say "nothing to stop in $dir"
    return 0
  fi
  local pid died=0
  pid=$(server_pid "$dir")
  if [[ -n "$pid" ]]; then
    stop_server "$dir" || die "cannot stop server $pid in $dir"
  elif [[ -s "$dir/mariadbd.pid" ]]; then
    # A server that shuts down removes its pid file: this one died.
    say "the server of $dir was no longer running: it died before this stop"
    log_tail "$dir"
    died=1
  fi
  if [[ "$keep" == 1 ]]; then
    say "stopped ${pid:+server $pid in }$dir (kept)"
  else
    remove_dir "$dir"
    if [[ -n "$pid" ]]; then
      say "stopped server $pid, removed $dir"
    else
      say "no server running, removed $dir"
    fi
  fi
  return "$died"
}

cmd_status() {
  local dir=$1
  if [[ -d "$dir" ]] && [[ -f "$dir/my.cnf" ]] && ping_server "$dir"; then
    say "running in $dir (pid $(server_pid "$dir"))"
    return 0
  fi
  say "not running in $dir"
  return 1
}

main() {
  (($# >= 2)) || usage
  local action=$1 dir port=${XB_SANDBOX_PORT:-} keep=0
  dir=$(abspath "$2")
  dir=${dir%/}
  shift 2
  while (($#)); do
    case "$1" in
      --port) (($# >= 2)) || usage; port=$2; shift 2 ;;
      --port=*) port=${1#--port=}; shift ;;
      --keep) keep=1; shift ;;
      *) usage ;;
    esac
  done
  [[ -n "$dir" && "$dir" != / ]] || die "refusing to use / as sandbox directory"
  case "$action" in
    start) cmd_start "$dir" "$port" ;;
    stop) cmd_stop "$dir" "$keep" ;;
    status) cmd_status "$dir" ;;
    *) usage ;;
  esac
}

main "$@"
