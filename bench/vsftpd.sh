# Shared by the benchmarks (sourced): a vsftpd on 127.0.0.1 serving an
# anonymous root under a RAM-backed work folder, stopped and cleaned up when
# the script exits.
#
#   bench_work=$(bench_workdir NAME)   # /dev/shm/remessa-NAME.XXXXXX, removed at exit
#   bench_start_vsftpd ANON_ROOT [EXTRA_CONFIG_LINES]   # sets bench_port
#   bench_stop_vsftpd
#   bench_wait_quiet MAX_LOAD   # waits until the 1-minute load is below MAX_LOAD (no-op when empty)
#   bench_shape_loopback RATE   # the loopback as a link of RATE (tc's units) until exit (no-op when empty)
bench_vsftpd_pid=""
bench_work=""
bench_shaped=""
bench_cleanup() {
  if [ -n "$bench_shaped" ]; then tc qdisc del dev lo root 2>/dev/null || true; fi
  if [ -n "$bench_vsftpd_pid" ]; then
    kill "$bench_vsftpd_pid" 2>/dev/null || true
    wait "$bench_vsftpd_pid" 2>/dev/null || true
  fi
  if [ -n "$bench_work" ]; then rm -rf "$bench_work"; fi
}
trap bench_cleanup EXIT

bench_workdir() {
  bench_work=$(mktemp -d "/dev/shm/remessa-$1.XXXXXX")
  chmod 755 "$bench_work"
}

bench_start_vsftpd() {
  local anon=$1 extra=${2:-}
  mkdir -p /var/run/vsftpd/empty
  chmod 755 "$anon"
  bench_port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  cat >"$bench_work/vsftpd.conf" <<CONF
listen=YES
listen_address=127.0.0.1
listen_port=$bench_port
background=NO
anonymous_enable=YES
no_anon_password=YES
anon_root=$anon
local_enable=NO
connect_from_port_20=NO
pasv_enable=YES
seccomp_sandbox=NO
secure_chroot_dir=/var/run/vsftpd/empty
xferlog_enable=NO
$extra
CONF
  /usr/sbin/vsftpd "$bench_work/vsftpd.conf" &
  bench_vsftpd_pid=$!
  local _
  for _ in $(seq 50); do
    { exec 3<>"/dev/tcp/127.0.0.1/$bench_port"; } 2>/dev/null && { exec 3<&- 3>&-; return 0; }
    sleep 0.1
  done
  echo "vsftpd did not start on 127.0.0.1:$bench_port" >&2
  return 1
}

# Stops the server started last, so that another can be started.
bench_stop_vsftpd() {
  if [ -n "$bench_vsftpd_pid" ]; then
    kill "$bench_vsftpd_pid" 2>/dev/null || true
    wait "$bench_vsftpd_pid" 2>/dev/null || true
    bench_vsftpd_pid=""
  fi
}

bench_median() { sort -n | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }

# Figures taken while other work runs on the machine mean little: waits (up
# to 10 minutes) until the 1-minute load average is below the given value.
bench_wait_quiet() {
  [ -n "${1:-}" ] || return 0
  local load
  for _ in $(seq 120); do
    load=$(cut -d' ' -f1 /proc/loadavg)
    awk -v l="$load" -v m="$1" 'BEGIN {exit !(l < m)}' && return 0
    sleep 5
  done
  echo "# the load stayed at $load, not below $1; measuring anyway" >&2
}

# A token bucket on the loopback makes it a link of the given speed (tc's
# units, e.g. 1gbit), steadily, until the script exits. It shapes every
# loopback connection of the machine meanwhile; a loopback shaped already is
# left alone and the script stops.
bench_shape_loopback() {
  [ -n "${1:-}" ] || return 0
  command -v tc >/dev/null ||
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends iproute2 >/dev/null
  if tc qdisc show dev lo | grep -qv '^qdisc noqueue'; then
    echo "the loopback is shaped already ($(tc qdisc show dev lo)); not touching it" >&2
    exit 1
  fi
  tc qdisc add dev lo root tbf rate "$1" burst 4mb latency 20ms
  bench_shaped=1
}
