#!/usr/bin/env bash
# Builds the package as Debian would, for the boot test: SOURCE_DIR configured
# into STAGE_DIR/build (prefix /usr, no tests), packed into STAGE_DIR/deb.
#   stage.sh SOURCE_DIR STAGE_DIR
set -euo pipefail
src=$1 stage=$2
mkdir -p "$stage"
# At a lower priority: the other tests run beside it.
{ cmake -S "$src" -B "$stage/build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr && nice -n 10 cmake --build "$stage/build" -j"$(nproc)" &&
    rm -rf "$stage/deb" && (cd "$stage/build" && cpack -G DEB -B "$stage/deb"); } \
    >"$stage/stage.log" 2>&1 || { cat "$stage/stage.log" >&2; exit 1; }
ls "$stage"/deb/*.deb
