#!/usr/bin/env bash
# Builds the package as Debian would: SOURCE_DIR configured into
# STAGE_DIR/build with prefix /usr and no tests, installed under
# STAGE_DIR/root and packed into STAGE_DIR/deb. The boot test installs it.
#   stage.sh SOURCE_DIR STAGE_DIR
set -euo pipefail
src=$1 stage=$2
log=$stage/stage.log
mkdir -p "$stage"
if ! {
    cmake -S "$src" -B "$stage/build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
        -DCMAKE_INSTALL_PREFIX=/usr &&
        # At a lower priority: the other tests run beside it.
        nice -n 10 cmake --build "$stage/build" -j"$(nproc 2>/dev/null || echo 2)" &&
        rm -rf "$stage/root" "$stage/deb" &&
        DESTDIR=$stage/root cmake --install "$stage/build" &&
        (cd "$stage/build" && cpack -G DEB -B "$stage/deb")
} >"$log" 2>&1; then
    cat "$log" >&2
    exit 1
fi
ls "$stage"/deb/*.deb
