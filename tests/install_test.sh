#!/bin/sh
# Stages the install of a build into a temporary root filesystem and checks the layout;
# for a host build it also boots the staged daemons with the staged boot script in the
# simulated device (busybox sh over /bin/sh, its own network namespace), then stops them.
# Prints one "ok - ..." or "not ok - ..." line per check; fails if any check failed.
#
# usage: tests/install_test.sh BUILD_DIR [host|mips]
set -u
[ $# -ge 1 ] || { echo "usage: tests/install_test.sh BUILD_DIR [host|mips]" >&2; exit 2; }
build=$(readlink -f "$1")
kind=${2:-host}
# A host build boots in a network namespace (linkstatd's port is its own) and a mount
# namespace in which the staged programs stand at /usr/sbin and pid files go to $run.
if [ "$kind" = host ] && [ -z "${INSTALL_TEST_NS:-}" ]; then
	INSTALL_TEST_NS=1 exec "$(dirname "$0")/../sim/netns" \
		unshare -m --propagation private "$(readlink -f "$0")" "$build" host
fi
cd "$(dirname "$0")/.." || exit 1
work=$build/install-test
root=$work/root
dev=$work/device
run=$work/run
script=etc/init.d/routerd
failures=0

check() {
	what=$1
	shift
	if "$@"; then
		echo "ok - $what"
	else
		echo "not ok - $what"
		failures=$((failures + 1))
	fi
}

# wait_until SECONDS COMMAND...: polls COMMAND every 100 ms until it succeeds.
wait_until() {
	limit=$(($1 * 10))
	shift
	n=0
	until "$@"; do
		[ "$n" -lt "$limit" ] || return 1
		n=$((n + 1))
		sleep 0.1
	done
}

is_device_binary() {
	readelf -h "$1" | grep -q 'big endian' &&
		readelf -h "$1" | grep -q 'MIPS' &&
		readelf -h "$1" | grep -q 'ELF32'
}

rm -rf "$work"
mkdir -p "$root" "$dev/proc/wlan0" "$dev/store" "$run"
stage() { DESTDIR="$root" cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1; }
check "cmake --install stages into DESTDIR" stage
for f in usr/sbin/leverwatch usr/sbin/linkstatd "$script"; do
	check "$f is staged and executable" test -f "$root/$f" -a -x "$root/$f"
done
check "nothing else is staged" \
	test "$(cd "$root" && find . -type f | sort | tr '\n' ' ')" = \
	"./$script ./usr/sbin/leverwatch ./usr/sbin/linkstatd "
check "the boot script parses under busybox sh" busybox sh -n "$root/$script"
if [ "$kind" = mips ]; then
	for p in leverwatch linkstatd; do
		check "staged $p is a 32-bit big-endian MIPS binary" is_device_binary "$root/usr/sbin/$p"
	done
	[ "$failures" -eq 0 ]
	exit
fi

# Boot: the device starts in AP mode with one station on the radio.
printf 'OP_MODE=1\n' >"$dev/store/OP_MODE"
printf '1\n' >"$dev/proc/slide_sw"
cat >"$dev/proc/wlan0/sta_info" <<'TABLE'
1: stat_info...
    hwaddr: 00:11:22:33:44:55
    rssi: 40 (40 35 0 0)
    current_tx_rate: 54
    current_rx_rate: MCS7 (72.2)
TABLE

mount --bind "$root/usr/sbin" /usr/sbin
mount --bind "$run" /var/run
# Whatever a failed check leaves running ends with the test.
trap 'for p in "$run"/*.pid; do [ -s "$p" ] && kill -9 "$(cat "$p")" 2>/dev/null; done' EXIT

# boot OUTPUT ACTION: runs the staged boot script in the device, its output to OUTPUT;
# a script that does not return (a daemon left in the foreground) fails.
boot() { timeout 30 sim/device -s /bin/busybox "$dev" "$root/$script" "$2" >>"$work/$1" 2>&1; }
alive() { [ -s "$run/$1.pid" ] && kill -0 "$(cat "$run/$1.pid")" 2>/dev/null; }
dead() { ! kill -0 "$1" 2>/dev/null; }
in_log() { grep -qx "$1" "$dev/calls.log"; }
not_running() { ! boot status2.out status; }
listening() { grep -q ':2710 00000000:0000 0A' /proc/net/tcp; }

check "start exits 0" boot start.out start
check "start runs leverwatch in the background" wait_until 5 alive leverwatch
check "start runs linkstatd in the background" wait_until 5 alive linkstatd
check "linkstatd listens on port 10000" wait_until 5 listening
check "leverwatch reads the mode through flash" wait_until 5 in_log "flash get OP_MODE"
lever=$(cat "$run/leverwatch.pid")
stats=$(cat "$run/linkstatd.pid")
check "a second start exits 0" boot start2.out start
check "a second start names both as already running" \
	test "$(grep -c 'already running' "$work/start2.out")" -eq 2
check "pid files are unchanged by a second start" \
	test "$(cat "$run/leverwatch.pid") $(cat "$run/linkstatd.pid")" = "$lever $stats"
check "status reports both running" boot status.out status

# The switch moves to Router: the booted leverwatch writes the mode and restarts.
printf '3\n' >"$dev/proc/slide_sw.new" && mv "$dev/proc/slide_sw.new" "$dev/proc/slide_sw"
check "the booted leverwatch follows the switch" wait_until 15 in_log "reboot"
check "and has written the mode" in_log "flash set OP_MODE 0"
check "its announcement goes to the boot script's output" \
	grep -q '^Slide Swith change to Router Mode' "$work/start.out"

check "stop exits 0" boot stop.out stop
check "stop ends leverwatch" wait_until 5 dead "$lever"
check "stop ends linkstatd" wait_until 5 dead "$stats"
check "stop removes the pid files" test ! -e "$run/leverwatch.pid" -a ! -e "$run/linkstatd.pid"
check "status after stop fails" not_running
check "a second stop exits 0" boot stop.out stop
[ "$failures" -eq 0 ]
