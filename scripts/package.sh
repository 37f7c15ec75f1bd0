#!/usr/bin/env bash
# Builds the npm package quon-risk-comm into dist/: release builds of
# libQuonRiskComm.so for linux-x64 and linux-arm64 (cross-built) in
# prebuilds/<platform>-<arch>/, the JavaScript, the types, the README and
# the licence and the test kit (the token service's development mode with
# its store in memory); no tests, no database store or driver. Then, by
# scripts/package-node.sh, the two packages of pure JavaScript beside it:
# the backend's half (quon-risk-comm-server) and the token service
# (quon-risk-service, with its database drivers and its risk command).
#
# The binaries link minizip and protobuf-c in and need only what every
# Debian 12 system has (libc6, libstdc++6, libgcc-s1, zlib1g). Debian's
# libminizip.a is position-independent and is used as it is; its
# libprotobuf-c.a is not, so the runtime is compiled here, with -fPIC, from
# Debian's own source package of the installed version (fetched with
# apt-get source through a private source list in build-package/apt; the
# system's apt configuration is not touched).
#
# Installs, as root, what is missing: the build packages, the arm64 cross
# toolchain and -dev packages (after enabling the arm64 architecture), qemu
# (to list the arm64 binary's libraries) and dpkg-dev. Work directories:
# build-package/ (sources, the two release builds, the package staging).
#
#   scripts/package.sh              the packages, in dist/
#   scripts/package.sh --binaries   the two stripped binaries only, in
#                                   build-package/stage/prebuilds/ (what
#                                   scripts/bench.sh sizes and measures)
set -euo pipefail
shopt -s inherit_errexit
. "$(dirname "$0")/common.sh"

binaries_only=0
for arg in "$@"; do
  case "$arg" in
    --binaries) binaries_only=1 ;;
    *) echo "usage: $0 [--binaries]" >&2; exit 2 ;;
  esac
done

PACKAGE_DEBS=(dpkg-dev crossbuild-essential-arm64 qemu-user zlib1g-dev:arm64
  libminizip-dev:arm64 libprotobuf-c-dev:arm64)
# The libraries a package binary may need: present on every Debian 12.
ALLOWED_NEEDED='^(libc\.so\.6|libm\.so\.6|libstdc\+\+\.so\.6|libgcc_s\.so\.1|libz\.so\.1|ld-linux-(x86-64|aarch64)\.so\.[12])$'

work="$ROOT/build-package"
dist="$ROOT/dist"

ensure_debs "${RISK_DEBS[@]}"
ensure_node
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  [ "$(id -u)" -eq 0 ] || { echo "Run as root: dpkg --add-architecture arm64" >&2; exit 1; }
  log "enabling the arm64 architecture for dpkg"
  dpkg --add-architecture arm64
fi
ensure_debs "${PACKAGE_DEBS[@]}"
ensure_npm

# protobuf_c_source: unpacks Debian's source of the installed protobuf-c
# into $work/src/protobuf-c (once per version).
PROTOBUF_C_SRC="$work/src/protobuf-c"
protobuf_c_source() {
  local version dir="$PROTOBUF_C_SRC" apt="$work/apt"
  version=$(dpkg-query -W -f='${source:Version}' "libprotobuf-c-dev:$(dpkg --print-architecture)")
  if [ -f "$dir/.version" ] && [ "$(cat "$dir/.version")" = "$version" ]; then return 0; fi
  log "fetching Debian's source of protobuf-c $version"
  mkdir -p "$apt/lists/partial" "$work/src"
  local codename
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  printf 'deb-src http://deb.debian.org/debian %s main\ndeb-src http://deb.debian.org/debian-security %s-security main\n' \
    "$codename" "$codename" >"$apt/sources.list"
  local aptopts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
    -o "Dir::State::Lists=$apt/lists" -o APT::Sandbox::User=root -qq)
  apt-get "${aptopts[@]}" update >/dev/null
  rm -rf "$dir" "$work/src/download"
  mkdir -p "$work/src/download"
  (cd "$work/src/download" && apt-get "${aptopts[@]}" source --download-only "protobuf-c=$version" >/dev/null)
  dpkg-source -x "$work/src/download"/protobuf-c_*.dsc "$dir" >/dev/null
  echo "$version" >"$dir/.version"
}

# pic_protobuf_c CC AR OUT: the protobuf-c runtime as a PIC static archive.
pic_protobuf_c() {
  local cc=$1 ar=$2 out=$3 src="$PROTOBUF_C_SRC"
  protobuf_c_source
  mkdir -p "$(dirname "$out")"
  "$cc" -O2 -fPIC -fvisibility=hidden -fstack-protector-strong -D_FORTIFY_SOURCE=2 \
    -I"$src/protobuf-c" -c "$src/protobuf-c/protobuf-c.c" -o "$out.o"
  rm -f "$out"
  "$ar" rcs "$out" "$out.o"
}

# release ARCH TRIPLET CC AR STRIP [cmake args...]: builds and strips one
# binary into $work/stage/prebuilds/linux-ARCH/.
release() {
  local arch=$1 triplet=$2 cc=$3 ar=$4 strip=$5; shift 5
  local dir="build-package/$arch" archive="$work/$arch-deps/libprotobuf-c-pic.a"
  pic_protobuf_c "$cc" "$ar" "$archive"
  # Link-time optimization: across the library's many small translation
  # units it inlines and folds what one file alone cannot (about 11% of the
  # binary).
  build "$dir" -DCMAKE_BUILD_TYPE=Release -DRISK_BUILD_TESTS=OFF \
    -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=ON \
    -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON \
    -DRISK_MINIZIP_ARCHIVE="/usr/lib/$triplet/libminizip.a" \
    -DRISK_PROTOBUFC_ARCHIVE="$archive" "$@"
  local out="$work/stage/prebuilds/linux-$arch"
  mkdir -p "$out"
  "$strip" --strip-unneeded -o "$out/libQuonRiskComm.so" "$ROOT/$dir/libQuonRiskComm.so"
  local lib needed
  needed=$(readelf -d "$out/libQuonRiskComm.so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  for lib in $needed; do
    if ! [[ "$lib" =~ $ALLOWED_NEEDED ]]; then
      echo "linux-$arch binary needs $lib, which a plain Debian 12 lacks" >&2
      exit 1
    fi
  done
  log "linux-$arch: $(stat -c %s "$out/libQuonRiskComm.so") bytes, needs $(echo $needed)"
}

rm -rf "$work/stage"
mkdir -p "$work/stage"
release x64 x86_64-linux-gnu gcc ar strip
release arm64 aarch64-linux-gnu aarch64-linux-gnu-gcc aarch64-linux-gnu-ar aarch64-linux-gnu-strip \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/aarch64-toolchain.cmake" -DNODE_API_INCLUDE_DIR=/usr/include/node

if [ "$binaries_only" -eq 1 ]; then
  log "binaries in $work/stage/prebuilds"
  exit 0
fi

log "libraries of the binaries"
ldd "$work/stage/prebuilds/linux-x64/libQuonRiskComm.so"
qemu-aarch64 -L /usr/aarch64-linux-gnu /usr/aarch64-linux-gnu/lib/ld-linux-aarch64.so.1 \
  --list "$work/stage/prebuilds/linux-arm64/libQuonRiskComm.so"

# The package: js/ without its tests and modules, the message schema the
# JavaScript wire code reads, the licence; package.json's "files" decides
# what of it goes into the tarball.
log "packing"
tar -C "$ROOT/js" --exclude=./node_modules --exclude=./test --exclude=./prebuilds --exclude=./service/node_modules -cf - . \
  | tar -C "$work/stage" -xf -
cp "$ROOT/core/risk.proto" "$work/stage/lib/risk.proto"
cp "$ROOT/LICENSE" "$work/stage/LICENSE"
mkdir -p "$dist"
tarball=$(cd "$work/stage" && npm pack --silent --pack-destination "$dist")
tar -tzf "$dist/$tarball" | sort
if tar -tzf "$dist/$tarball" | grep -q '^package/test/'; then
  echo "the tarball carries tests" >&2
  exit 1
fi
log "dist/$tarball: $(stat -c %s "$dist/$tarball") bytes"

# The backend's half and the token service, packages of their own.
"$ROOT/scripts/package-node.sh"
