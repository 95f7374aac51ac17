# Sourced by the project's scripts. Sourcing it sets the one cleanup trap:
# when the script ends, on any path, it runs what the script registered and
# keeps the script's exit status.
#
#   on_exit_kill PID...       processes to stop (and reap)
#   on_exit_remove PATH...    files and directories to remove
#   on_exit_call FUNCTION...  functions of the script's own to call first
#   start_demo_server DEMO_SERVER [ARGUMENT...]
#       starts the demo server with the arguments, registers it to be
#       stopped, and sets $demo_port to the port it prints when listening.
#   phase NAME COUNTER COMMAND...
#       runs the command (or a function of the script's) with its output
#       kept in $phase_log, and returns its status. Meanwhile it tells the
#       phase: on a terminal, one line rewritten in place four times a
#       second with NAME, what function COUNTER makes of the output so far
#       (count_packages, count_build_steps, count_tests or count_nothing)
#       and the time elapsed; otherwise a line as the phase starts and one
#       as it ends, with its time. An empty NAME tells nothing.
#   loudly NAME COUNTER COMMAND...
#       a phase that, when the command fails, shows its output and exits
#       with its status; quietly COMMAND... is one with no name.
#   progress_begin NAME, progress_show TEXT, progress_end [STATUS]
#       the same telling, for a script's own loops; progress_clear empties
#       the terminal's status line before other output.
#   build PRESET [TARGET...]
#       configures and builds a preset of CMakePresets.json (only the
#       targets named, if any), as a phase, from the project's root.

# The script's name as the user typed it from the project's root.
script_name=$(basename "$(dirname "$0")")/$(basename "$0")
exit_functions=()
exit_pids=()
exit_paths=()

on_exit_kill() { exit_pids+=("$@"); }
on_exit_remove() { exit_paths+=("$@"); }
on_exit_call() { exit_functions+=("$@"); }

# shellcheck disable=SC2317 # run by the trap
run_exit_actions() {
  local status=$? action pid
  for action in "${exit_functions[@]}"; do
    "$action" || true
  done
  for pid in "${exit_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "${exit_paths[@]}"
  exit "$status"
}
trap run_exit_actions EXIT

start_demo_server() {
  local output
  exec {output}< <(exec "$@")
  on_exit_kill "$!"
  demo_port=
  read -r -t 30 demo_port <&"$output" || true
  exec {output}<&-
  if ! [[ $demo_port =~ ^[0-9]+$ ]]; then
    echo "$script_name: the demo server did not start" >&2
    exit 1
  fi
}

progress_on_terminal=false
progress_begin() {
  progress_name=$1 progress_start=$SECONDS progress_width=80 progress_on_terminal=false
  [ -n "$progress_name" ] || return 0
  if [ -t 1 ]; then
    progress_on_terminal=true
    progress_width=$(stty size 2>/dev/null </dev/tty | cut -d' ' -f2) || true
  else
    echo "$progress_name ..."
  fi
}
progress_show() {
  ! $progress_on_terminal || printf '\r\033[K%.*s' $((${progress_width:-80} - 1)) \
    "$progress_name: ${1:-working} ($((SECONDS - progress_start)) s)"
}
progress_clear() {
  ! $progress_on_terminal || printf '\r\033[K'
}
progress_end() { # [status]
  local outcome="done in"
  [ "${1:-0}" = 0 ] || outcome="failed after"
  progress_clear
  [ -z "$progress_name" ] || echo "$progress_name: $outcome $((SECONDS - progress_start)) s"
  progress_name='' progress_on_terminal=false
}

# What the tools print of their own progress, in the output kept so far.
count_nothing() { :; }
count_packages() { # apt-get's lines for APT::Status-Fd
  sed -nE 's/^(dl|pm)status:[^:]*:([0-9]+).*/\1 \2%/p' "$1" | tail -n 1 |
    sed 's/^dl/downloading packages/; s/^pm/installing packages/'
}
count_build_steps() { # make's "[ 45%]"
  sed -nE 's/^\[ *([0-9]+%)\].*/build steps \1 done/p' "$1" | tail -n 1
}
count_tests() { # CTest's "12/103 Test #5: ... Passed"
  awk '/^ *[0-9]+\/[0-9]+ Test +#/ {
      split($1, n, "/"); total = n[2]; done++
      if ($0 !~ / Passed +[0-9.]+ sec$|\*\*\*Skipped/) failed++ }
    END { if (total) printf "tests %d/%d, %d failed", done, total, failed }' "$1"
}

phase() {
  local name=$1 counter=$2 pid status=0
  shift 2
  phase_log=$(mktemp)
  on_exit_remove "$phase_log"
  progress_begin "$name"
  # A background command would ignore Ctrl-C; this one stops with the script.
  (trap - INT QUIT && "$@") >"$phase_log" 2>&1 &
  pid=$!
  on_exit_kill "$pid"
  while kill -0 "$pid" 2>/dev/null; do
    ! $progress_on_terminal || progress_show "$("$counter" "$phase_log")"
    sleep 0.25
  done
  wait "$pid" || status=$?
  local kept=() other
  for other in "${exit_pids[@]}"; do [ "$other" = "$pid" ] || kept+=("$other"); done
  exit_pids=("${kept[@]}")
  progress_end "$status"
  return "$status"
}

loudly() {
  local status=0
  phase "$@" || {
    status=$?
    cat "$phase_log"
    echo "$script_name: ${*:3} failed" >&2
    exit "$status"
  }
}

quietly() { loudly "" count_nothing "$@"; }

configure_and_build() { # preset [target...]
  local preset=$1 root
  shift
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  local targets=()
  [ $# -eq 0 ] || targets=(--target "$@")
  env -C "$root" cmake --preset "$preset" &&
    env -C "$root" cmake --build --preset "$preset" -j"$(nproc)" "${targets[@]}"
}

build() {
  loudly "$script_name: building $1${2:+ (${*:2})}" count_build_steps configure_and_build "$@"
}
