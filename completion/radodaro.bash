# bash completion for radodaro: its commands, each command's options (read
# from the tool's own --help, so they never fall behind), pack files and
# folders.

_radodaro_options() {
  "$1" --help "$2" 2>/dev/null | sed -n 's/^  \(-[-a-z0-9]*\)\(, \(-[a-z0-9]*\)\)\{0,1\}.*/\1 \3/p'
}

_radodaro_files() {
  # $2: "d" for folders only
  if declare -F _filedir >/dev/null; then
    if [[ ${2-} == d ]]; then _filedir -d; else _filedir; fi
  else
    local IFS=$'\n'
    if [[ ${2-} == d ]]; then
      COMPREPLY=($(compgen -d -- "$1"))
    else
      COMPREPLY=($(compgen -f -- "$1"))
    fi
  fi
}

_radodaro() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
  local tool=${COMP_WORDS[0]}
  COMPREPLY=()
  if ((COMP_CWORD == 1)); then
    local commands
    commands=$("$tool" --help 2>/dev/null | sed -n 's/^\(--[a-z-]*\).*/\1/p' | sort -u)
    COMPREPLY=($(compgen -W "$commands /e /p" -- "$cur"))
    return
  fi
  local command=${COMP_WORDS[1]}
  case $command in
    /[eEpP])
      case $COMP_CWORD in
        2) _radodaro_files "$cur" ;;
        3) _radodaro_files "$cur" d ;;
      esac
      return
      ;;
    --help)
      ((COMP_CWORD == 2)) || return
      local commands
      commands=$("$tool" --help 2>/dev/null | sed -n 's/^\(--[a-z-]*\).*/\1/p' | sort -u)
      COMPREPLY=($(compgen -W "$commands" -- "$cur"))
      return
      ;;
  esac
  # An option's value is the user's to type.
  case $prev in
    --only | --jobs | -j) return ;;
    --names | --like | --undo)
      _radodaro_files "$cur"
      return
      ;;
  esac
  local i operands=0 options_done=
  for ((i = 2; i < COMP_CWORD; i++)); do
    local word=${COMP_WORDS[i]}
    if [[ $options_done || $word != -?* ]]; then
      operands=$((operands + 1))
    elif [[ $word == -- ]]; then
      options_done=1
    elif [[ $word == --only || $word == --jobs || $word == -j || $word == --names ||
      $word == --like || $word == --undo ]]; then
      i=$((i + 1)) # its value
    fi
  done
  if [[ $cur == -* && ! $options_done ]]; then
    COMPREPLY=($(compgen -W "$(_radodaro_options "$tool" "$command")" -- "$cur"))
    return
  fi
  # The pack first, then, for the commands that take one, its member
  # folder, or the other packs.
  case $command in
    --expand | --update | --status | --create)
      if ((operands == 0)); then
        _radodaro_files "$cur"
      elif ((operands == 1)); then
        _radodaro_files "$cur" d
      fi
      ;;
    --diff | --apply-patch)
      ((operands < 2)) && _radodaro_files "$cur"
      ;;
    --make-patch)
      ((operands < 3)) && _radodaro_files "$cur"
      ;;
    *)
      ((operands == 0)) && _radodaro_files "$cur"
      ;;
  esac
}

complete -F _radodaro radodaro radodaro.exe
