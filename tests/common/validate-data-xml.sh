#!/bin/bash
# Validates the shipped PolicyKit and D-Bus policy files against the DTDs
# installed on the host. Debian's busconfig.dtd predates the send_* /
# receive_* match attributes that dbus-daemon has accepted for years, so
# those attributes are declared on top of it before validating.
set -euo pipefail
data_dir=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

for f in "$data_dir"/polkit/*.policy; do
    xmllint --noout --dtdvalid /usr/share/polkit-1/policyconfig-1.dtd "$f"
done

attrs='send_interface send_member send_error send_destination send_path send_type
       send_requested_reply send_broadcast receive_interface receive_member receive_error
       receive_sender receive_path receive_type receive_requested_reply eavesdrop group
       context at_console'
{
    sed -e 's/<!ATTLIST allow/<!ATTLIST allow_orig/' -e 's/<!ATTLIST deny/<!ATTLIST deny_orig/' \
        /usr/share/xml/dbus-1/busconfig.dtd
    for element in allow deny; do
        printf '<!ATTLIST %s user CDATA #IMPLIED send CDATA #IMPLIED receive CDATA #IMPLIED own CDATA #IMPLIED own_prefix CDATA #IMPLIED send_to CDATA #IMPLIED receive_from CDATA #IMPLIED' "$element"
        for a in $attrs; do printf ' %s CDATA #IMPLIED' "$a"; done
        printf '>\n'
    done
} > "$tmp/busconfig.dtd"

for f in "$data_dir"/dbus/*.conf; do
    xmllint --noout --dtdvalid "$tmp/busconfig.dtd" "$f"
done
echo "all data files valid"
