# bash completion for xbagent                               -*- shell-script -*-

_xbagent() {
  local cur prev words cword
  _init_completion || return

  local common="-h --help -v -vv -vvv -q --quiet --verbose --log"
  local command="" i
  for ((i = 1; i < cword; i++)); do
    case ${words[i]} in
      backup | restore | binlog-info | encode | verify | info | list | binlog-archive) command=${words[i]}; break ;;
    esac
  done

  case $prev in
    --defaults-file | --log | --manifest | --schema | --encrypt-key-file)
      _filedir
      return
      ;;
    --output-dir | --target-datadir | --staging-dir | --tool-dir | --datadir | --scratch-dir | \
      --to | --binlogs)
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
    --from)
      # a backup directory, or - for a stream on standard input
      COMPREPLY=($(compgen -W "-" -- "$cur"))
      _filedir -d
      return
      ;;
    --database | --user | --parallel | --as | --table | --lock-wait-timeout | --until | --until-gtid)
      return
      ;;
  esac

  if [[ ${words[1]} == --version ]]; then
    COMPREPLY=($(compgen -W "--defaults-file" -- "$cur"))
    return
  fi

  case $command in
    "")
      COMPREPLY=($(compgen -W "backup restore binlog-archive binlog-info encode verify info list help --help --version" -- "$cur"))
      ;;
    backup)
      COMPREPLY=($(compgen -W "--defaults-file --database --output-dir --output --manifest
        --schema --tool-dir --user --datadir --socket --parallel --compress --encrypt-key-file
        --json $common" -- "$cur"))
      ;;
    restore)
      COMPREPLY=($(compgen -W "--full --database --from --manifest --schema --target-datadir
        --staging-dir --replace --defaults-file --tool-dir --datadir --socket --user --as --table --dry-run
        --lock-wait-timeout --allow-orphans --encrypt-key-file --json --binlogs --until --until-gtid
        $common" -- "$cur"))
      ;;
    binlog-archive)
      COMPREPLY=($(compgen -W "--defaults-file --to --once $common" -- "$cur"))
      ;;
    verify)
      if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "--json --scratch-dir --tool-dir --encrypt-key-file $common" -- "$cur"))
      else
        _filedir -d
      fi
      ;;
    binlog-info | info | list)
      if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "--json $common" -- "$cur"))
      else
        _filedir -d
      fi
      ;;
    encode)
      COMPREPLY=($(compgen -W "--json $common" -- "$cur"))
      ;;
  esac
} &&
  complete -F _xbagent xbagent
