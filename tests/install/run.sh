#!/bin/sh
# Installs the build tree into a temporary prefix and builds a small C consumer against it,
# once through CMake's find_package(ofagent) and once through pkg-config; both must run and
# see one version: the header's, the CMake package's and the .pc file's. The Apache-2.0
# licence is installed with the package. The installed programs (when the build has them) run
# from the prefix and report that version too, and the example systemd unit names the
# installed agent.
set -eu
build=$1
here=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
libdir=$(ls -d "$tmp"/prefix/lib*/ | head -n 1)
export PKG_CONFIG_PATH="$libdir/pkgconfig"
version=$(pkg-config --modversion ofagent)

# CMake package: the consumer is told the package's version and compares it with the header's.
cmake -S "$here/consumer" -B "$tmp/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$tmp/prefix" \
    >/dev/null
cmake --build "$tmp/cmake-build" >/dev/null
LD_LIBRARY_PATH="$libdir" "$tmp/cmake-build/consumer"

# pkg-config.
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror -pedantic -DOFAGENT_PACKAGE_VERSION="\"$version\"" \
    -o "$tmp/consumer-pc" "$here/consumer/consumer.c" $(pkg-config --cflags --libs ofagent ofagent_host)
LD_LIBRARY_PATH="$libdir" "$tmp/consumer-pc"
echo "installed package consumed through CMake and pkg-config (version $version)"
grep -q "Apache License" "$tmp/prefix/share/doc/ofagent/LICENSE"
grep -q "Version 2.0, January 2004" "$tmp/prefix/share/doc/ofagent/LICENSE"

if [ -x "$build/examples/ofagentd" ]; then
    for prog in ofagentd ofcontroller; do
        # No LD_LIBRARY_PATH: the installed programs find the installed libraries themselves.
        first=$(env -u LD_LIBRARY_PATH "$tmp/prefix/bin/$prog" --version | head -n 1)
        if [ "$first" != "$prog (ofagent) $version" ]; then
            echo "installed $prog --version says '$first', not version $version" >&2
            exit 1
        fi
    done
    unit="$tmp/prefix/share/doc/ofagent/ofagentd.service"
    grep -q "^ExecStart=$tmp/prefix/bin/ofagentd " "$unit"
    grep -q "^Restart=always$" "$unit"
    if command -v systemd-analyze >/dev/null; then
        systemd-analyze verify "$unit"
    fi
    echo "installed programs report version $version; the systemd unit runs the installed agent"
fi
