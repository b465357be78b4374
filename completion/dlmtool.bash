# bash completion for dlmtool, ufw_make, dlminspect and dlmsim.
# Installed once per program name in bash-completion's completions directory,
# so whichever program is completed first loads all four. Plain bash: it works
# without the bash-completion package too (source this file).

# _dlm_words WORDS: the words that start with the current word.
_dlm_words() { COMPREPLY=($(compgen -W "$1" -- "$cur")); }
# _dlm_files [-d]: file names (or directory names only), quoted as names.
_dlm_files() {
  compopt -o filenames 2>/dev/null
  if [[ ${1:-} == -d ]]; then
    COMPREPLY=($(compgen -d -- "$cur"))
  else
    COMPREPLY=($(compgen -f -- "$cur"))
  fi
}
# _dlm_init: cur, prev, words and cword from the line being completed.
_dlm_init() {
  words=("${COMP_WORDS[@]}")
  cword=$COMP_CWORD
  cur=${words[cword]}
  prev=
  ((cword > 0)) && prev=${words[cword - 1]}
  COMPREPLY=()
}

# dlmtool: the first argument is the configuration; after -f files, after
# -resource directories (and the alignment), after -dev the chip families.
_dlmtool() {
  local cur prev words cword
  _dlm_init

  case $prev in
    -dev)
      # The families the working directory has a loader for, and the default.
      local fams=" zk40 " f
      for f in *loader.bin; do
        [[ -f $f && $fams != *" ${f%loader.bin} "* ]] && fams+="${f%loader.bin} "
      done
      _dlm_words "$fams"
      return ;;
    -format)
      _dlm_words 'vm cfg'
      return ;;
    -read | -wflash | -tosdram)
      _dlm_files
      return ;;
    -aline | -go | -boot | -runaddr | -wait | -port)
      return ;;
  esac

  if ((cword == 1)); then
    if [[ $cur == -* ]]; then
      _dlm_words '--help -h --version'
    else
      compopt -o filenames 2>/dev/null
      COMPREPLY=($(compgen -d -- "$cur") $(compgen -f -X '!*.cfg' -- "$cur"))
    fi
    return
  fi

  if [[ $cur == -* ]]; then
    _dlm_words '-f -resource -tonorflash -tonandflash -tosd -todisk
      -read -dev -port -strict -erase -format -tosdram -wflash -go -reboot -boot
      -runaddr -aline -div -w0 -w1 -w2 -ufwmode1 -ufwmode2 -ufwmode3
      -ufwmode4 -no_version -wait'
    return
  fi

  # A bare argument belongs to the last option before it.
  local i
  for ((i = cword - 1; i >= 2; i--)); do
    case ${words[i]} in
      -f) _dlm_files; return ;;
      -resource) _dlm_files -d; return ;;
      -tosdram) _dlm_files; return ;;
      -*) return ;;
    esac
  done
}
complete -F _dlmtool dlmtool dlmtool.exe

_ufw_make() {
  local cur prev words cword
  _dlm_init
  case $prev in
    -fi | -fo) _dlm_files; return ;;
    -mode) _dlm_words '1 2 3 4'; return ;;
    -ld | -rd | -ver | -len) return ;;
  esac
  _dlm_words '-fi -fo -ld -rd -mode -ver -len -no_version --version'
}
complete -F _ufw_make ufw_make ufw_make.exe

_dlminspect() {
  local cur prev words cword
  _dlm_init
  case $prev in
    --extract) _dlm_files -d; return ;;
    --key) return ;;
  esac
  if [[ $cur == -* ]]; then
    _dlm_words '--json --extract --key --compare --help -h --version'
    return
  fi
  _dlm_files
}
complete -F _dlminspect dlminspect dlminspect.exe

_dlmsim() {
  local cur prev words cword
  _dlm_init
  case $prev in
    --socket | --trace | --dump) _dlm_files; return ;;
    --state | --ffs) _dlm_files -d; return ;;
    --medium) _dlm_words 'nor nand sd'; return ;;
    --family | --decoy-usb | --decoy-sata | --flash-id | --transfer-size | --fault | --link-model | --chips | --chip) return ;;
  esac
  if [[ $cur == -* ]]; then
    _dlm_words '--socket --ffs --family --decoy-usb --decoy-sata
      --no-chip --chips --loader-mode --medium --flash-id --transfer-size --state
      --dump --fault --trace --link-model --realtime --help -h --version'
  elif ((cword == 1)); then
    _dlm_words 'dump shutdown unplug plug'
  else
    _dlm_files
  fi
}
complete -F _dlmsim dlmsim
