#!/bin/bash
# Time of one `status` call of network-dbus (private bus, real polkitd,
# caller root) against the namespace size, beside `ip -o link show dev` on
# the same namespace. Interfaces are bridges (the cheapest kind to create
# here); the namespace also holds lo, which is the name asked about.
#
# Usage: bench/network_status.sh [BUILD_DIR] [CALLS]
#   BUILD_DIR  build folder holding network_status_bench (default: build)
#   CALLS      timed calls per row (default: 100); the median is shown
# Needs root. Touches nothing outside the namespaces it makes.
set -euo pipefail

build_dir=${1:-build}
calls=${2:-100}
bench="$build_dir/tests/network/agent/network_status_bench"
if [ ! -x "$bench" ]; then
    echo "network_status.sh: $bench missing; build the target network_status_bench" >&2
    exit 1
fi

space="kxbench-$$"
work=$(mktemp -d /tmp/kxbench-XXXXXX)
cleanup() {
    ip netns del "$space" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# Median and minimum of the microsecond figures on stdin.
summarise() {
    sort -n | awk '{ v[NR] = $1 } END { printf "%d %d\n", v[int((NR + 1) / 2)], v[1] }'
}

# `ip` run CALLS times, each timed alone with the shell's clock (no extra fork).
time_ip() {
    local i start end
    for ((i = 0; i < calls; i++)); do
        start=${EPOCHREALTIME/./}
        ip -n "$space" -o link show dev lo >/dev/null
        end=${EPOCHREALTIME/./}
        echo $((end - start))
    done | summarise
}

printf '%-11s %-22s %-22s %s\n' "interfaces" "status on bus (ms)" "ip link show (ms)" "status"
printf '%-11s %-22s %-22s %s\n' "" "median / min" "median / min" "of lo"
for count in 10 100 1000; do
    ip netns add "$space"
    ip -n "$space" link set lo up
    : >"$work/batch"
    for ((i = 1; i < count; i++)); do
        echo "link add kxbr$i type bridge" >>"$work/batch"
    done
    ip -n "$space" -batch "$work/batch"
    present=$(ip -n "$space" -o link show | wc -l)
    if [ "$present" -ne "$count" ]; then
        echo "network_status.sh: $present interfaces instead of $count" >&2
        exit 1
    fi

    read -r bus_median bus_min _ state < <("$bench" "$space" lo "$calls")
    read -r ip_median ip_min < <(time_ip)
    printf '%-11s %-22s %-22s %s\n' "$count" \
        "$(awk -v a="$bus_median" -v b="$bus_min" 'BEGIN { printf "%.2f / %.2f", a / 1000, b / 1000 }')" \
        "$(awk -v a="$ip_median" -v b="$ip_min" 'BEGIN { printf "%.2f / %.2f", a / 1000, b / 1000 }')" \
        "$state"
    ip netns del "$space"
done
