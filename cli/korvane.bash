# Bash completion of korvane and korvane-scope-sim. Installed as
# share/bash-completion/completions/korvane (and korvane-scope-sim); source it by hand otherwise.
# Property paths, measurement names and enumeration members come from the tool's own table
# (korvane __complete), so they always match the installed driver.

_korvane() {
  local cur prev cmd
  # Resources hold ':' and paths '(' and '=': readline splits words there. The words are taken
  # from the line itself, split at blanks only; the replies lose the part readline's own current
  # word does not cover.
  local line=${COMP_LINE:0:COMP_POINT}
  local -a words
  read -ra words <<<"$line"
  [[ -z $line || $line == *[[:blank:]] ]] && words+=("")
  local cword=$((${#words[@]} - 1))
  cur=${words[cword]}
  prev=${words[cword-1]:-}
  local lead=${cur%"${COMP_WORDS[COMP_CWORD]}"}
  local tool=${words[0]}
  _korvane_reply() {
    mapfile -t COMPREPLY
    ((${#lead})) && COMPREPLY=("${COMPREPLY[@]#"$lead"}")
    return 0
  }
  if ((cword == 1)); then
    _korvane_reply < <("$tool" __complete commands "$cur" 2>/dev/null; compgen -W "--help --version" -- "$cur")
    return
  fi
  cmd=${words[1]}
  case $prev in
    --csv|--svg|--out)
      _korvane_reply < <(compgen -f -- "$cur")
      return ;;
    --options|--points|--timeout|--depth|--channel)
      return ;;
  esac
  if [[ $cur == --* ]]; then
    local opts="--options --timeout --reset --json --help"
    case $cmd in
      get|set) opts+=" --channel" ;;
      list) opts="--depth --json --help" ;;
      scpi) opts+=" --out" ;;
      fetch) opts+=" --channel --points --csv --svg --human" ;;
      measure) opts+=" --channel --human" ;;
    esac
    _korvane_reply < <(compgen -W "$opts" -- "$cur")
    return
  fi
  # The position among the arguments that are not options or their values.
  local -a args=()
  local i w
  for ((i = 2; i < cword; i++)); do
    w=${words[i]}
    case $w in
      --options|--points|--timeout|--depth|--channel|--csv|--svg|--out) ((i++)) ;;
      --*) ;;
      *) args+=("$w") ;;
    esac
  done
  local n=${#args[@]}
  case $cmd:$n in
    list:0|get:1|set:1)
      compopt -o nospace 2>/dev/null
      _korvane_reply < <("$tool" __complete path "$cur" 2>/dev/null)
      # A finished property name gets its space.
      if ((${#COMPREPLY[@]} == 1)) && [[ ${COMPREPLY[0]} != *[.\(] ]]; then COMPREPLY[0]+=" "; fi ;;
    set:2)
      _korvane_reply < <("$tool" __complete values "$cur" "${args[1]}" 2>/dev/null) ;;
    measure:*)
      ((n >= 1)) && _korvane_reply < <("$tool" __complete measurements "$cur" 2>/dev/null) ;;
    save:1|load:1)
      _korvane_reply < <(compgen -f -- "$cur") ;;
    help:0)
      _korvane_reply < <("$tool" __complete commands "$cur" 2>/dev/null) ;;
  esac
  return 0
}
complete -F _korvane korvane

_korvane_scope_sim() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
  case $prev in
    --model)
      mapfile -t COMPREPLY < <(compgen -W "$("${COMP_WORDS[0]}" --list-models 2>/dev/null | awk 'NR > 1 {print $1}')" -- "$cur")
      return ;;
    --port|--bind|--serial|--firmware|--options|--signal|--acquire-time|--fault-delay|--fault-drop|--fault-bad-header|--fault-error|--max-message)
      return ;;
  esac
  mapfile -t COMPREPLY < <(compgen -W "--port --bind --model --serial --firmware --options --signal --acquire-time
    --fault-delay --fault-drop --fault-bad-header --fault-mute --fault-error --max-message --list-models --version --help" -- "$cur")
}
complete -F _korvane_scope_sim korvane-scope-sim
