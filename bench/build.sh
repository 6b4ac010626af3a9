# Sourced by the benchmark scripts: a Release build of the given targets in
# build-bench, kept apart from the test builds.
bench_build() {
    cd "$(dirname "${BASH_SOURCE[0]}")/.."
    build=build-bench
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DRUDAZ_TESTS=OFF >/dev/null
    cmake --build "$build" --target "$@" >/dev/null
}
