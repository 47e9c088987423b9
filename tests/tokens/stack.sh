# shellcheck shell=bash disable=SC2154  # stack and stop_stack come from the script that sources this
# What the token stack scripts share; each sets `stack`, defines `stop_stack` (ends what start
# started, by the pids it recorded in DIR) and sources this with its arguments. It handles
#   <stack>.sh start DIR LABEL USER_PIN SO_PIN   sets dir, label, pin, so_pin and sends all
#       further output to DIR/<stack>.log (fd 3 is stdout, for emit; fd 4 stderr, for die)
#   <stack>.sh stop DIR                           stop_stack, then exits 0

die() {
  echo "$stack.sh: $*" >&4
  echo "$stack.sh: $*"
  exit 1
}

# KEY VALUE ...: DIR/env as export lines, then KEY=VALUE lines on stdout.
emit() {
  local env=$dir/env
  : >"$env.new"
  while [ $# -gt 0 ]; do
    printf "export %s='%s'\n" "$1" "${2//\'/\'\\\'\'}" >>"$env.new"
    printf '%s=%s\n' "$1" "$2" >&3
    shift 2
  done
  mv "$env.new" "$env"
}

usage="usage: $stack.sh start DIR LABEL USER_PIN SO_PIN | stop DIR"
case "${1:-}" in
  start) [ $# -eq 5 ] || { echo "$usage" >&2; exit 2; } ;;
  stop)
    [ $# -eq 2 ] || { echo "$usage" >&2; exit 2; }
    dir=$(realpath -m "$2")
    stop_stack
    exit 0 ;;
  *) echo "$usage" >&2; exit 2 ;;
esac
# shellcheck disable=SC2034  # for the script that sourced this
dir=$(realpath -m "$2") label=$3 pin=$4 so_pin=$5
mkdir -p "$dir"
log=$dir/$stack.log
exec 3>&1 4>&2 >>"$log" 2>&1
echo "== start $(date -Is)"
