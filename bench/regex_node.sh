#!/usr/bin/env bash
# Runs the log-corpus cases and the growth cases of bench_regex with Node's
# RegExp on the same inputs (written by `bench_regex --export`), in the same
# run, and prints both times and the ratio Node time / engine time (> 1: the
# engine is faster). Each Node case runs in its own process with a time limit,
# since a backtracking RegExp is quadratic or exponential on the growth cases.
# Without node (Debian package nodejs) it prints the engine's times only.
#
# Usage: bench/regex_node.sh [path/to/bench_regex]
#        (default: $BUILD_DIR/bench/bench_regex, BUILD_DIR=build)
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
bench_bin="${1:-${BUILD_DIR:-$here/../build}/bench/bench_regex}"
if [ ! -x "$bench_bin" ]; then
    echo "benchmark binary not found: $bench_bin (build the bench_regex target)" >&2
    exit 1
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
"$bench_bin" --export "$work"

node_bin="$(command -v node || command -v nodejs || true)"
if [ -z "$node_bin" ]; then
    echo
    echo "node not found (Debian package nodejs): the Node comparison is skipped."
    exit 0
fi

echo
echo "Node $("$node_bin" --version) RegExp on the same inputs (fastest of 5, or of 1 when slow; limit ${NODE_CASE_LIMIT:-20} s per case):"
"$node_bin" - "$work" "${NODE_CASE_LIMIT:-20}" <<'JS'
const fs = require('fs');
const { spawnSync } = require('child_process');
const [dir, limitSeconds] = process.argv.slice(2);

// One case in a child process: prints "<best ms> <result>".
const child = `
const fs = require('fs');
const [dir, kind, pattern, replacement, file] = process.argv.slice(1);
const text = fs.readFileSync(dir + '/' + file, 'latin1');
const once = new RegExp(pattern);
const all = new RegExp(pattern, 'g');
function run() {
  if (kind === 'search') return text.search(once);
  if (kind === 'replace') return text.replace(all, replacement).length;
  let n = 0, m;
  all.lastIndex = 0;
  while ((m = all.exec(text)) !== null) {
    ++n;
    if (m[0].length === 0) ++all.lastIndex;
  }
  return n;
}
let best = Infinity, result;
for (let i = 0; i < 5; ++i) {
  const t0 = process.hrtime.bigint();
  result = run();
  const ms = Number(process.hrtime.bigint() - t0) / 1e6;
  best = Math.min(best, ms);
  if (ms > 1000) break;
}
console.log(best + ' ' + result);
`;

const rows = fs.readFileSync(dir + '/cases.tsv', 'latin1').trim().split('\n').map((l) => l.split('\t'));
const pad = (s, n) => String(s).padEnd(n);
console.log(`  ${pad('case', 34)} ${pad('engine ms', 12)} ${pad('node ms', 12)} node/engine`);
let corpusWorst = Infinity;
for (const [name, kind, pattern, replacement, file, engineMs, engineResult] of rows) {
  const r = spawnSync(process.execPath, ['-e', child, dir, kind, pattern, replacement, file], {
    timeout: Number(limitSeconds) * 1000,
    encoding: 'latin1',
  });
  const engine = Number(engineMs);
  if (r.error || r.status !== 0) {
    const why = r.error && r.error.code === 'ETIMEDOUT' ? `> ${limitSeconds * 1000}` : 'failed';
    console.log(`  ${pad(name, 34)} ${pad(engine.toFixed(3), 12)} ${pad(why, 12)} > ${(limitSeconds * 1000 / engine).toFixed(0)}x`);
    continue;
  }
  const [nodeMs, nodeResult] = r.stdout.trim().split(' ');
  const ratio = Number(nodeMs) / engine;
  if (name.startsWith('log ')) corpusWorst = Math.min(corpusWorst, ratio);
  const same = nodeResult === engineResult ? '' : `  (results differ: node ${nodeResult}, engine ${engineResult})`;
  console.log(`  ${pad(name, 34)} ${pad(engine.toFixed(3), 12)} ${pad(Number(nodeMs).toFixed(3), 12)} ${ratio.toFixed(2)}x${same}`);
}
if (corpusWorst !== Infinity)
  console.log(`\nLog corpus: the engine takes at most ${(1 / corpusWorst).toFixed(2)}x Node's time (target: 3x).`);
JS
