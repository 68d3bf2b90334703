#!/bin/sh
# Stages the install of a build into a temporary root filesystem and checks the layout,
# then boots the staged daemons with the staged boot script in the simulated device
# (busybox sh over /bin/sh, its own network namespace) and stops them. A MIPS build boots
# where qemu-mips-static can be registered with a binfmt_misc of the test's own user
# namespace, leaving the machine's untouched; elsewhere a "# skip" line says why.
# Prints one "ok - ..." or "not ok - ..." line per check; fails if any check failed.
#
# usage: tests/install_test.sh BUILD_DIR [host|mips]
set -u
[ $# -ge 1 ] || { echo "usage: tests/install_test.sh BUILD_DIR [host|mips]" >&2; exit 2; }
build=$(readlink -f "$1")
kind=${2:-host}
# The boot runs in a network namespace (linkstatd's port is its own) and a mount
# namespace in which the staged programs stand at /usr/sbin; the device's /var/run, where the
# pid files go, is $run.
# A MIPS build boots in a user namespace too, for binfmt_misc: every id from root to
# linkstatd's unprivileged user (65534) is mapped to itself there, so the daemon can drop to
# it as on the device.
in_userns() {
	unshare -U sh -c 'until grep -q . /proc/self/uid_map; do sleep 0.05; done; exec "$@"' sh "$@" &
	inner=$!
	until [ "$(readlink "/proc/$inner/ns/user")" != "$(readlink /proc/self/ns/user)" ]; do
		sleep 0.01
	done
	echo '0 0 65536' >"/proc/$inner/gid_map" && echo '0 0 65536' >"/proc/$inner/uid_map"
	wait "$inner"
}
if [ -z "${INSTALL_TEST_NS:-}" ]; then
	userns=
	[ "$kind" = mips ] && unshare -U -r true 2>/dev/null && userns=in_userns
	export INSTALL_TEST_NS=1 INSTALL_TEST_USERNS=$userns
	$userns unshare -m --propagation private \
		"$(dirname "$0")/../sim/netns" "$(readlink -f "$0")" "$build" "$kind"
	exit
fi
cd "$(dirname "$0")/.." || exit 1
work=$build/install-test
root=$work/root
dev=$work/device
run=$work/device/run
script=etc/init.d/routerd
. tests/harness/checks.sh

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

# stage DESTDIR [INSTALL_ARGS...]
stage() {
	destdir=$1
	shift
	DESTDIR="$destdir" cmake --install "$build" "$@" >>"$work/install.log" 2>&1
}
local_prefix() {
	stage "$work/local" && test -x "$work/local/usr/local/sbin/linkstatd" &&
		grep -qx 'SBIN=/usr/local/sbin' "$work/local/$script"
}
client_alone() {
	stage "$work/client" --prefix /usr --component linkstat &&
		test "$(cd "$work/client" && find . -type f)" = ./usr/bin/linkstat
}

# mips_binfmt: registers qemu-mips-static for MIPS32 big-endian programs with a
# binfmt_misc of this test's user namespace; sets why when it cannot.
mips_binfmt() {
	why="no user namespace could be made"
	[ -n "${INSTALL_TEST_USERNS:-}" ] || return 1
	why="this kernel gives a user namespace no binfmt_misc of its own"
	mkdir -p "$work/binfmt" && mount -t binfmt_misc binfmt "$work/binfmt" 2>/dev/null || return 1
	why="qemu-mips-static could not be registered"
	# ELF, 32-bit, big-endian, version 1; an executable or shared object; machine MIPS.
	printf '%s\n' ':routerd-mips:M::\x7fELF\x01\x02\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x08:\xff\xff\xff\xff\xff\xff\xff\x00\x00\x00\x00\x00\x00\x00\x00\x00\xff\xfe\xff\xff:'"$(command -v qemu-mips-static)"':F' \
		>"$work/binfmt/register" 2>/dev/null || return 1
	export QEMU_LD_PREFIX=/usr/mips-linux-gnu
}

rm -rf "$work"
mkdir -p "$root" "$dev/proc/wlan0" "$dev/store" "$run"
check "cmake --install stages into DESTDIR" stage "$root" --prefix /usr
for f in usr/sbin/leverwatch usr/sbin/linkstatd "$script"; do
	check "$f is staged and executable" test -f "$root/$f" -a -x "$root/$f"
done
check "nothing else is staged" \
	test "$(cd "$root" && find . -type f | sort | tr '\n' ' ')" = \
	"./$script ./usr/sbin/leverwatch ./usr/sbin/linkstatd "
check "the boot script parses under busybox sh" busybox sh -n "$root/$script"
check "the boot script looks for the daemons under the install's prefix" local_prefix
check "the linkstat component stages the client alone" client_alone
if [ "$kind" = mips ]; then
	for p in leverwatch linkstatd; do
		check "staged $p is a 32-bit big-endian MIPS binary" is_device_binary "$root/usr/sbin/$p"
	done
	mips_binfmt || {
		echo "# skip - booting the MIPS install: $why"
		[ "$failures" -eq 0 ]
		exit
	}
	# The emulator that binfmt_misc runs a MIPS daemon under comes first in its command line,
	# the daemon last: the staged boot script is shown the daemon where it looks for it.
	sed -i 's/cmdline" | head -n 1)/cmdline" | tail -n 1)/' "$root/$script"
	grep -q 'cmdline" | tail -n 1)' "$root/$script" || { echo "not ok - the boot script's daemon lookup is where the test expects it"; exit 1; }
fi

# Boot: the device starts in AP mode with one station on the radio.
for setting in OP_MODE=1 WLAN0_MODE=0 REPEATER_ENABLED1=0 LEVERWATCH_CHANGE=none; do
	echo "$setting" >"$dev/store/${setting%=*}"
done
printf '1\n' >"$dev/proc/slide_sw"
cat >"$dev/proc/wlan0/sta_info" <<'TABLE'
1: stat_info...
    hwaddr: 00:11:22:33:44:55
    rssi: 40 (40 35 0 0)
    current_tx_rate: 54
    current_rx_rate: MCS7 (72.2)
TABLE

mount --bind "$root/usr/sbin" /usr/sbin
# Whatever a failed check leaves running ends with the test.
mine=
trap 'for p in "$run"/*.supervisor.pid; do [ -s "$p" ] && kill -9 -"$(cat "$p")"; done 2>/dev/null
	[ -z "$mine" ] || kill -9 $mine 2>/dev/null' EXIT

# boot OUTPUT ACTION [SECONDS]: runs the staged boot script in the device, its output to
# OUTPUT; a script that does not return within SECONDS (30; a daemon left in the
# foreground) fails.
run_script() { timeout "${2:-30}" sim/device -p -s /bin/busybox "$dev" "$root/$script" "$1" 2>&1; }
boot() { run_script "$2" "${3:-}" >>"$work/$1"; }
# boot_piped OUTPUT ACTION: the same through a pipe, as out=$(routerd start) reads it: true
# once the reader has seen the end of the output and the action exited 0.
boot_piped() {
	{
		run_script "$2"
		echo "exit $?"
	} | cat >"$work/$1" &
	reader=$! mine="$mine $!"
	wait_until 10 dead "$reader" && grep -qx 'exit 0' "$work/$1"
}
pid_of() { cat "$run/$1.pid" 2>/dev/null; }
# live PID: true while PID runs (a zombie does not).
live() { awk '/^State:/ { exit $2 == "Z" }' "/proc/$1/status" 2>/dev/null; }
dead() { ! live "$1"; }
alive() { live "$(pid_of "$1")"; }
in_log() { grep -qx "$1" "$dev/calls.log"; }
not_running() { ! boot "$1" status && test "$(grep -c ' stopped$' "$work/$1")" -eq 2; }
listening() { grep -q ':2710 00000000:0000 0A' /proc/net/tcp; }
answers() { "$build/tools/linkstat" >/dev/null 2>&1; }
# answers_anew OLD_PID: a linkstatd other than OLD_PID answers "ask".
answers_anew() { [ "$(pid_of linkstatd)" != "$1" ] && alive linkstatd && answers; }
seconds() { cut -d. -f1 /proc/uptime; }
since() { [ $(($(seconds) - $1)) -ge "$2" ]; }
# waited HOW WAITS: the waits the supervisor logged after linkstatd HOW are WAITS.
waited() {
	test "$(sed -n "s/^linkstatd: linkstatd $1, restarting in \([0-9]*\) s$/\1/p" "$dev/syslog" |
		tr '\n' ' ')" = "$2"
}
kills() { grep -c '^linkstatd: linkstatd killed by signal KILL' "$dev/syslog"; }
more_kills() { [ "$(kills)" -gt "$1" ]; }
# A "connected" line comes at most once in 10 s, with the count of those left unlogged.
connections() { grep -c '^linkstatd: 127.0.0.1:[0-9]* connected\( ([0-9]* more connected)\)\{0,1\}$' "$dev/syslog"; }
more_connections() { answers && [ "$(connections)" -gt "$1" ]; }
# no_process GROUP...: no live process is left in any of the process groups.
no_process() {
	for g; do
		cat /proc/[0-9]*/stat 2>/dev/null | awk -v g="$g" '{ sub(/.*\) /, "") } $1 != "Z" && $3 == g { bad = 1 } END { exit bad }' || return 1
	done
}

# Pid files left from before name another program's process: it is neither reported as
# ours nor ended, and does not keep start from starting the daemons.
# It leads a process group of its own, as a supervisor would.
setsid sleep 3600 &
other=$! mine="$mine $!"
for d in leverwatch linkstatd; do
	echo "$other" >"$run/$d.pid" && echo "$other" >"$run/$d.supervisor.pid"
done
check "status calls both stopped when the pid files name another program" not_running status0.out
check "stop exits 0 with them" boot stop0.out stop
check "and leaves that process alone" live "$other"

# supervising [NAME]: how many supervisors (of NAME) this test's boots run: leaders of a
# session in the test's own network namespace whose command line is a supervisor's.
supervising() {
	n=0 net=$(readlink /proc/self/ns/net) want=${1:+$1 }
	for f in /proc/[0-9]*/cmdline; do
		p=${f#/proc/}
		p=${p%/cmdline}
		case $(tr '\0' ' ' 2>/dev/null <"$f") in "/bin/sh "*"/routerd supervise $want"*) ;; *) continue ;; esac
		[ "$(cut -d ' ' -f 6 "/proc/$p/stat" 2>/dev/null)" = "$p" ] &&
			[ "$(readlink "/proc/$p/ns/net")" = "$net" ] && n=$((n + 1))
	done
	echo "$n"
}

# A /var/run that cannot hold the pid files fails start before anything starts.
supervisors() { [ "$(supervising)" -gt 0 ]; }
refused() {
	! boot "$1" start && ! supervisors && ! in_log "flash get OP_MODE" &&
		grep -qx "routerd: cannot write pid files in /var/run, nothing started" "$work/$1"
}
mount --bind "$run" "$run" && mount -o remount,bind,ro "$run"
check "start on a read-only /var/run fails, names it and starts nothing" refused start-ro.out
umount "$run"
mount -t tmpfs -o size=8k full "$run" && dd if=/dev/zero of="$run/fill" bs=1k 2>/dev/null
check "so does start on a full one" refused start-full.out
umount "$run"

# Another listener holds port 10000, so linkstatd cannot start until it is gone.
"$build/statsd/linkstatd" >"$work/blocker.out" 2>&1 &
blocker=$! mine="$mine $!"
check "another listener holds port 10000" wait_until 10 listening
began=$(seconds)
check "start exits 0 and returns though its output is a pipe" boot_piped start.out start
check "start runs leverwatch in the background" wait_until 5 alive leverwatch
check "leverwatch reads the mode through flash" wait_until 5 in_log "flash get OP_MODE"
check "a linkstatd that cannot start is tried again after 2, 4 then 8 s" \
	wait_until 20 waited 'exited with status [0-9]*' "2 4 8 "
check "and not sooner: its third exit comes 6 s or more after start" since "$began" 6
kill "$blocker"
wait "$blocker" 2>/dev/null
check "once the port is free linkstatd answers" wait_until 15 answers
started=$(seconds)
lever=$(pid_of leverwatch)
stats=$(pid_of linkstatd)
check "a second start exits 0" boot start2.out start
check "a second start names both as already running" \
	test "$(grep -c 'already running' "$work/start2.out")" -eq 2
check "pid files are unchanged by a second start" \
	test "$(pid_of leverwatch) $(pid_of linkstatd)" = "$lever $stats"
check "status reports both running" boot status.out status

# The switch moves to Router: the booted leverwatch writes the mode and restarts.
printf '3\n' >"$dev/proc/slide_sw.new" && mv "$dev/proc/slide_sw.new" "$dev/proc/slide_sw"
check "the booted leverwatch follows the switch" wait_until 15 in_log "reboot"
check "and has written the mode" in_log "flash set OP_MODE 0"
# The device restarts: a boot of its own, in which the change's mark means nothing.
cat /proc/sys/kernel/random/uuid >"$dev/proc/sys/kernel/random/boot_id"
check "its announcement reaches the system log under its name" \
	wait_until 5 grep -q '^leverwatch: Slide Swith change to Router Mode' "$dev/syslog"
check "so does linkstatd's banner" grep -qx "linkstatd: Auto Cable Link Test daemon start..." "$dev/syslog"

# After a run of 10 s or more the wait starts again at 2 s.
wait_until 15 since "$started" 10
kill -9 "$stats"
check "a SIGKILLed linkstatd is back and answers within 5 s" wait_until 5 answers_anew "$stats"
check "its supervisor logs how it ended and the wait, 2 s after a long run" \
	wait_until 5 waited 'killed by signal KILL' "2 "

# Its logger dies: the supervisor's next line meets a log pipe nobody reads.
logger_pid=$(cat "$dev/logger-linkstatd.pid")
kill -9 "$logger_pid"
wait_until 5 dead "$logger_pid"
stats=$(pid_of linkstatd)
kill -9 "$stats"
check "with its logger gone linkstatd is still brought back" wait_until 10 answers_anew "$stats"
n=$(connections)
check "and a new logger carries its lines" wait_until 10 more_connections "$n"

# A supervisor killed outright leaves its daemon running, which start then replaces.
lever=$(pid_of leverwatch)
supervisor=$(cat "$run/leverwatch.supervisor.pid")
kill -9 "$supervisor"
wait_until 5 dead "$supervisor"
boot status3.out status
check "status names a daemon without its supervisor" \
	grep -qx "leverwatch running ($lever), unsupervised" "$work/status3.out"
check "start exits 0 then" boot start3.out start
check "so the old leverwatch ends" wait_until 5 dead "$lever"
check "and one new leverwatch runs" wait_until 5 alive leverwatch

# A stop while leverwatch writes a mode change (to AP; the store stalls at its second
# write): leverwatch finishes the change, says so and does not restart the device.
sets() { grep -c '^flash set ' "$dev/calls.log"; }
more_sets() { [ "$(sets)" -gt "$1" ]; }
set_count=$(sets) reboot_count=$(grep -c '^reboot$' "$dev/calls.log")
echo "set#2 hold" >"$dev/fault"
printf '1\n' >"$dev/proc/slide_sw.new" && mv "$dev/proc/slide_sw.new" "$dev/proc/slide_sw"
check "the store stalls in the change" wait_until 15 test -s "$dev/held"
lever=$(pid_of leverwatch) supervisor=$(cat "$run/leverwatch.supervisor.pid")
boot stop3.out stop &
stopper=$! mine="$mine $!"
check "stop's TERM ends the supervisor" wait_until 10 dead "$supervisor"
check "while leverwatch goes on with the change" live "$lever"
rm -f "$dev/fault"
check "stop returns once leverwatch has written the change" wait_until 30 dead "$stopper"
check "which leverwatch says in the log" grep -qx \
	"leverwatch: mode change written; the restart is left to whoever stopped leverwatch" "$dev/syslog"
written() {
	tail -n 2 "$dev/calls.log" | grep -q '^flash set LEVERWATCH_CHANGE restart-owed-in-boot-' &&
		[ "$(grep -c '^reboot$' "$dev/calls.log")" = "$reboot_count" ]
}
check "every write of the change is issued, its record last, and no reboot" written
set_count=$(sets)
check "restart exits 0 and returns though its output is a pipe" boot_piped restart.out restart
# The new mode takes effect only with a restart, which the stopped change left undone.
restarts() { [ "$(grep -c '^reboot$' "$dev/calls.log")" -gt "$reboot_count" ]; }
check "the new leverwatch restarts the device" wait_until 10 restarts
check "saying why in the log" grep -qx \
	"leverwatch: a mode change was written and the device not restarted since; restarting it" "$dev/syslog"
settled() { ! wait_until 4 more_sets "$set_count"; }
check "and moves nothing" settled

# A leverwatch that does not end on TERM (stopped here) is killed outright once stop's wait
# for a change to be written has run out, and not before: a change held up by a slow store
# takes well over 30 s. The wait is 90 s: the host build alone checks it.
if [ "$kind" = host ]; then
	lever=$(pid_of leverwatch)
	kill -STOP "$lever"
	began=$(seconds)
	boot stop4.out stop 120 &
	stopper=$! mine="$mine $!"
	wait_until 85 since "$began" 80
	check "stop still waits for a stuck leverwatch 80 s on" live "$lever"
	check "and kills it after its wait" wait "$stopper"
	check "so it is gone" dead "$lever"
	restarted() { boot start4.out start && wait_until 5 alive leverwatch && wait_until 10 answers; }
	check "and start runs both daemons again" restarted
fi

# Stop, with linkstatd between restarts: nothing of either is left to come back.
groups="$(cat "$run/leverwatch.supervisor.pid") $(cat "$run/linkstatd.supervisor.pid")"
n=$(kills)
kill -9 "$(pid_of linkstatd)"
wait_until 5 more_kills "$n"
check "stop exits 0" boot stop.out stop
# shellcheck disable=SC2086 # one argument per group
check "stop leaves no supervisor, daemon or logger" wait_until 5 no_process $groups
calls=$(wc -l <"$dev/calls.log")
came_back() { listening || [ "$(wc -l <"$dev/calls.log")" -gt "$calls" ]; }
stays_down() { ! wait_until 4 came_back; }
check "and nothing comes back: no daemon starts again within 4 s" stays_down
check "stop removes the pid files" test ! -e "$run/leverwatch.pid" -a ! -e "$run/linkstatd.pid"
check "status after stop calls both stopped" not_running status2.out
check "a second stop exits 0" boot stop.out stop
check "another program's process named by stale pid files is still alive" live "$other"

# Pid files lost (a /var/run cleared) while both run: the supervisors are found among the
# processes, and start starts no second one to fail for ever beside them.
boot start5.out start
wait_until 10 answers
lever=$(pid_of leverwatch) stats=$(pid_of linkstatd)
lever_sup=$(cat "$run/leverwatch.supervisor.pid") stats_sup=$(cat "$run/linkstatd.supervisor.pid")
rm -f "$run"/*.pid
found() {
	boot status5.out status && grep -qx "leverwatch running ($lever)" "$work/status5.out" &&
		grep -qx "linkstatd running ($stats)" "$work/status5.out"
}
check "with their pid files gone status finds both running" found
already() { boot start6.out start && test "$(grep -c 'already running' "$work/start6.out")" -eq 2; }
check "start names both as already running" already
check "and starts no second supervisor" test "$(supervising leverwatch) $(supervising linkstatd)" = "1 1"
# With its supervisor killed outright too, leverwatch, which runs as root, is known by its
# command line and replaced.
kill -9 "$lever_sup"
wait_until 5 dead "$lever_sup"
replaced() {
	boot start7.out start && grep -qx "stopping leverwatch ($lever), left without its supervisor" \
		"$work/start7.out" && wait_until 10 dead "$lever" && wait_until 5 alive leverwatch
}
check "start replaces a leverwatch left with neither its supervisor nor its pid files" replaced
# linkstatd runs as a user whose processes another could forge: start says so, fails, and
# starts no second one.
kill -9 "$stats_sup"
wait_until 5 dead "$stats_sup"
mine="$mine $stats"
left_alone() {
	! boot start8.out start && grep -qx "linkstatd: pid $stats runs /usr/sbin/linkstatd unsupervised and not as root, so it may not be ours: left alone" \
		"$work/start8.out" && [ "$(supervising linkstatd)" = 0 ] && live "$stats"
}
check "start leaves a linkstatd without its supervisor or pid files alone, fails and says why" left_alone
kill "$stats"

# A linkstatd that can never start, with a sleep that returns at once: its supervisor's wait
# doubles from 2 s and stays at 60 s.
mkdir -p "$work/fast" && printf '#!/bin/sh\n' >"$work/fast/sleep" && chmod +x "$work/fast/sleep"
"$build/statsd/linkstatd" >"$work/blocker2.out" 2>&1 &
blocker=$! mine="$mine $!"
wait_until 10 listening
logged=$(wc -l <"$dev/syslog")
waits() {
	test "$(tail -n +$((logged + 1)) "$dev/syslog" |
		sed -n "s/^linkstatd: linkstatd exited with status [0-9]*, restarting in \([0-9]*\) s$/\1/p" |
		head -n 7 | tr '\n' ' ')" = "2 4 8 16 32 60 60 "
}
PATH=$work/fast:$PATH boot start9.out start
check "a linkstatd that keeps failing at once waits 2, 4, 8, 16 and 32 s, then 60 s each time" \
	wait_until 20 waits
boot stop5.out stop
kill "$blocker"

# Processes that look like leverwatch and are not routerd's: another user's (linkstatd's, say)
# under its name, a root one in another network namespace, and a root one left alone in a
# process group that holds another process (an administrator's shell). leverwatch runs only as
# root, here: the first two are never taken for it, and the third is ended alone. Each is tail
# under leverwatch's name, its command line the daemon's first and last.
cp "$(command -v tail)" "$work/leverwatch"
cat >"$work/named-leverwatch" <<EOF
#!/bin/sh
exec /usr/bin/python3 -c 'import os, sys; os.execv(sys.argv[1], ["/usr/sbin/leverwatch", "-f", "/usr/sbin/leverwatch"])' \
	"$work/leverwatch" >/dev/null
EOF
chmod 755 "$work/named-leverwatch"
setpriv --reuid 65534 --regid 65534 --clear-groups "$work/named-leverwatch" &
forged=$! mine="$mine $!"
unshare -n "$work/named-leverwatch" &
elsewhere=$! mine="$mine $!"
setsid sh -c "\"$work/named-leverwatch\" & exec sleep 3600" &
shell=$! mine="$mine $!"
# named PID: PID runs as leverwatch by now.
named() { [ "$(cat "/proc/$1/comm" 2>/dev/null)" = leverwatch ]; }
lone_found() { lone=$(pgrep -g "$shell" leverwatch) && named "$lone"; }
all_named() { named "$forged" && named "$elsewhere" && lone_found; }
check "processes named like leverwatch run" wait_until 10 all_named
mine="$mine $lone"
started_past() {
	boot start10.out start && wait_until 5 alive leverwatch &&
		grep -qx "stopping leverwatch ($lone), left without its supervisor" "$work/start10.out"
}
check "start runs leverwatch past another user's process named like it and a root one elsewhere" \
	started_past
both_alive() { live "$forged" && live "$elsewhere"; }
check "and leaves both alone" both_alive
lone_ended() { dead "$lone" && live "$shell"; }
check "ending the root one outside a supervisor alone, not the rest of its group" lone_ended
boot status10.out status
check "status calls leverwatch running, the one start started" \
	grep -qx "leverwatch running ($(pid_of leverwatch))" "$work/status10.out"
# Two supervisors of one daemon, as two starts at once can leave: stop ends both.
setsid sim/device -e /bin/sh -p -s /bin/busybox "$dev" "$root/$script" supervise leverwatch \
	>/dev/null 2>&1 &
mine="$mine $!"
two_supervisors() { [ "$(supervising leverwatch)" = 2 ]; }
check "a second supervisor of leverwatch runs" wait_until 10 two_supervisors
stopped_both() {
	boot stop10.out stop && [ "$(supervising leverwatch)" = 0 ] &&
		grep -qx "stopped leverwatch" "$work/stop10.out"
}
check "stop ends every supervisor of a daemon and says so" stopped_both
others_alive() { both_alive && live "$shell"; }
check "and nothing of another's" others_alive
kill "$forged" "$elsewhere" "$shell" 2>/dev/null
[ "$failures" -eq 0 ]
