# Sourced by the benchmark scripts: a Release build of the given targets in
# build-bench, kept apart from the test builds.
# The program runs headless in every benchmark.
export QT_QPA_PLATFORM=offscreen

bench_build() {
    cd "$(dirname "${BASH_SOURCE[0]}")/.."
    build=build-bench
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DRUDAZ_TESTS=OFF >/dev/null
    cmake --build "$build" --target "$@" >/dev/null
}

# CPU time (user + system, in clock ticks) of the given processes together.
cpu_ticks() {
    local total=0 p
    for p in "$@"; do total=$((total + $(awk '{print $14 + $15}' "/proc/$p/stat"))); done
    echo "$total"
}

# CPU ticks the given processes spend in the next $seconds seconds.
cpu_over_period() {
    local before after
    before=$(cpu_ticks "$@")
    sleep "$seconds"
    after=$(cpu_ticks "$@")
    echo $((after - before))
}

# RESULT lines for ours against the peers' CPU in one run:
# report_cpu <our figure> <our ticks> <peers' figure> <peers' ticks> <ratio figure>
report_cpu() {
    local hz
    hz=$(getconf CLK_TCK)
    awk -v a="$2" -v hz="$hz" -v n="$1" 'BEGIN { printf "RESULT %s %.2f s\n", n, a / hz }'
    awk -v a="$4" -v hz="$hz" -v n="$3" 'BEGIN { printf "RESULT %s %.2f s\n", n, a / hz }'
    awk -v a="$2" -v b="$4" -v n="$5" 'BEGIN { printf "RESULT %s %.3f x\n", n, (b > 0 ? a / b : 0) }'
}
