#!/bin/bash
# A stand-in for Debian's pppd 2.4.9 as a dialling client, for tests of the layer over pppd. It
# reads its options as pppd does (the command line, "call NAME" from the peers folder, "file",
# option files with comments and quotes; privileged options only from root or a "call" file;
# "passwordfd" only once the passwordfd.so plugin is loaded), then plays the link: it logs as pppd
# does, gives the link's interface (a tun device, which like ppp is point-to-point) the addresses
# of the "local:remote" option, runs the ip-up script, and on SIGTERM runs ip-down, removes the
# interface and ends with pppd's status 5.
#
# STANDIN_PPPD_DIR names the test's folder: etc/ plays /etc/ppp (peers/, ip-up, ip-down); the
# stand-in writes there "argv" (one argument a line) and "password" (what it read from
# passwordfd), and reads "mode": up (the default), quiet (no address lines in the log),
# no-interface (address lines, but the interface never gets its address), exit:N (ends with N
# once its options are read, as pppd ends with 4 without kernel PPP support).
set -u
dir=${STANDIN_PPPD_DIR:?}
etc=$dir/etc
printf '%s\n' "$@" >"$dir/argv"
mode=$(cat "$dir/mode" 2>/dev/null || echo up)

root=0
[ "$(id -u)" = 0 ] && root=1
logfd=1 user="" pwfd="" plugin_pwfd=0 addresses=":" ipparam=""

refuse() {
  echo "pppd: $*" >&2
  exit 2
}

# The words of an options file: "#" to the end of a line is a comment, quotes group words.
file_words() {
  python3 - "$1" <<'PY'
import shlex, sys
for w in shlex.split(open(sys.argv[1]).read(), comments=True, posix=True):
    print(w)
PY
}

# options PRIVILEGED WORD...: what pppd's option parser does with them.
options() {
  local priv=$1 words=() w
  shift
  while [ $# -gt 0 ]; do
    case $1 in
      call)
        [ $# -ge 2 ] || refuse "too few parameters for option 'call'"
        case /$2/ in */../* | //*) refuse "call option value may not contain .. or start with /" ;; esac
        [ -r "$etc/peers/$2" ] || refuse "In file /etc/ppp/peers/$2: unable to open"
        mapfile -t words < <(file_words "$etc/peers/$2")
        options 1 "${words[@]}"
        shift 2
        ;;
      file)
        [ -r "$2" ] || refuse "In file $2: unable to open"
        mapfile -t words < <(file_words "$2")
        options "$root" "${words[@]}"
        shift 2
        ;;
      noauth | pty | connect | plugin | linkname | ifname | ip-up-script)
        [ "$priv" = 1 ] || refuse "using the $1 option requires root privilege"
        case $1 in
          noauth) shift ;;
          plugin)
            [ "$2" = passwordfd.so ] && plugin_pwfd=1
            shift 2
            ;;
          *) shift 2 ;;
        esac
        ;;
      passwordfd)
        [ "$plugin_pwfd" = 1 ] || refuse "unrecognized option 'passwordfd'"
        pwfd=$2
        shift 2
        ;;
      logfd) logfd=$2 && shift 2 ;;
      user) user=$2 && shift 2 ;;
      ipparam) ipparam=$2 && shift 2 ;;
      nodetach | defaultroute | persist | debug | lock | noipdefault | usepeerdns | local | modem) shift ;;
      *:*) addresses=$1 && shift ;;
      *) refuse "unrecognized option '$1'" ;;
    esac
  done
}
options "$root" "$@"
[ -n "$pwfd" ] && cat <&"$pwfd" >"$dir/password"
case $mode in exit:*) exit "${mode#exit:}" ;; esac

log() { echo "$*" >&"$logfd"; }
n=0
while ip link show "ppp$n" >/dev/null 2>&1; do n=$((n + 1)); done
ifname=ppp$n
local_ip=${addresses%%:*} remote_ip=${addresses#*:}
script() { [ -x "$etc/$1" ] && "$etc/$1" "$ifname" /dev/pts/9 115200 "$local_ip" "$remote_ip" "$ipparam"; }
ip_up=0
# A hang-up may come at any moment, as to pppd.
trap '[ "$ip_up" = 1 ] && script ip-down; ip link del "$ifname" 2>/dev/null; exit 5' TERM
log "Using interface $ifname"
log "Connect: $ifname <--> /dev/pts/9"
[ -n "$user" ] && log "PAP authentication succeeded"
ip tuntap add dev "$ifname" mode tun
if [ "$mode" != no-interface ]; then
  ip addr add "$local_ip" peer "$remote_ip" dev "$ifname"
  ip link set "$ifname" up
fi
if [ "$mode" != quiet ]; then
  log "local  IP address $local_ip"
  log "remote IP address $remote_ip"
fi
[ "$mode" != no-interface ] && ip_up=1 && script ip-up
while :; do sleep 0.1; done
