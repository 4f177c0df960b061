#!/usr/bin/env bash
# The bash completion of quillpress-cli offers the program's commands, and
# for each command the options its --help lists, and folders after an option
# that takes one.
# Usage: bash-completion.sh BIN_DIR COMPLETION_FILE
set -uo pipefail
# shellcheck disable=SC1091
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
program=$(cd "$1" && pwd)/quillpress-cli
completion=$(realpath "$2")
[ -f /usr/share/bash-completion/bash_completion ] ||
  { echo "FAIL: bash-completion is needed (scripts/setup-deps.sh)"; exit 1; }
# shellcheck disable=SC1091
source /usr/share/bash-completion/bash_completion
# shellcheck disable=SC1090
source "$completion"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/folder"
touch "$work/report.ps" "$work/notes.txt"
cd "$work" || exit 1

offered() {  # WORDS...: what completing the last word offers, sorted
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMP_LINE="$*"
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  _quillpress_cli
  printf '%s\n' "${COMPREPLY[@]}" | sort
}

expect() {  # OFFERED WORDS...: completing WORDS offers OFFERED (space-separated, sorted)
  local want=$1 got
  shift
  got=$(offered "$@" | tr '\n' ' ')
  [ "$got" = "$want " ] || fail "completing '${*:2}' offers: $got"
}

expect "convert folders printer watch" "$program" ""
for command in convert folders watch; do
  expected=$("$program" "$command" --help | grep -oE -- '(^|[][ ,|(])--[a-z][a-z0-9-]*' | grep -oE -- '--[a-z0-9-]+' | sort -u)
  got=$(offered "$program" "$command" --)
  [ "$got" = "$expected" ] || fail "options of $command: offered [$(echo $got)], --help lists [$(echo $expected)]"
done
# Commands of a command, named in its usage lines.
if "$program" folders --help 2>/dev/null | grep -q 'quillpress-cli folders add '; then
  offered "$program" folders "" | grep -qx add || fail "after folders: $(offered "$program" folders "" | tr '\n' ' ')"
  offered "$program" folders add -- | grep -qx -- --source ||
    fail "options of folders add: $(offered "$program" folders add -- | tr '\n' ' ')"
fi
expect folder "$program" convert --output ""
if "$program" convert --help | grep -q -- --list-presets; then
  presets=$("$program" convert --list-presets | awk '{ print $1 }' | sort)
  [ -n "$presets" ] || fail "no presets listed"
  expect "$(echo $presets)" "$program" convert --preset ""
fi
expect "folder report.ps" "$program" convert ""

finish "the completion offers the commands and options of quillpress-cli"
