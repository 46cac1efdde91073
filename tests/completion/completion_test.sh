#!/usr/bin/env bash
# The bash completion, run as bash runs it: what each partial command line
# completes to. $1: the radodaro binary; run in a scratch folder.
set -uo pipefail
tool=$1
here=$(cd "$(dirname "$0")/../.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/bin" "$scratch/work/members" "$scratch/work/more"
ln -s "$tool" "$scratch/bin/radodaro"
touch "$scratch/work/game.pak" "$scratch/work/notes.txt"
PATH=$scratch/bin:$PATH
cd "$scratch/work"
# shellcheck source=/dev/null
source "$here/completion/radodaro.bash"

failed=0
# expect "WORDS..." "EXPECTED" : the last word is the one completed.
expect() {
  read -ra COMP_WORDS <<<"$1"
  [[ $1 == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _radodaro
  local got
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//')
  if [[ $got != "$2" ]]; then
    echo "'$1' completes to '$got', not '$2'" >&2
    failed=1
  fi
}

expect "radodaro --ex" "--expand"
expect "radodaro --" "--apply-patch --cat --compact --create --diff --expand --help --list --make-patch --status --update --verify --version"
expect "radodaro --create game.pak m" "members more"
expect "radodaro --apply-patch --undo n" "notes.txt"
expect "radodaro --make-patch game.pak notes.txt g" "game.pak"
expect "radodaro /" "/e /p"
expect "radodaro --help --co" "--compact"
expect "radodaro --expand --o" "--only --overwrite"
expect "radodaro --expand game.pak members --v" "--verbose"
expect "radodaro --update -" "--best --check-all --dry-run --fast --force --jobs --json --no-progress --only --progress --store -0 -1 -9 -j -n"
expect "radodaro --list -" "--json --names --only"
expect "radodaro --expand ga" "game.pak"
expect "radodaro --expand game.pak m" "members more"
expect "radodaro --expand --only 3 game.pak m" "members more"
expect "radodaro --update -j 2 game.pak mo" "more"
expect "radodaro --list game.pak " ""
expect "radodaro --expand --only " ""
expect "radodaro /e g" "game.pak"
expect "radodaro /e game.pak me" "members"
expect "radodaro --verify -- -" ""
exit $failed
