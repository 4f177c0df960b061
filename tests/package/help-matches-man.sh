#!/usr/bin/env bash
# A program's --help and its manual page say the same things: every option
# and command that --help lists (for every command, at any depth) is in the
# page, and every option the page describes is one that --help lists.
# Usage: help-matches-man.sh BIN_DIR MAN_SOURCE_DIR
set -uo pipefail
# shellcheck disable=SC1091
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
bin=$1
man=$2

# A page's source as plain text: "\-" is a dash, font changes are dropped.
page_text() { sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' -e 's/\\f\[[A-Z]*\]//g' -e 's/\\&//g' "$1"; }

# Options written as options: after the start of a line, a blank, a bracket,
# a comma, a bar or a parenthesis (so that "sub-folders" is not one).
options_in() {
  grep -oE -- '(^|[][ ,|(])--?[A-Za-z][A-Za-z0-9-]*' | grep -oE -- '--?[A-Za-z][A-Za-z0-9-]*' | sort -u
}

# The words listed under a "Commands:" heading, up to the next blank line.
commands_in() {
  awk '/^[A-Za-z ]*[Cc]ommands:$/ { on = 1; next }
       on && /^[ \t]*$/ { on = 0 }
       on && /^  +[a-z]/ { print $1 }'
}

mentions() {  # TEXT WORD: WORD stands alone in TEXT
  grep -qE -- "(^|[^A-Za-z0-9-])$2([^A-Za-z0-9-]|$)" <<<"$1"
}

# check PAGE PROGRAM [COMMAND...]: appends every option listed to $listed.
listed=""
check() {
  local page=$1
  shift
  local help text option command
  # A program that took --help for a file would open its window and wait.
  if ! help=$(timeout 120 "$@" --help 2>&1); then
    fail "'$* --help' did not exit 0 (within two minutes)"
  fi
  [ -n "$help" ] || fail "'$* --help' printed nothing"
  text=$(page_text "$man/$page")
  while read -r option; do
    [ -n "$option" ] || continue
    listed+="$option"$'\n'
    mentions "$text" "$option" || fail "$page does not mention $option, which '$* --help' lists"
  done < <(options_in <<<"$help")
  while read -r command; do
    [ -n "$command" ] || continue
    mentions "$text" "$command" || fail "$page does not mention the command '$command' that '$* --help' lists"
    check "$page" "$@" "$command"
  done < <(commands_in <<<"$help")
  # Commands named only in the usage lines ("quillpress-cli folders add ..."),
  # described by this help.
  if [ $# -gt 1 ]; then
    local words="${*:2}"
    while read -r command; do
      [ -n "$command" ] || continue
      mentions "$(grep -F -- "$(basename "$1") $words" <<<"$text")" "$command" ||
        fail "$page does not show '$(basename "$1") $words $command', which '$* --help' lists"
    done < <(grep -oE -- "$(basename "$1") $words [a-z][a-z-]*( |$)" <<<"$help" | awk '{ print $NF }' | sort -u)
  fi
}

# The options that a page describes in its tagged paragraphs (.TP).
described() {
  page_text "$1" | awk 'tag { print; tag = 0 } /^\.TP/ { tag = 1 }' | grep -E '^\.(B|BR|BI|I|IR|RB) +-' | options_in
}

for page_program in quillpress.1:quillpress quillpress-cli.1:quillpress-cli pstopdf.1:pstopdf; do
  page=${page_program%%:*}
  program=$bin/${page_program#*:}
  if [ ! -x "$program" ]; then
    fail "no program $program"
    continue
  fi
  [ -f "$man/$page" ] || { fail "no page $man/$page"; continue; }
  listed=""
  check "$page" "$program"
  while read -r option; do
    [ -n "$option" ] || continue
    grep -qxF -- "$option" <<<"$listed" || fail "$page describes $option, which no --help of $(basename "$program") lists"
  done < <(described "$man/$page")
  version=$(timeout 120 "$program" --version 2>&1) || fail "'$program --version' did not exit 0"
  grep -qE '[0-9]+\.[0-9]+\.[0-9]+' <<<"$version" || fail "'$program --version' printed no version: $version"
done

finish "every option of every --help is in its manual page, and the other way round"
