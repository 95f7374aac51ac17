# Sourced by the project's scripts. It sets the one cleanup: when the script
# ends, on any path, it stops what it started and removes what it
# registered, and keeps its exit status. Ctrl-C, SIGTERM, SIGHUP and SIGQUIT
# do the same, then end the script by that signal (status 130 for Ctrl-C),
# after ending the status line, with nothing more said.
#
#   on_exit_kill PID...       processes to stop (and reap); a negative
#                             number names a process group
#   on_exit_remove PATH...    files and directories to remove
#   on_exit_call FUNCTION...  functions of the script's own to call first
#   start_demo_server DEMO_SERVER [ARGUMENT...]
#       starts the demo server with the arguments, registers it to be
#       stopped, and sets $demo_port to the port it prints when listening.
#   in_group COMMAND...
#       runs the command (or a function of the script's) as phase does, but
#       with its output where the script's goes, and returns its status.
#   phase NAME COUNTER COMMAND...
#       runs the command (or a function of the script's) in a background
#       subshell, in a process group of its own that a signal to the script
#       stops whole, with no standard input and without errexit (chain a
#       function's steps with &&), its output kept in $phase_log; returns its
#       status. Meanwhile it tells the phase: on a terminal (but TERM=dumb),
#       one line rewritten four times a second with the time elapsed, what
#       COUNTER makes of the complete lines of output so far (count_packages,
#       count_build_steps, count_tests or count_nothing) and NAME, cut to the
#       window's width as it is at each redraw; otherwise a line as the phase
#       starts and one as it ends, with its time. An empty NAME tells nothing.
#   phase_or_exit NAME COUNTER COMMAND...
#       a phase that, when the command fails, shows its output and exits with
#       its status; quietly COMMAND... is one with no name.
#   attended COMMAND...
#       runs a command that talks with the person at the terminal (it keeps
#       the script's standard input, and Ctrl-C reaches it), stoppable by a
#       signal to the script; returns its status.
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

# Whether any of the processes named is running (a zombie has ended); a
# negative number names a process group.
running() { # pid...
  local stat line pid state group target
  for stat in /proc/[0-9]*/stat; do
    read -r line 2>/dev/null <"$stat" || continue
    pid=${stat//[^0-9]/}
    read -r state _ group _ <<<"${line##*) }"
    [ "$state" != Z ] || continue
    for target; do
      [ "$target" != "$pid" ] && [ "$target" != "-$group" ] || return 0
    done
  done
  return 1
}

# Stops every process group and process the script started: SIGTERM, and
# after five seconds SIGKILL to what is left.
stop_started() {
  local targets=("${exit_pids[@]}") target tries
  [ ${#targets[@]} -gt 0 ] || return 0
  kill -TERM -- "${targets[@]}" 2>/dev/null || true
  for ((tries = 0; tries < 50; tries++)); do
    running "${targets[@]}" || break
    sleep 0.1
  done
  ! running "${targets[@]}" || kill -KILL -- "${targets[@]}" 2>/dev/null || true
  for target in "${targets[@]}"; do
    wait "${target#-}" 2>/dev/null || true
  done
}

# Ends the status line, then stops and removes what the script registered.
# shellcheck disable=SC2317 # run by the traps
clean_up() {
  local action
  ! "${progress_on_terminal:-false}" || echo
  progress_on_terminal=false
  for action in "${exit_functions[@]}"; do
    "$action" || true
  done
  stop_started
  rm -rf "${exit_paths[@]}"
}
# shellcheck disable=SC2317
run_exit_actions() {
  local status=$?
  clean_up
  exit "$status"
}
trap run_exit_actions EXIT

# shellcheck disable=SC2317
stop_by() { # signal
  trap '' INT TERM HUP QUIT
  trap - EXIT
  clean_up
}
for signal in INT TERM HUP QUIT; do
  # shellcheck disable=SC2064 # the signal's name, now
  trap "stop_by $signal; trap - $signal; kill -s $signal \$\$" "$signal"
done

# Every temporary file of the run, the tools' own among them, goes under one
# folder that the run removes, however it ends.
TMPDIR=$(mktemp -d)
export TMPDIR
on_exit_remove "$TMPDIR"

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
  progress_name=$1 progress_start=$SECONDS progress_on_terminal=false
  [ -n "$progress_name" ] || return 0
  if [ -t 1 ] && [ "${TERM:-dumb}" != dumb ]; then
    progress_on_terminal=true
  else
    echo "$progress_name ..."
  fi
}
# The time and the figures first, the name last: a narrow window cuts the
# name. The width is read at each redraw, so the line follows the window;
# two columns are left for the ^C the terminal may echo after it.
progress_show() {
  $progress_on_terminal || return 0
  local width='' elapsed=$((SECONDS - progress_start)) seconds
  { read -r _ width < <(stty size <&4 2>/dev/null) || true; } 4>&1
  [[ $width =~ ^[1-9][0-9]*$ ]] || width=40 # a terminal that does not say
  printf -v seconds %02d $((elapsed % 60))
  local line="$((elapsed / 60)):$seconds ${1:-working} | $progress_name"
  printf '\r\033[K%s' "${line:0:width - 3}"
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

# What the tools print of their own progress, in the lines on standard
# input (only complete ones: a line still being written could say too
# little).
count_nothing() { :; }
count_packages() { # apt-get's lines for APT::Status-Fd
  sed -nE 's/^(dl|pm)status:[^:]*:([0-9]+).*/\1 \2%/p' | tail -n 1 |
    sed 's/^dl/downloading packages/; s/^pm/installing packages/'
}
count_build_steps() { # make's "[ 45%]"
  sed -nE 's/^\[ *([0-9]+%)\].*/build steps \1/p' | tail -n 1
}
count_tests() { # CTest's "12/103 Test #5: ... Passed"; $tests_total, before it
  awk '/^ *[0-9]+\/[0-9]+ Test +#/ {
      split($1, n, "/"); total = n[2]; done++
      if ($0 !~ / Passed +[0-9.]+ sec$|\*\*\*Skipped/) failed++ }
    END { if (!total) total = ENVIRON["tests_total"]
          if (total) printf "tests %d/%d, %d failed", done, total, failed }'
}
complete_lines() { # file
  { cat "$1" && printf '\1'; } | sed '$d'
}

start_in_group() { # command...: sets $group_pid
  set -m
  (trap - INT QUIT && "$@") </dev/null &
  group_pid=$!
  set +m
  on_exit_kill "-$group_pid"
}
# Waits for background commands and forgets them, so that their numbers,
# free again, are never stopped; returns the status of the last.
wait_for() { # pid...
  local status=0 pid kept=() other
  for pid; do
    status=0
    wait "$pid" || status=$?
  done
  for other in "${exit_pids[@]}"; do [[ " $* " == *" ${other#-} "* ]] || kept+=("$other"); done
  exit_pids=("${kept[@]}")
  return "$status"
}
in_group() {
  start_in_group "$@"
  wait_for "$group_pid"
}

phase() {
  local name=$1 counter=$2 pid
  shift 2
  phase_log=$(mktemp)
  on_exit_remove "$phase_log"
  progress_begin "$name"
  start_in_group "$@" >"$phase_log" 2>&1
  pid=$group_pid
  # Only builtins wait in this loop: bash may take a Ctrl-C that lands as a
  # command of its own ends normally for that command's, and not stop.
  local figures
  while kill -0 "$pid" 2>/dev/null; do
    if $progress_on_terminal; then
      read -r -d '' figures < <("$counter" < <(complete_lines "$phase_log")) || true
      progress_show "$figures"
    fi
    read -r -t 0.25 <> <(:) || true # a pipe that no one writes
  done
  local status=0
  wait_for "$pid" || status=$?
  progress_end "$status"
  return "$status"
}

phase_or_exit() {
  local status=0
  phase "$@" || {
    status=$?
    cat "$phase_log"
    echo "$script_name: ${*:3} failed" >&2
    exit "$status"
  }
}

quietly() { phase_or_exit "" count_nothing "$@"; }

attended() {
  (trap - INT QUIT && exec "$@") <&0 &
  on_exit_kill "$!"
  wait_for "$!"
}

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
  phase_or_exit "$script_name: building $1${2:+ (${*:2})}" count_build_steps configure_and_build "$@"
}
