#!/bin/sh
# Installs the Debian packages a make target needs: all of them when run as root, otherwise it
# names the missing ones and fails.
#   scripts/deps.sh build|check|bench
set -eu
build="cmake ninja-build g++ make pkg-config libwolfssl-dev libgtest-dev openssl"
check="$build clang clang-format git libclang-rt-14-dev llvm-14 googletest g++-mips-linux-gnu qemu-user tshark
       openvswitch-common openvswitch-switch openvswitch-testcontroller python3-openflow
       python3-scapy iproute2 procps libbenchmark-dev valgrind"
bench="$check gnuplot-nox openvswitch-source linux-perf valgrind strace autoconf
       automake libtool python3"
case "${1:-build}" in
    build) want=$build ;;
    check) want=$check ;;
    bench) want=$bench ;;
    *) echo "usage: $0 build|check|bench" >&2; exit 2 ;;
esac
missing=""
for p in $want; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" != 0 ]; then
    echo "missing Debian packages:$missing" >&2
    echo "install them (as root: apt-get install$missing) and run again" >&2
    exit 1
fi
echo "installing:$missing"
export DEBIAN_FRONTEND=noninteractive
echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
apt-get update -q >/dev/null
# shellcheck disable=SC2086
apt-get install -y -q $missing >/dev/null
