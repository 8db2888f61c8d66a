# Shared by run-demo and run-tests: install what the build needs, then build.

# Debian packages the build and the tests use.
VELMORA_PACKAGES="cmake ninja-build g++ googletest libgtest-dev libbenchmark-dev e2fsprogs fdisk libcli11-dev clang libclang-rt-dev libfuse3-dev fuse3 fio nlohmann-json3-dev libpng-dev libzstd-dev libxxhash-dev"

ensure_packages() {
    local missing=()
    for p in $VELMORA_PACKAGES; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing missing packages: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
}

# build_preset <preset>: configure and build one of the CMake presets.
build_preset() {
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1"
}
