# smoke_release <release>: builds the kernel, the module, the demo and the
# probe for one release, runs the demo (load, full and incremental backup,
# each verified) and checks the probe's answers.
smoke_release() {
    local rel="$1" dir="build/smoke/$1"
    echo "=== smoke run: kernel $rel"
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVELMORA_KERNEL_RELEASE="$rel" >/dev/null
    cmake --build "$dir" --target velmora velmora-demo velmora-abi-probe
    "$dir/programs/velmora-demo" >"$dir/demo.log" 2>&1 || {
        cat "$dir/demo.log"
        echo "smoke run of $rel: the demo failed"
        return 1
    }
    "$dir/tests/velmora-abi-probe" "$dir/driver/velmora.ko" >"$dir/abi-answers.txt"
    diff -u tests/abi/expected.txt "$dir/abi-answers.txt" || {
        echo "smoke run of $rel: the agent's probe got other answers"
        return 1
    }
}
