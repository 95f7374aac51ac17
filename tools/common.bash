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
#   quietly COMMAND...
#       runs the command with its output kept, and shows that output only
#       when it fails; the script then exits with the command's status.
#   build PRESET [TARGET...]
#       configures and builds a preset of CMakePresets.json (only the
#       targets named, if any), quietly, from the project's root.

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
    echo "${0##*/}: the demo server did not start" >&2
    exit 1
  fi
}

quietly() {
  local log status=0
  log=$(mktemp)
  on_exit_remove "$log"
  "$@" >"$log" 2>&1 || { status=$? && cat "$log" && echo "${0##*/}: $* failed" >&2 && exit "$status"; }
  rm -f "$log"
}

build() {
  local preset=$1 root
  shift
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  local targets=()
  [ $# -eq 0 ] || targets=(--target "$@")
  quietly env -C "$root" cmake --preset "$preset"
  quietly env -C "$root" cmake --build --preset "$preset" -j"$(nproc)" "${targets[@]}"
}
