#!/usr/bin/env bash
# Runs the per-item work of bench_kernel_scalar (saxpy and compute_loop over
# 10 million items) as Lua 5.4 loops over arrays, runs the benchmark binary,
# and prints ns per item of both and how many times faster the scalar
# interpreter is.
#
# Usage: bench/kernel_scalar_lua.sh [path/to/bench_kernel_scalar]
#        (default: $BUILD_DIR/bench/bench_kernel_scalar, BUILD_DIR=build)
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
bench_bin="${1:-${BUILD_DIR:-$here/../build}/bench/bench_kernel_scalar}"

if ! command -v lua5.4 >/dev/null 2>&1; then
    echo "lua5.4 not found; installing Debian's lua5.4" >&2
    sudo_cmd=""
    if [ "$(id -u)" -ne 0 ]; then sudo_cmd="sudo"; fi
    $sudo_cmd apt-get install -y lua5.4 >/dev/null || {
        $sudo_cmd apt-get update >/dev/null && $sudo_cmd apt-get install -y lua5.4 >/dev/null
    }
fi
if [ ! -x "$bench_bin" ]; then
    echo "benchmark binary not found: $bench_bin (build the bench_kernel_scalar target)" >&2
    exit 1
fi

lua_out="$(lua5.4 - <<'LUA'
local N = 10000000
local clock = os.clock

-- saxpy: y[i] = a * x[i] + y[i]
local x, y = {}, {}
for i = 1, N do x[i] = ((i - 1) % 1000) * 0.001; y[i] = 1.0 end
local a = 0.5
local best = math.huge
for rep = 1, 3 do
  local t0 = clock()
  for i = 1, N do y[i] = a * x[i] + y[i] end
  local t = clock() - t0
  if t < best then best = t end
end
print(string.format("RESULT saxpy lua_ns_per_item=%.4f", best * 1e9 / N))
x, y = nil, nil
collectgarbage()

-- compute_loop: 5 rounds of h ^= h >> 29; h *= K; acc += (h >> 11) * 2^-53
local out = {}
for i = 1, N do out[i] = 0.0 end
local K = 0x9E3779B97F4A7C15
local C = 1.0 / 9007199254740992.0
best = math.huge
for rep = 1, 3 do
  local t0 = clock()
  for g = 0, N - 1 do
    local h = g
    local acc = 0.0
    for i = 1, 5 do
      h = h ~ (h >> 29)
      h = h * K
      acc = acc + (h >> 11) * C
    end
    out[g + 1] = acc
  end
  local t = clock() - t0
  if t < best then best = t end
end
print(string.format("RESULT compute_loop lua_ns_per_item=%.4f", best * 1e9 / N))
LUA
)"

bench_out="$("$bench_bin" --benchmark_repetitions=3 --benchmark_color=false 2>/dev/null)"
echo "$bench_out" | grep -v '^RESULT'
echo

{ echo "$lua_out"; echo "$bench_out" | grep '^RESULT'; } | awk '
    /^RESULT/ {
        name = $2
        for (i = 3; i <= NF; ++i) { split($i, kv, "="); v[name, kv[1]] = kv[2] }
        if (!(name in seen)) { seen[name] = 1; order[++n] = name }
    }
    END {
        printf "%-14s %14s %16s %14s %18s\n", "program", "lua ns/item", "interp ns/item", "c++ ns/item", "interp vs lua (x)"
        for (i = 1; i <= n; ++i) {
            k = order[i]; l = v[k, "lua_ns_per_item"]; s = v[k, "interp_ns_per_item"]; c = v[k, "cpp_ns_per_item"]
            printf "%-14s %14.3f %16.3f %14.3f %18.2f\n", k, l, s, c, (s > 0 ? l / s : 0)
        }
    }'
