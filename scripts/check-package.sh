#!/usr/bin/env bash
# Checks the Debian package: its files and units, the units as systemd reads them, and the
# package installed for real and started as its units start it, in a namespace of its own
# whose changes to this system's files and network vanish with it.
set -euo pipefail
deb=$(realpath "$1")

# Read whole before grep looks: grep -q stops reading early, which pipefail would count.
info=$(dpkg-deb -I "$deb")
grep -q '^ Package: varnix$' <<<"$info"
contents=$(dpkg-deb -c "$deb")
for entry in ./opt/varnix/varnix ./opt/varnix/varnix-relay ./opt/varnix/varnix-hub ./opt/varnix/varnixctl \
  ./opt/varnix/varnix-console "./opt/varnix/Config -> /etc/varnix" \
  "./opt/varnix/Data -> /var/lib/varnix" "./usr/bin/varnixctl -> ../../opt/varnix/varnixctl" \
  ./opt/varnix/varnix-gateway ./etc/varnix/gateway.ini ./lib/systemd/system/varnix-gateway.service \
  ./etc/varnix/qelXap.ini ./etc/varnix/programs.ini ./var/lib/varnix/ ./lib/systemd/system/varnix.service \
  ./lib/systemd/system/varnix-hub.service ./usr/lib/systemd/user/varnix.service; do
  grep -qF " $entry" <<<"$contents" || { echo "package: $entry is missing"; exit 1; }
done
[ "$(dpkg-deb -I "$deb" conffiles)" = $'/etc/varnix/qelXap.ini\n/etc/varnix/gateway.ini\n/etc/varnix/programs.ini' ]
grep -q '^ Depends:.*libmosquitto1' <<<"$info" || { echo "package: no libmosquitto1 dependency"; exit 1; }
# Loaded at run time, so named by the package rather than found by dpkg-shlibdeps.
grep -q '^ Depends:.*libnettle' <<<"$info" || { echo "package: no libnettle dependency"; exit 1; }
grep -q '^ Recommends:.*libx11' <<<"$info" || { echo "package: libx11 is not recommended"; exit 1; }
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

# The services beside the node have no windows, and the node loads them only when it looks at
# one: none of them may need the window libraries to start.
unpacked="$root/unpacked"
dpkg-deb -x "$deb" "$unpacked"
for program in varnix varnix-relay varnix-hub varnixctl varnix-gateway; do
  needed=$(readelf -d "$unpacked/opt/varnix/$program")
  if grep -q 'libX11' <<<"$needed"; then echo "package: $program loads libX11"; exit 1; fi
done
rm -rf "$unpacked"

# Installed with dpkg over overlays of the system's folders; its units read by systemd; started
# by the units' own command lines (no systemd runs here to start them); reached by varnixctl.
unshare -m -n --propagation private -- bash -euo pipefail -c '
  root=$1 deb=$2
  ip link set lo up
  for folder in etc opt usr var; do
    mkdir -p "$root/upper/$folder" "$root/work/$folder"
    mount -t overlay overlay \
      -o "lowerdir=/$folder,upperdir=$root/upper/$folder,workdir=$root/work/$folder" "/$folder"
  done
  dpkg -i "$deb" >/dev/null
  for unit in varnix-hub.service varnix.service varnix-gateway.service; do
    systemd-analyze verify "/lib/systemd/system/$unit"
  done
  grep -qx "KillMode=process" /lib/systemd/system/varnix.service
  mkdir -m 700 "$root/runtime"
  XDG_RUNTIME_DIR="$root/runtime" systemd-analyze --user verify /usr/lib/systemd/user/varnix.service
  printf "[Interface]\r\nBroadcastAddress=127.0.0.1\r\n" > /etc/varnix/qelXap.ini
  command_of() { sed -n "s/^ExecStart=//p" "/lib/systemd/system/$1"; }
  $(command_of varnix-hub.service) & hub=$!
  trap "{ kill \$hub \${node:-}; wait; } 2>/dev/null || true" EXIT
  # Waited for, not slept on: a node that looks before the hub holds 3639 takes the port itself.
  for _ in $(seq 100); do
    grep -qs "^ *[0-9]*: [0-9A-F]*:0E37 " /proc/net/udp /proc/net/udp6 && break
    sleep 0.1
  done
  (cd /opt/varnix && exec $(command_of varnix.service)) & node=$!
  for _ in $(seq 30); do varnixctl --timeout 1 echo up >/dev/null 2>&1 && break; done
  # A program of its own name: a start takes any running program of its file for it.
  cp /bin/sleep "$root/vxpkgsleep"
  varnixctl start "$root/vxpkgsleep" 60 >/dev/null
  query=$(varnixctl query "$root/vxpkgsleep")
  grep -q " running" <<<"$query"
  varnixctl stop "$root/vxpkgsleep" >/dev/null
  # The hub writes its clients down within a second of a change.
  for _ in $(seq 100); do [ -s /var/lib/varnix/hub-clients.txt ] && break; sleep 0.1; done
  test -s /var/lib/varnix/hub-clients.txt
  [ "$(stat -c %a /etc/varnix/access.key)" = 600 ] || { echo "package: no private key"; exit 1; }
  # The gateway reads its kept settings, and follows the nodes while no broker is up yet.
  $(command_of varnix-gateway.service) 2>"$root/gateway.log" & gateway=$!
  for _ in $(seq 50); do grep -qs "cannot reach the MQTT broker" "$root/gateway.log" && break; sleep 0.1; done
  kill $gateway
  wait $gateway 2>/dev/null || true  # reaped here, or the shell says "Terminated"
  grep -q "following the Varnix nodes" "$root/gateway.log" || { cat "$root/gateway.log"; exit 1; }
' check-package "$root" "$deb"
echo "package: $(basename "$deb") holds its files and units, installs and answers"
