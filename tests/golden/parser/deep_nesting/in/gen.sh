# gen.sh N DIR: one file per kind of N-deep nesting under DIR/deep, and flat
# chains of N terms under DIR/flat.
n=$1; d=$2; mkdir -p "$d/deep" "$d/flat"
open_close() {  # file open close middle
  awk -v n="$n" -v o="$2" -v c="$3" -v m="$4" 'BEGIN {
    printf "fn f(a: Int) -> Int {\n  let x = "
    for (i = 0; i < n; i++) printf "%s", o
    printf "%s", m
    for (i = 0; i < n; i++) printf "%s", c
    printf "\n  return 1\n}\n" }' > "$1"
}
open_close "$d/deep/parens.vk" "(" ")" "a"
open_close "$d/deep/lists.vk" "[" "]" "a"
open_close "$d/deep/unary.vk" "- " "" "a"
open_close "$d/deep/nots.vk" "not " "" "true"
open_close "$d/deep/calls.vk" "" "()" "f"
open_close "$d/deep/interp.vk" "\"\${" "}\"" "a"
awk -v n="$n" 'BEGIN { printf "fn f(a: Int) {\n"; for (i = 0; i < n; i++) printf "if a > 0 {\n"
  printf "print_int(a)\n"; for (i = 0; i < n; i++) printf "}\n"; printf "}\n" }' > "$d/deep/blocks.vk"
awk -v n="$n" 'BEGIN { printf "fn f(a: Int) -> Int {\n  let x = a"; for (i = 1; i < n; i++) printf " + 1"
  printf "\n  return x\n}\n" }' > "$d/flat/sum.vk"
awk -v n="$n" 'BEGIN { printf "fn g(a: Int) -> Text {\n  let t = \"a\""; for (i = 1; i < n; i++) printf " .. a"
  printf "\n  return t\n}\n" }' > "$d/flat/concat.vk"
awk -v n="$n" 'BEGIN { printf "fn f(a: Int) -> Text {\n  let x = \""; for (i = 0; i < n; i++) printf "${a}"
  printf "\"\n  return x\n}\n" }' > "$d/flat/pieces.vk"
awk -v n="$n" 'BEGIN { printf "class P {\n  b: P\n}\nfn f(a: P) -> Int {\n  let p = a"; for (i = 1; i < n; i++) printf ".b"
  printf "\n  return 1\n}\n" }' > "$d/flat/fields.vk"
awk -v n="$n" 'BEGIN { printf "fn f(a: Int) -> Bool {\n  return a > 0"; for (i = 1; i < n; i++) printf " and a > %d", i
  printf "\n}\n" }' > "$d/flat/logic.vk"
