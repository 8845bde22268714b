#!/usr/bin/env bash
# Script interpreter against Lua 5.4, same programs, same run:
#   fib        recursive fib(27)
#   count_fused / count_plain
#              a counting loop of 10 million steps with the fused numeric
#              instruction and without it (the same Lua loop for both)
#   method_calls
#              1 million method calls on a script class (fused call)
#   strings    string building, 20000 appends
#   tak        three-parameter recursion tak(26, 18, 9)
#   closure    a function value with a bound argument, 3 million calls in a loop
#   mandel     float loop: mandelbrot escape counts over a 640 x 640 grid
#   mandel_wide
#              the same float loop written with longer expressions (9 to 13
#              items each in the inner loop)
#   json_sum   fields of 1000 json objects summed, 10000 passes
#   method_generic
#              3 million method calls on a script class (generic call)
#   split_join string split at "," and joined with ";", 100000 times
# Prints the time of each side in seconds and the ratio lumio/Lua. Each lumio
# program must print the result its Lua script prints (checked once per run).
#
# The lumio side runs the .lasm files with `lumio run` when that command is
# available (times are wall clock minus the start-up of an empty program, best
# of REPEAT runs); otherwise it runs the same programs built with the C++ block
# builder (bench_script_vm, timed inside the process; only the first five
# programs have a builder version).
#
# Usage: bench/script/run.sh [BUILD_DIR]     (default: build; REPEAT=5)
# Targets: count_fused <= 1.0, method_calls <= 1.0, count_plain <= 2.0, every other program <= 1.5.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build="${1:-${BUILD_DIR:-$root/build}}"
repeat="${REPEAT:-5}"
programs=(fib count_fused count_plain method_calls strings tak closure mandel mandel_wide json_sum method_generic
    split_join)

if ! command -v lua5.4 >/dev/null 2>&1; then
    echo "lua5.4 not found; installing Debian's lua5.4" >&2
    sudo_cmd=""
    if [ "$(id -u)" -ne 0 ]; then sudo_cmd="sudo"; fi
    $sudo_cmd apt-get install -y lua5.4 >/dev/null || {
        $sudo_cmd apt-get update >/dev/null && $sudo_cmd apt-get install -y lua5.4 >/dev/null
    }
fi

lumio="$build/host/lumio"
module="$build/liblumio_std.so"
bench_bin="$build/bench/bench_script_vm"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

now() { date +%s.%N; }

# Best wall-clock time of a command over $repeat runs.
best_of() {
    local best=""
    for _ in $(seq "$repeat"); do
        local t0 t1
        t0=$(now)
        "$@" >"$tmp/out" 2>"$tmp/err"
        t1=$(now)
        best=$(echo "$t0 $t1 ${best:-1e9}" | awk '{d = $2 - $1; print (d < $3 ? d : $3)}')
    done
    echo "$best"
}

use_lumio=0
printf '.program "empty"\n.block main kind=top slots=0\n.end\n' >"$tmp/empty.lasm"
if [ -x "$lumio" ] && [ -f "$module" ] && "$lumio" run "$tmp/empty.lasm" --module "$module" >/dev/null 2>&1; then
    use_lumio=1
fi
if [ "$use_lumio" = 0 ] && [ ! -x "$bench_bin" ]; then
    echo "neither 'lumio run' nor $bench_bin is available (build the lumio and bench_script_vm targets)" >&2
    exit 1
fi

declare -A lumio_time lua_time
if [ "$use_lumio" = 1 ]; then
    echo "lumio side: lumio run FILE.lasm (wall clock minus empty-program start-up)"
    base=$(best_of "$lumio" run "$tmp/empty.lasm" --module "$module")
    for p in "${programs[@]}"; do
        got=$("$lumio" run "$here/$p.lasm" --module "$module" | head -n 1)
        want=$(lua5.4 "$here/$p.lua" | awk 'NR == 1 {print $2}')
        # strings: lumio prints the text, Lua its length
        if [ "$p" = strings ]; then got=${#got}; fi
        if [ "$got" != "$want" ]; then
            echo "$p: lumio prints '$got', Lua prints '$want'" >&2
            exit 1
        fi
        t=$(best_of "$lumio" run "$here/$p.lasm" --module "$module")
        lumio_time[$p]=$(echo "$t $base" | awk '{d = $1 - $2; print (d > 0 ? d : 0)}')
    done
else
    echo "lumio side: bench_script_vm (the same programs built with the C++ block builder)"
    programs=(fib count_fused count_plain method_calls strings)
    while read -r name secs _; do
        lumio_time[$name]=$secs
    done < <("$bench_bin" --repeat "$repeat" "${programs[@]}")
fi

echo "Lua side: lua5.4 (time measured inside the script, best of $repeat)"
for p in "${programs[@]}"; do
    best=""
    for _ in $(seq "$repeat"); do
        t=$(lua5.4 "$here/$p.lua" | awk 'NR == 1 {print $1}')
        best=$(echo "$t ${best:-1e9}" | awk '{print ($1 < $2 ? $1 : $2)}')
    done
    lua_time[$p]=$best
done

printf '\n%-14s %10s %10s %8s %8s\n' program lumio_s lua_s ratio target
declare -A target=([fib]=1.5 [count_fused]=1.0 [count_plain]=2.0 [method_calls]=1.0 [strings]=1.5 [tak]=1.5
    [closure]=1.5 [mandel]=1.5 [mandel_wide]=1.5 [json_sum]=1.5 [method_generic]=1.5 [split_join]=1.5)
for p in "${programs[@]}"; do
    printf '%-14s %10.4f %10.4f %8.2f %8s\n' "$p" "${lumio_time[$p]}" "${lua_time[$p]}" \
        "$(echo "${lumio_time[$p]} ${lua_time[$p]}" | awk '{print ($2 > 0 ? $1 / $2 : 0)}')" "${target[$p]}"
done
