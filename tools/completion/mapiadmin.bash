# bash completion of mapiadmin, TeskSave and TeskRestore: subcommands,
# options, profile names, store names (from `mapiadmin __complete`) and the
# names of scheduled saves. Installed once for each of the three commands.

# The word being completed without the shell's quoting, as far as a prefix
# needs it ("Personal\ F", "'Personal F" and "\"Personal F" alike).
_tesk_dequote() {
  local w=$1
  case $w in
    \'*\' | \"*\") w=${w:1:${#w}-2} ;;
    \'*) w=${w#\'} ;;
    \"*) w=${w#\"} ;;
    *) w=$(printf '%s' "$w" | sed 's/\\\(.\)/\1/g') ;;
  esac
  printf '%s' "$w"
}

# COMPREPLY: the lines of standard input that begin with the word being
# completed, quoted for the shell. Fed by a process substitution, never a
# pipe: a function at a pipe's end runs in a subshell, and its COMPREPLY
# would be lost.
_tesk_reply() {
  local cur=$1 prefix line
  prefix=$(_tesk_dequote "$cur")
  COMPREPLY=()
  while IFS= read -r line; do
    [[ -n $line && $line == "$prefix"* ]] || continue
    case $cur in
      \'* | \"*) COMPREPLY+=("$line") ;;
      *) COMPREPLY+=("$(printf '%q' "$line")") ;;
    esac
  done
}

_tesk_names() {
  mapiadmin __complete "$@" 2>/dev/null
}

_tesk_words() {
  local cur=$1
  shift
  _tesk_reply "$cur" < <(printf '%s\n' "$@")
}

_mapiadmin() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=
  ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
  COMPREPLY=()

  # The words before the cursor that are no options: the subcommand(s) and
  # the arguments given so far.
  local -a plain=()
  local k w
  for ((k = 1; k < COMP_CWORD; k++)); do
    w=${COMP_WORDS[k]}
    case $w in
      --kind | --layout | --tls | --name | --user | --password-file | --oauth2-token-file | --ca-file | --set | \
        --class | --messages | --seed | --smtp | --from | --on-calendar | --mailto | --program | --remove | --prune | \
        --oauth2 | --preset | --client-id | --client-secret-file | --token-endpoint | --device-endpoint | \
        --authorize-endpoint | --scope | --refresh-token-file | --timeout | --login-hint | --keep-*)
        ((k++)) ;;
      -*) ;;
      *) plain+=("$(_tesk_dequote "$w")") ;;
    esac
  done

  case $prev in
    --kind) _tesk_words "$cur" mailbox archive public; return ;;
    --layout) _tesk_words "$cur" maildir++ fs; return ;;
    --tls) _tesk_words "$cur" none; return ;;
    --preset) _tesk_words "$cur" microsoft365 google; return ;;
    --password-file | --oauth2-token-file | --ca-file | --program | --client-secret-file | --refresh-token-file)
      COMPREPLY=($(compgen -f -- "$cur")); compopt -o filenames 2>/dev/null; return ;;
    --remove) _tesk_reply "$cur" < <(_tesk_names schedules); return ;;
    --name | --user | --set | --class | --messages | --seed | --smtp | --from | --on-calendar | --mailto | --prune | \
      --oauth2 | --client-id | --token-endpoint | --device-endpoint | --authorize-endpoint | --scope | --timeout | \
      --login-hint | --keep-*) return ;;
  esac

  local command=${plain[0]-} sub= args=()
  case $command in
    profile | store | folder | oauth2) sub=${plain[1]-}; args=("${plain[@]:2}") ;;
    *) args=("${plain[@]:1}") ;;
  esac
  local n=${#args[@]}

  if [[ -z $command ]]; then
    _tesk_words "$cur" profile store folder generate transport outbox tree prune verify check stats compact schedule oauth2 --help
    return
  fi
  if [[ $command =~ ^(profile|store|folder|oauth2)$ && -z $sub ]]; then
    case $command in
      profile) _tesk_words "$cur" create list default delete ;;
      store) _tesk_words "$cur" create add add-maildir add-imap add-pst check remove ;;
      folder) _tesk_words "$cur" create ;;
      oauth2) _tesk_words "$cur" add login ;;
    esac
    return
  fi

  local options= what=
  case $command/$sub in
    profile/create) options="--default" ;;
    profile/default | profile/delete) ((n == 0)) && what=profile ;;
    store/create) options="--name --kind"; ((n == 0)) && what=file ;;
    store/add) options="--default"; ((n == 0)) && what=profile; ((n == 1)) && what=file ;;
    store/add-maildir)
      options="--name --kind --layout --create --default"; ((n == 0)) && what=profile; ((n == 1)) && what=file ;;
    store/add-imap)
      options="--name --user --password-file --oauth2 --oauth2-token-file --kind --tls --ca-file --set --no-check --default"
      ((n == 0)) && what=profile ;;
    store/add-pst) options="--name --kind --no-associated --default"; ((n == 0)) && what=profile; ((n == 1)) && what=file ;;
    store/check | store/remove) ((n == 0)) && what=profile; ((n == 1)) && what=store ;;
    folder/create) options="--class"; ((n == 0)) && what=profile; ((n == 1)) && what=store ;;
    generate/*) options="--messages --seed --attachments"; ((n == 0)) && what=profile; ((n == 1)) && what=store ;;
    transport/*) options="--smtp --from --user --password-file --starttls"; ((n == 0)) && what=profile ;;
    outbox/*) options="--send"; ((n == 0)) && what=profile ;;
    tree/*) options="--json"; ((n == 0)) && what=profile; ((n == 1)) && what=store ;;
    prune/*)
      options="--keep-last --keep-hourly --keep-daily --keep-weekly --keep-monthly --keep-yearly --dry-run"
      ((n == 0)) && what=profile; ((n == 1)) && what=store ;;
    verify/*) ((n == 0)) && what=profile; ((n == 1 || n == 2)) && what=store ;;
    check/* | stats/* | compact/*) ((n == 0)) && what=profile; ((n == 1)) && what=store ;;
    oauth2/add)
      options="--preset --client-id --client-secret-file --token-endpoint --device-endpoint --authorize-endpoint --scope --refresh-token-file --ca-file --timeout"
      ((n == 0)) && what=profile ;;
    oauth2/login) options="--browser --login-hint"; ((n == 0)) && what=profile ;;
    schedule/*)
      options="--daily --hourly --on-calendar --name --mailto --prune --program --enable --cron --force --list --remove"
      ((n == 0)) && what=profile; ((n == 1 || n == 2)) && what=store ;;
  esac

  if [[ $cur == -* || -z $what ]]; then
    [[ -n $options ]] && _tesk_words "$cur" $options --help
    return
  fi
  case $what in
    profile) _tesk_reply "$cur" < <(_tesk_names profiles) ;;
    store) _tesk_reply "$cur" < <(_tesk_names stores "${args[0]}") ;;
    file) COMPREPLY=($(compgen -f -- "$cur")); compopt -o filenames 2>/dev/null ;;
  esac
}

# TeskSave and TeskRestore: switches, then PROFILE, SOURCE and TARGET.
_tesk_program() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  COMPREPLY=()
  local -a plain=()
  local k
  for ((k = 1; k < COMP_CWORD; k++)); do
    [[ ${COMP_WORDS[k]} == [-/]* ]] || plain+=("$(_tesk_dequote "${COMP_WORDS[k]}")")
  done
  if [[ $cur == -* ]]; then
    local switches="-n -q -mailto: --help"
    [[ ${COMP_WORDS[0]##*/} == TeskSave ]] && switches="-t $switches"
    _tesk_words "$cur" $switches
    return
  fi
  case ${#plain[@]} in
    0) _tesk_reply "$cur" < <(_tesk_names profiles) ;;
    1 | 2) _tesk_reply "$cur" < <(_tesk_names stores "${plain[0]}") ;;
  esac
}

complete -F _mapiadmin mapiadmin
complete -F _tesk_program TeskSave TeskRestore
