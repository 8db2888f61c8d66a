# fuzz_control_device <seconds> [libFuzzer options...]: builds the fuzzer
# (preset fuzz) and runs it over the saved corpus, then for the given time.
# New inputs go to a scratch directory; the saved corpus is only read.
fuzz_control_device() {
    local seconds=$1
    shift
    echo "=== fuzz build"
    cmake --preset fuzz >/dev/null
    cmake --build --preset fuzz --target control_device_fuzzer control_device_replay
    local scratch
    scratch=$(mktemp -d)
    echo "=== fuzzing the control device for ${seconds} s"
    build/fuzz/tests/control_device_fuzzer -max_total_time="$seconds" -timeout=30 \
        -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix=build/fuzz/ "$@" \
        "$scratch" tests/fuzz/corpus
    rm -rf "$scratch"
}
