#!/bin/sh
# Installs, with apt-get, whatever the build and the tests need and is missing,
# and the packages named as arguments.
set -eu
need="cmake g++ make libboost-json1.81-dev libfmt-dev libgtest-dev iproute2 util-linux procps python3 python3-jsonschema $*"
missing=""
for pkg in $need; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing="$missing $pkg"
done
[ -z "$missing" ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
echo "installing:$missing" >&2
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing >&2
