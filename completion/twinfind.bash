# bash completion for twinfind, installed as
# share/bash-completion/completions/twinfind: the options, directories for
# a PATH, files and directories for the FILE of -F, nothing for the COUNT
# of -C or the DEPTH of -L.

_twinfind() {
  local current=${COMP_WORDS[COMP_CWORD]} word pending='' ended='' i
  # What the words before this one leave open, as the program reads them:
  # letters of options without a parameter are those options together, the
  # last maybe -C, -F or -L (-AL); any other word counts by the letter after
  # the '-'; "--" ends the options, and -C, -F or -L wait for the next word
  # even across the "--".
  local flags='[VvAaEeSsRrUuJjHh]'
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    if [[ -z $ended && $word == -?* ]]; then
      if [[ $word =~ ^-$flags+[CcFfLl]$ ]]; then
        pending=${word: -1}
        continue
      fi
      case $word in
        --) ended=1 ;;
        -[CcFfLl]*) pending=${word:1:1} ;;
        *) pending='' ;;
      esac
    else
      pending=''
    fi
  done

  case $pending in
    [CcLl]) COMPREPLY=() ;;
    [Ff]) mapfile -t COMPREPLY < <(compgen -f -- "$current") ;;
    *)
      if [[ -z $ended && $current == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W '-V -C -F -A -E -S -R -L -U -J -H --help --version --' -- "$current")
      else
        mapfile -t COMPREPLY < <(compgen -d -- "$current")
      fi
      ;;
  esac
}

complete -o filenames -F _twinfind twinfind
