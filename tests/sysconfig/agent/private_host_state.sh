#!/bin/bash
# private_host_state.sh STATE PROGRAM [ARGUMENTS...], in a mount namespace of private propagation:
# runs PROGRAM with STATE/keys as /var/lib/korvex, STATE/{etc,var-lib}-upper as writable layers
# over /etc and /var/lib (files put there beforehand replace the host's) and puppet's cache, log
# and run folders empty on tmpfs.
set -euo pipefail

state=$1
shift

layer() {
    mkdir -p "$state/$2-upper" "$state/$2-work"
    mount -t overlay -o "lowerdir=$1,upperdir=$state/$2-upper,workdir=$state/$2-work" \
        "korvex-test-$2" "$1"
}

layer /etc etc
layer /var/lib var-lib
mkdir -p "$state/keys" /var/lib/korvex
mount --bind "$state/keys" /var/lib/korvex
for dir in /var/cache/puppet /var/log/puppet /run; do
    [ ! -d "$dir" ] || mount -t tmpfs -o mode=0755 korvex-test-tmpfs "$dir"
done

exec "$@"
