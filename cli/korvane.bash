# Bash completion of korvane and korvane-scope-sim. Installed as
# share/bash-completion/completions/korvane (and korvane-scope-sim); source it by hand otherwise.
# Property paths, measurement names and enumeration members come from the tool's own table
# (korvane __complete), so they always match the installed driver.

_korvane() {
  local cur prev cmd
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD-1]}
  # Paths hold parentheses and dots; only spaces separate words here.
  local COMP_WORDBREAKS=${COMP_WORDBREAKS//[:=(]/}
  if ((COMP_CWORD == 1)); then
    mapfile -t COMPREPLY < <("${COMP_WORDS[0]}" __complete commands "$cur" 2>/dev/null; compgen -W "--help --version" -- "$cur")
    return
  fi
  cmd=${COMP_WORDS[1]}
  case $prev in
    --csv|--svg|--out)
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
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
    mapfile -t COMPREPLY < <(compgen -W "$opts" -- "$cur")
    return
  fi
  # The position among the arguments that are not options or their values.
  local -a args=()
  local i w
  for ((i = 2; i < COMP_CWORD; i++)); do
    w=${COMP_WORDS[i]}
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
      mapfile -t COMPREPLY < <("${COMP_WORDS[0]}" __complete path "$cur" 2>/dev/null)
      # A finished property name gets its space.
      if ((${#COMPREPLY[@]} == 1)) && [[ ${COMPREPLY[0]} != *[.\(] ]]; then COMPREPLY[0]+=" "; fi ;;
    set:2)
      mapfile -t COMPREPLY < <("${COMP_WORDS[0]}" __complete values "$cur" "${args[1]}" 2>/dev/null) ;;
    measure:*)
      ((n >= 1)) && mapfile -t COMPREPLY < <("${COMP_WORDS[0]}" __complete measurements "$cur" 2>/dev/null) ;;
    save:1|load:1)
      mapfile -t COMPREPLY < <(compgen -f -- "$cur") ;;
    help:0)
      mapfile -t COMPREPLY < <("${COMP_WORDS[0]}" __complete commands "$cur" 2>/dev/null) ;;
  esac
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
