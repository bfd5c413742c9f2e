#!/bin/sh
# Runs a program that may ask the computer to halt, reboot, sleep, lock or end a session, where
# it cannot: in a mount namespace of its own the system's commands for these (systemctl and
# loginctl among them) are replaced by a stand-in that refuses, and the program runs without
# the capability to reboot (CAP_SYS_BOOT).
# Tests still put their own recording stand-ins first on PATH; this is the backstop.
set -eu
if [ "${VARNIX_GUARDED:-}" != "1" ]; then
  exec unshare -m --propagation private -- env VARNIX_GUARDED=1 "$0" "$@"
fi
refuse=$(mktemp)
trap 'rm -f "$refuse"' EXIT
printf '#!/bin/sh\necho "guarded: refused $0 $*" >&2\nexit 1\n' > "$refuse"
chmod 755 "$refuse"
for command in systemctl loginctl shutdown halt reboot poweroff telinit init; do
  for folder in /usr/bin /usr/sbin /bin /sbin; do
    real="$folder/$command"
    [ -e "$real" ] && [ ! -L "$real" ] && mount --bind "$refuse" "$real"
  done
done
exec setpriv --bounding-set=-sys_boot --inh-caps=-sys_boot -- "$@"
