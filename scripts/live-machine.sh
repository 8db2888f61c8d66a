# Shared by scripts/live-demo and bench/live_write_bench: a live machine in a
# directory, with one image disk whose partition the host formats and mounts.
#
# live_machine_start DIR BUILD MKFS_OPTIONS [VELMORAD_OPTIONS...]
#   DIR/disk.img must exist. Starts velmorad on it (socket DIR/control.sock,
#   export DIR/export, log DIR/kernel.log), then the host formats sda1 with
#   mkfs.ext4 MKFS_OPTIONS through a loop device and mounts it on DIR/mnt.
#   With the module loaded it waits until velmorad follows the mount, so a
#   snapshot's freeze freezes it. Sets LIVE_PID and LIVE_LOOP; returns 1 on
#   failure.
# live_machine_stop DIR: the host lets go, then velmorad stops.
live_machine_start() {
    local dir=$1 build=$2 mkfs_options=$3
    shift 3
    mkdir -p "$dir/export" "$dir/mnt"
    "$build/programs/velmorad" --image "$dir/disk.img" --socket "$dir/control.sock" \
        --export "$dir/export" --log "$dir/kernel.log" "$@" >/dev/null &
    LIVE_PID=$!
    for _ in $(seq 300); do
        [ -e "$dir/export/sda1" ] && [ -e "$dir/control.sock" ] && break
        sleep 0.05
    done
    LIVE_LOOP=$(losetup -f --show "$dir/export/sda1") || return 1
    # shellcheck disable=SC2086  # the options are words
    mkfs.ext4 -q $mkfs_options "$LIVE_LOOP" || return 1
    mount -t ext4 "$LIVE_LOOP" "$dir/mnt" || return 1
    case " $* " in *" --no-module "*) return 0 ;; esac
    for _ in $(seq 200); do
        grep -q 'freeze the host' "$dir/kernel.log" && return 0
        sleep 0.02
    done
    return 1
}

live_machine_stop() {
    local dir=$1
    mountpoint -q "$dir/mnt" && umount "$dir/mnt"
    [ -n "${LIVE_LOOP:-}" ] && losetup -d "$LIVE_LOOP"
    LIVE_LOOP=""
    [ -n "${LIVE_PID:-}" ] && kill -TERM "$LIVE_PID" 2>/dev/null && wait "$LIVE_PID"
    LIVE_PID=""
}
