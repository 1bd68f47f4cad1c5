# Bash completion of korvane and korvane-scope-sim. Installed as
# share/bash-completion/completions/korvane (and korvane-scope-sim); source it by hand otherwise.
# What to offer comes from the tool itself (korvane __complete line <words>): its command table,
# the driver's paths, enumeration members and measurement names, so it always matches the
# installed tool and driver.

_korvane() {
  local cur
  # Resources hold ':' and paths '(' and '=': readline splits words there. The words are taken
  # from the line itself, split at blanks only; the replies lose the part readline's own current
  # word does not cover.
  local line=${COMP_LINE:0:COMP_POINT}
  local -a words reply
  read -ra words <<<"$line"
  [[ -z $line || $line == *[[:blank:]] ]] && words+=("")
  cur=${words[${#words[@]} - 1]}
  local lead=${cur%"${COMP_WORDS[COMP_CWORD]}"}
  mapfile -t reply < <("${words[0]}" __complete line "${words[@]:1}" 2>/dev/null)
  COMPREPLY=()
  case ${reply[0]:-} in
    files) mapfile -t COMPREPLY < <(compgen -f -- "$cur") ;;
    nospace) compopt -o nospace 2>/dev/null; COMPREPLY=("${reply[@]:1}") ;;
    words) COMPREPLY=("${reply[@]:1}") ;;
  esac
  ((${#lead})) && COMPREPLY=("${COMPREPLY[@]#"$lead"}")
  return 0
}
complete -F _korvane korvane

_korvane_scope_sim() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
  case $prev in
    --model)
      mapfile -t COMPREPLY < <(compgen -W "$("${COMP_WORDS[0]}" --list-models 2>/dev/null | awk 'NR > 1 {print $1}')" -- "$cur")
      return ;;
    --port|--bind|--serial|--firmware|--options|--signal|--acquire-time|--operation-time|--fault-delay|--fault-drop|--fault-bad-header|--fault-error|--max-message)
      return ;;
  esac
  mapfile -t COMPREPLY < <(compgen -W "--port --bind --model --serial --firmware --options --signal --acquire-time --operation-time
    --fault-delay --fault-drop --fault-bad-header --fault-mute --fault-error --max-message --list-models --version --help" -- "$cur")
}
complete -F _korvane_scope_sim korvane-scope-sim
