# Sourced by the scripts: strict mode, and a failure that ends a script names where it stopped,
# for under `set -e` a failing command substitution or pipeline otherwise ends it without a word.
# Quiet where the script has switched `set -e` off to look at a status itself, and in subshells,
# whose failure the script reports at the line that started them.
set -Eeuo pipefail
trap 'discflash_failed $? "${BASH_SOURCE[0]}" "$LINENO" "$BASH_COMMAND"' ERR
discflash_failed() {  # status file line command
  [[ $- == *e* && $BASH_SUBSHELL -eq 0 ]] || return 0
  echo "${0#./}: stopped at ${2#./}:$3 (status $1): $4" >&2
}

# logged LOG COMMAND...: runs COMMAND with its output kept in LOG; when it fails, shows LOG and
# says so.
logged() {
  local log=$1 status=0
  shift
  "$@" >"$log" 2>&1 || status=$?
  [ $status -ne 0 ] || return 0
  cat "$log" >&2
  echo "${0#./}: failed (status $status; its output above, kept in $log): $*" >&2
  return $status
}
