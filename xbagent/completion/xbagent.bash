# bash completion for xbagent                               -*- shell-script -*-

_xbagent() {
  local cur prev words cword
  _init_completion || return

  local common="--help -v -vv -vvv -q --quiet --verbose --log"
  local command="" i
  for ((i = 1; i < cword; i++)); do
    case ${words[i]} in
      backup | restore | binlog-info | encode) command=${words[i]}; break ;;
    esac
  done

  case $prev in
    --defaults-file | --log | --manifest | --schema)
      _filedir
      return
      ;;
    --output-dir | --from | --target-datadir | --staging-dir | --tool-dir | --datadir)
      _filedir -d
      return
      ;;
    --socket)
      _filedir sock
      return
      ;;
    --output)
      COMPREPLY=($(compgen -W "-" -- "$cur"))
      _filedir
      return
      ;;
    --database | --user | --parallel)
      return
      ;;
  esac

  if [[ ${words[1]} == --version ]]; then
    COMPREPLY=($(compgen -W "--defaults-file" -- "$cur"))
    return
  fi

  case $command in
    "")
      COMPREPLY=($(compgen -W "backup restore binlog-info encode help --help --version" -- "$cur"))
      ;;
    backup)
      COMPREPLY=($(compgen -W "--defaults-file --database --output-dir --output --manifest
        --schema --tool-dir --user --datadir --socket --parallel $common" -- "$cur"))
      ;;
    restore)
      COMPREPLY=($(compgen -W "--full --database --from --target-datadir --staging-dir
        --replace --defaults-file --tool-dir --datadir --socket --user $common" -- "$cur"))
      ;;
    binlog-info)
      if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "--json $common" -- "$cur"))
      else
        _filedir -d
      fi
      ;;
    encode)
      COMPREPLY=($(compgen -W "$common" -- "$cur"))
      ;;
  esac
} &&
  complete -F _xbagent xbagent
