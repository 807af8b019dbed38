# Sourced by the project, build and deps golden scripts: a quiet git with
# reproducible commit hashes, library repositories to depend on, and helpers
# that show each run's messages and status.
export GIT_CONFIG_NOSYSTEM=1 GIT_CONFIG_GLOBAL=/dev/null HOME="$PWD"
export GIT_AUTHOR_NAME=vk GIT_AUTHOR_EMAIL=vk@example.invalid
export GIT_COMMITTER_NAME=vk GIT_COMMITTER_EMAIL=vk@example.invalid
export GIT_AUTHOR_DATE='2026-01-01T00:00:00+0000' GIT_COMMITTER_DATE='2026-01-01T00:00:00+0000'
unset VK_RUNTIME GIT_DIR GIT_WORK_TREE
umask 022
REAL_GIT=$(command -v git)

# run CMD...: the command's standard error and output, then its status.
run() {
  "$@" 2>&1
  echo "[status $?]"
}

# library DIR NAME [SOURCE]: a repository holding a library project NAME
# with one commit tagged v1.
library() {
  mkdir -p "$1"
  (
    cd "$1" || exit 1
    "$REAL_GIT" init -q -b main .
    printf 'name = "%s"\nkind = "library"\n' "$2" >vk.toml
    printf '%s\n' "${3:-pub fn answer() -> Int { return 42 \}}" >lib.vk
    "$REAL_GIT" add -A && "$REAL_GIT" commit -q -m v1 && "$REAL_GIT" tag v1
  )
}

# commit DIR MESSAGE: commits whatever changed in DIR (empty commits too).
commit() {
  (cd "$1" && "$REAL_GIT" add -A && "$REAL_GIT" commit -q --allow-empty -m "$2")
}

# log_git: from now on `git` on PATH appends each argument list, one line,
# to $PWD/git.log before running the real git. With FAIL_REV_PARSE set,
# `rev-parse` fails.
log_git() {
  mkdir -p "$PWD/logbin"
  cat >"$PWD/logbin/git" <<SCRIPT
#!/bin/sh
printf '%s\n' "\$*" >>'$PWD/git.log'
case " \$* " in *" rev-parse "*) [ -n "\$FAIL_REV_PARSE" ] && exit 1 ;; esac
exec '$REAL_GIT' "\$@"
SCRIPT
  chmod +x "$PWD/logbin/git"
  PATH="$PWD/logbin:$PATH"
  : >git.log
}

# show_log: the git commands run since the last show_log.
show_log() {
  sed 's/^/  git /' git.log
  : >git.log
}

# runtime FILE: a stand-in for the runtime executable (the build only copies it).
runtime() {
  printf 'stand-in runtime\0%s\n' "$1" >"$1"
}

# check_exe EXE RUNTIME IMAGE: prints the executable's permission bits and
# whether it is exactly RUNTIME's bytes, IMAGE's bytes and a trailer holding
# their sizes and VBT1.
check_exe() {
  rt_len=$(wc -c <"$2")
  img_len=$(wc -c <"$3")
  fields=$(tail -c 20 "$1" | od -An -t d8 -N 16 | tr -s ' \n' '  ')
  verdict=ok
  [ "$fields" = " $rt_len $img_len " ] || verdict="trailer fields$fields"
  [ "$(tail -c 4 "$1")" = VBT1 ] || verdict="no magic"
  [ "$(wc -c <"$1")" -eq $((rt_len + img_len + 20)) ] || verdict="size $(wc -c <"$1")"
  head -c "$rt_len" "$1" | cmp -s - "$2" || verdict="runtime part differs"
  tail -c +$((rt_len + 1)) "$1" | head -c "$img_len" | cmp -s - "$3" || verdict="image part differs"
  echo "$1: mode $(stat -c %a "$1"), $verdict"
}
