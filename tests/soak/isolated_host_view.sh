#!/bin/bash
# isolated_host_view.sh STATE SHARED_DIR... -- PROGRAM [ARGUMENTS...]
# Runs PROGRAM (already in a private mount namespace) with every place it could
# write to behind an overlay with upper layer STATE/upper/NAME; STATE/host goes
# to private_host_state.sh for /etc and /var/lib. Each SHARED_DIR under /tmp
# stays the real one (bus socket, working directory, handed-over files).
set -euo pipefail

here=$(dirname "$0")
state=$1
shift
shared=""
while [ "$1" != "--" ]; do
    shared="$shared $1"
    shift
done
shift

layer() {
    mkdir -p "$state/upper/$2" "$state/work/$2"
    mount -t overlay -o "lowerdir=$1,upperdir=$state/upper/$2,workdir=$state/work/$2" \
        "korvex-test-$2" "$1"
}

# The real /tmp stays reachable through a private /run while /tmp itself
# is layered; the shared folders are bound back from there.
mount -t tmpfs -o mode=0755 korvex-test-hold /run
mkdir /run/host-tmp
mount --bind /tmp /run/host-tmp

for dir in /root /home /opt /srv /usr /var /work; do
    [ ! -d "$dir" ] || [ -L "$dir" ] || layer "$dir" "${dir#/}"
done
layer /tmp tmp
# STATE itself is shared: the layers below keep their upper folders there,
# and an overlay cannot write into another overlay.
for dir in "$state" $shared; do
    mount --bind "/run/host-tmp/${dir#/tmp/}" "$dir"
done

mkdir -p "$state/host"
exec "$here/../sysconfig/agent/private_host_state.sh" "$state/host" "$@"
