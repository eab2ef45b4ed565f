#!/usr/bin/env bash
# Builds Quorvel and runs every test twice: in a release build, and in a build
# with the address and undefined-behaviour sanitizers. A test that skips says
# why after each run.
# Usage: scripts/test.sh            (from anywhere inside the checkout)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)

# CTest shows the output of failed tests only. The reasons of the skipped
# ones (those its summary lists as "Skipped") come from the log of the run.
# skip_reasons CTEST_OUTPUT BUILD_DIR
skip_reasons() {
  python3 - "$1" "$2/Testing/Temporary/LastTest.log" <<'EOF'
import re, sys
summary, log = (open(f, errors="replace").read() for f in sys.argv[1:3])
skipped = re.findall(r"^\s*\d+ - (.+) \(Skipped\)$", summary, re.M)
outputs = {}
for block in re.split(r"\n(?=\d+/\d+ Testing: )", log):
    name = re.match(r"\d+/\d+ Testing: (.*)", block)
    if name:
        outputs[name.group(1)] = block.split("Output:\n", 1)[-1].split("<end of output>", 1)[0]
reasons = {}
for name in skipped:
    lines = [l.strip() for l in outputs.get(name, "").splitlines() if l.strip() and set(l.strip()) != {"-"}]
    # GoogleTest puts the message after "file:line: Skipped"; a script says it last.
    after = [lines[i + 1] for i, l in enumerate(lines[:-1]) if l.endswith(": Skipped")]
    reasons.setdefault((after or lines[-1:] or ["no reason given"])[0], []).append(name)
for reason, names in reasons.items():
    shown = ", ".join(names[:3]) + (f" and {len(names) - 3} more" if len(names) > 3 else "")
    print(f"skipped: {shown}: {reason}")
EOF
}

# run_ctest BUILD_DIR: the tests, then why those that skipped did.
run_ctest() {
  local status=0 out
  out=$(mktemp)
  ctest --test-dir "$1" --output-on-failure -j "$jobs" | tee "$out" || status=$?
  skip_reasons "$out" "$1" || true
  rm -f "$out"
  return "$status"
}

echo "== release build =="
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$jobs"
run_ctest build

echo "== sanitizer build (address, undefined) =="
# The benchmarks have no test, so this build leaves them out.
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEL_SANITIZE=ON -DQUORVEL_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j "$jobs"
(
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  run_ctest build-asan
)
