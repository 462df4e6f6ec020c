#!/bin/sh
# Installs the build tree into a temporary prefix and builds a small C consumer against it,
# once through CMake's find_package(ofagent) and once through pkg-config; both must run.
set -eu
build=$1
here=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
libdir=$(ls -d "$tmp"/prefix/lib*/ | head -n 1)

# CMake package.
cmake -S "$here/consumer" -B "$tmp/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$tmp/prefix" \
    >/dev/null
cmake --build "$tmp/cmake-build" >/dev/null
LD_LIBRARY_PATH="$libdir" "$tmp/cmake-build/consumer"

# pkg-config.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror -pedantic -o "$tmp/consumer-pc" "$here/consumer/consumer.c" \
    $(pkg-config --cflags --libs ofagent ofagent_host)
LD_LIBRARY_PATH="$libdir" "$tmp/consumer-pc"
echo "installed package consumed through CMake and pkg-config"
