#!/bin/sh
# Runs a program in a network namespace of its own, so that nothing it or the node sends can leave
# this machine. Inside, loopback is up, and a veth pair whose both ends stay inside gives the host
# an ordinary address, as a real computer has. With --loopback-only there is only loopback: Wine
# binds an interface address on every address, so a node under Wine needs a loopback-only host.
veth='ip link add varnix0 type veth peer name varnix1 &&
      ip addr add 10.254.0.1/24 dev varnix0 &&
      ip link set varnix0 up && ip link set varnix1 up &&'
if [ "${1:-}" = "--loopback-only" ]; then
  veth=''
  shift
fi
# In a process namespace of its own too, with its own /proc: the node finds a program by its
# file's name in any folder, and must not find another run's namesake beside this one. Whatever
# is left running there ends with the program.
# And with X servers' sockets of its own: an X server takes a display whose lock names a pid it
# cannot see, so runs side by side would each take :0 from the other.
mkdir -p /tmp/.X11-unix
exec unshare -n -p -f --mount-proc -- \
  sh -c "mount -t tmpfs -o mode=1777,size=64k varnix-x11 /tmp/.X11-unix &&
         ip link set lo up && $veth VARNIX_NETWORK_ISOLATED=1 exec \"\$@\"" isolated "$@"
