#!/usr/bin/env bash
# Cross-builds the library and the C++ tests for aarch64 in build-arm64
# (cmake/aarch64-toolchain.cmake) and runs the tests under qemu-aarch64
# through ctest. On aarch64 `char` is unsigned, so a test that fails here and
# passes on x86-64 points at a real fault. Prints the stripped size of the
# arm64 libQuonRiskComm.so.
#
# Installs, as root, what is missing: the cross toolchain, qemu-user and the
# arm64 -dev packages (after enabling the arm64 architecture for dpkg).
set -euo pipefail
. "$(dirname "$0")/common.sh"

ARM64_DEBS=(crossbuild-essential-arm64 qemu-user zlib1g-dev:arm64 libminizip-dev:arm64
  libprotobuf-c-dev:arm64 libgtest-dev:arm64 libssl-dev:arm64)

ensure_debs "${RISK_DEBS[@]}"
ensure_node  # the N-API headers: plain C declarations, the same for every architecture
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  [ "$(id -u)" -eq 0 ] || { echo "Run as root: dpkg --add-architecture arm64" >&2; exit 1; }
  log "enabling the arm64 architecture for dpkg"
  dpkg --add-architecture arm64
fi
ensure_debs "${ARM64_DEBS[@]}"

dir="$ROOT/build-arm64"
build build-arm64 -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/aarch64-toolchain.cmake" \
  -DNODE_API_INCLUDE_DIR=/usr/include/node

machine=$(readelf -h "$dir/libQuonRiskComm.so" | sed -n 's/^ *Machine: *//p')
[ "$machine" = "AArch64" ] || { echo "built for '$machine', not AArch64" >&2; exit 1; }
aarch64-linux-gnu-strip -o "$dir/libQuonRiskComm.stripped.so" "$dir/libQuonRiskComm.so"
log "arm64 libQuonRiskComm.so: $(stat -c %s "$dir/libQuonRiskComm.stripped.so") bytes stripped" \
  "($(stat -c %s "$dir/libQuonRiskComm.so") unstripped)"

log "C++ tests on aarch64 under qemu"
export QEMU_LD_PREFIX=/usr/aarch64-linux-gnu
ctest --test-dir "$dir" --output-on-failure -j2
