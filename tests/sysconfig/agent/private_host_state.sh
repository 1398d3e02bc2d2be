#!/bin/bash
# private_host_state.sh STATE PROGRAM [ARGUMENTS...]
#
# Runs PROGRAM with private views of the places outside its working
# directory that the configuration agent and puppet write to, so that a
# test run leaves the machine as it found it. Must already run in a new
# mount namespace with private propagation (unshare -m --propagation
# private): none of these mounts is seen outside it.
#
# STATE is the test's own folder:
#   keys/          shown as /var/lib/korvex (the agent's key status files)
#   etc-upper/     writable layer over /etc; whatever lands in /etc is kept
#                  here, and files put here before the start replace the
#                  host's in the program's view
#   var-lib-upper/ writable layer over /var/lib, which gives /var/lib/korvex
#                  a mount point without creating it on the host and keeps
#                  puppet's /var/lib/puppet state
# puppet's cache, log and run folders (and with them all of /run) start
# empty on tmpfs and vanish with the namespace.
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
    if [ -d "$dir" ]; then
        mount -t tmpfs -o mode=0755 korvex-test-tmpfs "$dir"
    fi
done

exec "$@"
