# The kernels CI covers. The whole suite runs on the oldest, a middle and the
# newest (and the newest also under the sanitizers); every other series gets
# a smoke run: load, a full and an incremental backup verified, and the
# agent's probe answered as in every build. The uniprocessor and Xen flavours
# are among them.
FULL_PRESETS=(default asan tsan k2612 k2625)
SMOKE_RELEASES=(
    2.6.12-1.1381_FC3smp
    2.6.17-1.2142_FC4
    2.6.18-1.2200.fc5
    2.6.19-1.2288.fc5
    2.6.20-1.2320.fc5xen
    2.6.21-1.3194.fc7kdump
    2.6.22.4-45.fc6
    2.6.23.14-107.fc8
    2.6.24.3-34.fc8
    2.6.25.3-2.fc9.x86_64.xen
    2.6.26.8-57.fc8
    2.6.27.29-170.2.79.fc10.x86_64
    2.6.29.6-217.2.8.fc11.x86_64
    2.6.30.8-64.fc11.x86_64
)
