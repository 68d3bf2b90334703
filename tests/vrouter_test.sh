#!/bin/sh
# The firmware on the virtual router (sim/vrouter, built by sim/vrouter/build): its boot
# under real init, a trip through the modes with real reboots, supervision, the C
# library's own texts on the MIPS kernel, and power cuts during mode changes, printed as
# a table. Runs in network and pid namespaces of its own: the router's port is forwarded
# to this namespace's 127.0.0.1:10000, where the host-built linkstat asks, and whatever
# the test leaves running ends with it, even when the test itself is killed.
# Prints one "ok - ..." or "not ok - ..." line per check; fails if any check failed.
#
# usage: tests/vrouter_test.sh [HOST_BUILD_DIR]   (its tools/linkstat and
#        tools/exporter/linkstat-exporter; default build/host)
set -u
cd "$(dirname "$0")/.." || exit 1
[ -n "${VROUTER_ENCLOSED:-}" ] || exec sim/vrouter/enclosed "$(readlink -f "$0")" "$@"
host=$(readlink -f "${1:-build/host}")
linkstat=$host/tools/linkstat
exporter=$host/tools/exporter/linkstat-exporter
run=sim/vrouter/run
dir=$PWD/build/vrouter/tests/router
trap '$run cut "$dir"' EXIT
. tests/harness/checks.sh

# A boot and a mode change with its restart take well under a minute; the emulator on a
# host busy with other work can take several times that. Waits end as their condition holds.
settle_seconds=240
# wait_until SECONDS COMMAND...: runs COMMAND until it succeeds, for at most SECONDS.
wait_until() {
	end=$(($(cut -d . -f 1 /proc/uptime) + $1))
	shift
	until "$@"; do
		[ "$(cut -d . -f 1 /proc/uptime)" -lt "$end" ] || return 1
		sleep 0.2
	done
}

in_router() { $run exec "$dir" "$1"; }
# polled COMMAND: one try of a wait, given up after 30 s rather than 300 when the router
# restarts under it and the answer is lost; the wait then tries again.
polled() { $run exec -t 30 "$dir" "$1"; }
# same EXPECTED ACTUAL: the texts are equal; a difference is shown as comment lines.
same() {
	[ "$1" = "$2" ] && return 0
	printf '%s\n' "$1" >"$dir.expected" && printf '%s\n' "$2" | diff "$dir.expected" - | sed 's/^/# /'
	return 1
}

# The store, as "flash get" prints it. A network's keys in each profile: FIELD ROOT
# REPEATER STASH, "-" where the profile keeps none.
profiles='ssid WLAN0_SSID WLAN0_VAP4_SSID WLAN0_VAP2_SSID
ssid - REPEATER_SSID1 -
encrypt WLAN0_ENCRYPT WLAN0_VAP4_ENCRYPT WLAN0_VAP2_ENCRYPT
auth WLAN0_WPA_AUTH WLAN0_VAP4_WPA_AUTH -
wpa WPA_CIPHER_SUITE WLAN0_VAP4_WPA_CIPHER_SUITE -
wpa2 WPA2_CIPHER_SUITE WLAN0_VAP4_WPA2_CIPHER_SUITE -
format WLAN0_PSK_FORMAT WLAN0_VAP4_PSK_FORMAT WLAN0_VAP2_PSK_FORMAT
psk WLAN0_WPA_PSK WLAN0_VAP4_WPA_PSK WLAN0_VAP2_WPA_PSK
psk WLAN0_WSC_PSK WLAN0_VAP4_WSC_PSK -
wsc_auth WLAN0_WSC_AUTH WLAN0_VAP4_WSC_AUTH -
wsc_enc WLAN0_WSC_ENC WLAN0_VAP4_WSC_ENC -'
# The home network (WPA2) and the upstream one (WPA): NETWORK FIELD VALUE.
networks='home ssid "Home Net"
home encrypt 4
home auth 2
home wpa 0
home wpa2 2
home format 0
home psk "correct horse battery"
home wsc_auth 32
home wsc_enc 8
upstream ssid "Upstream Cafe"
upstream encrypt 2
upstream auth 2
upstream wpa 1
upstream wpa2 0
upstream format 0
upstream psk "espresso-2024"
upstream wsc_auth 2
upstream wsc_enc 4'
# Each mode's settings, and where each network belongs in it: MODE SETTINGS HOME UPSTREAM.
modes='router OP_MODE=0,DHCP=2,WLAN0_MODE=0,WAN_DHCP=1,REPEATER_ENABLED1=0,WLAN0_VAP4_WLAN_DISABLED=1 root stash
ap OP_MODE=1,DHCP=0,WLAN0_MODE=0,REPEATER_ENABLED1=0,WLAN0_VAP4_WLAN_DISABLED=1 root stash
wisp OP_MODE=2,DHCP=2,WLAN0_MODE=1,REPEATER_ENABLED1=1,WLAN0_VAP4_WLAN_DISABLED=0,WAN_DHCP=1,DNS_MODE=0 repeater root'

# stored NETWORK PROFILE: the network's keys in the profile, one "KEY=value" a line.
stored() {
	printf '%s\n' "$networks" | awk -v net="$1" -v profile="$2" -v keys="$profiles" '
		BEGIN { col = profile == "root" ? 2 : profile == "repeater" ? 3 : 4
			n = split(keys, rows, "\n")
			for (i = 1; i <= n; i++) { split(rows[i], f, " "); if (f[col] != "-") key[i] = f[col]; field[i] = f[1] } }
		$1 == net { v = $0; sub(/^[^ ]* [^ ]* /, "", v); value[$2] = v }
		END { for (i = 1; i <= n; i++) if (i in key) print key[i] "=" value[field[i]] }'
}
# part MODE home|upstream|settings: what the store holds for it in MODE.
part() {
	printf '%s\n' "$modes" | while read -r mode settings home upstream; do
		[ "$mode" = "$1" ] || continue
		case $2 in
		home) stored home "$home" ;;
		upstream) stored upstream "$upstream" ;;
		settings) printf '%s\n' "$settings" | tr ',' '\n' ;;
		esac
	done
}
# holds MODE PART: the router's store holds PART as MODE has it; $dir.actual keeps what
# it holds instead.
holds() {
	want=$(part "$1" "$2")
	keys=$(printf '%s\n' "$want" | sed 's/=.*//' | tr '\n' ' ')
	in_router "cd /flash/store && cat $keys 2>/dev/null" >"$dir.actual"
	same "$want" "$(cat "$dir.actual")"
}
whole() { holds "$1" home && holds "$1" upstream && holds "$1" settings; }
# seeded MODE: the store of a device in MODE, KEY=value a line as flash stores them.
seeded() {
	part "$1" home && part "$1" upstream && part "$1" settings &&
		printf 'WLAN0_WSC_CONFIGURED=1\nWLAN0_WSC_DISABLE=0\nLEVERWATCH_CHANGE=none\n'
	# In WISP mode the stash still holds the upstream network the mode was entered with.
	[ "$1" != wisp ] || stored upstream stash
}
# seed MODE POSITION: a store in MODE with the switch at POSITION, written while the daemons
# are stopped; leverwatch then starts settled.
seed() {
	# Written as flash stores them, without a flash call for each: the store's files, synced.
	files=$(seeded "$1" | sed "s|^\([^=]*\)=.*|printf '%s\\\\n' '&' >/flash/store/\1|")
	in_router "/etc/init.d/routerd stop >/dev/null &&
		rm -f /flash/store/* /flash/fault /flash/fault.count && $files
		sync && echo $2 >/proc/slide_sw && /etc/init.d/routerd start >/dev/null"
}
# The flash calls of this boot, and the flash set runs of the boot before it.
this_boot=$(cat <<'EOF'
awk '/^boot$/ { s = "" } { s = s $0 "\n" } END { printf "%s", s }' /flash/calls.log
EOF
)
sets_last_boot=$(cat <<'EOF'
awk '/^boot$/ { last = s; s = "" } /^flash set/ { s = s $0 "\n" } END { printf "%s", last }' /flash/calls.log
EOF
)
# with_boot_ids: the sets as above, the boot ids in them left out.
with_boot_ids() { sed 's/restart-owed-in-boot-.*/restart-owed-in-boot-ID/'; }
# host_sets FROM TARGET: the sets the host build's leverwatch makes, in the simulated device,
# for the change from a store seeded in FROM mode, as seed seeds it, to the switch at TARGET.
host_sets() {
	host_dev=$dir.host
	rm -rf "$host_dev" && mkdir -p "$host_dev/store" "$host_dev/proc"
	seeded "$1" | while IFS= read -r setting; do
		printf '%s\n' "$setting" >"$host_dev/store/${setting%%=*}"
	done
	echo "$2" >"$host_dev/proc/slide_sw"
	sim/device "$host_dev" "$host/controller/leverwatch" >/dev/null 2>&1 &
	host_run=$!
	wait_until 60 grep -qsx reboot "$host_dev/calls.log"
	changed=$?
	{ kill "$host_run" && wait "$host_run"; } 2>/dev/null
	grep '^flash set ' "$host_dev/calls.log" | with_boot_ids
	return $changed
}
# writes_as_host FROM TARGET: the boot before this one wrote what the host build writes for the
# change from FROM mode to the switch at TARGET.
writes_as_host() {
	host_writes=$(host_sets "$1" "$2") &&
		same "$host_writes" "$(in_router "$sets_last_boot" | with_boot_ids)"
}
# settled: this boot's leverwatch has read OP_MODE, which names the switch's mode, and the
# settings that tell it (the last thing a settled start reads, twice; a change it found to
# finish reads them once, and writes), and has written nothing since the boot began.
settled() {
	polled "read -r position </proc/slide_sw
		case \$(cat /flash/store/OP_MODE)\$position in OP_MODE=03 | OP_MODE=11 | OP_MODE=22) ;; *) exit 1 ;; esac
		$this_boot >/tmp/this-boot
		[ \"\$(tail -n 2 /tmp/this-boot | tr '\\n' ' ')\" = 'flash get REPEATER_ENABLED1 flash get REPEATER_ENABLED1 ' ] &&
			! grep -q '^flash set' /tmp/this-boot" 2>/dev/null
}

mkdir -p "$dir"
rm -f "$dir/flash.img"

# Boot: the router comes up under busybox init, and linkstatd answers through the
# forwarded port with the first station's figures of a two-station table as the wireless
# driver prints it.
check "the router boots and its shell answers" sh -c "$run start -p 10000 '$dir' | tail -n 1 | grep -qx 10000"
check "init's boot script started both daemons" \
	sh -c "grep -q '^started leverwatch' '$dir/console.log' && grep -q '^started linkstatd' '$dir/console.log'"
in_router "cat >/proc/wlan0/sta_info <<'TABLE'
-- STA info table -- (active: 2)
1: stat_info...
    state: 1, AID: 1
    hwaddr: 00e04c8196c1
    tx_packets: 1202
    rx_packets: 3391
    rx_retrys: 7
    tx_retrys: 12
    rx_crc_errors: 3
    rx_decache: 1
    rssi: 40 (40 35 0 0)
    current_tx_rate: MCS7 (72.2)
    current_rx_rate: 54
    hw_queue_full: 0
2: stat_info...
    state: 1, AID: 2
    hwaddr: 00e04c81a7d2
    rssi: 61 (61 58 0 0)
    current_tx_rate: MCS15 (300)
    current_rx_rate: 11
    hw_queue_full: 0
TABLE"
record() { printf ask | timeout 10 busybox nc -w 2 127.0.0.1 10000 | od -An -v -tx1 | tr -s ' \n' ' '; }
check "ask through the forwarded port gets the exact record of the first station" same \
	" 00 00 00 5c$(printf ' 00 00 00 00 00 00 00 00%.0s' 1 2 3 4) 00 00 00 04 00 00 00 28 00 00 00 05 00 00 00 28 00 00 00 06 00 00 00 23 00 00 00 07 00 00 00 00 00 00 00 08 00 00 00 00 00 00 00 09 00 00 00 91 00 00 00 0a 00 00 00 6c " \
	"$(record)"
check "the host-built linkstat reads it" same "rssi         40
  path A     40
  path B     35
  path C      0
  path D      0
tx rate      72.5 Mb/s  (code 145)
rx rate      54.0 Mb/s  (code 108)" "$("$linkstat" 2>&1)"
# The host-built exporter probes it through the forwarded port, and ends before the checks
# below count the router's connections.
"$exporter" --listen 127.0.0.1:9742 --allow 127.0.0.1 2>"$dir.exporter.log" &
exporter_pid=$!
probed() {
	busybox wget -q -O - 'http://127.0.0.1:9742/probe?target=127.0.0.1:10000' 2>/dev/null |
		grep -v '^#\|^linkstat_probe_duration' >"$dir.probed"
	[ "$(cat "$dir.probed")" = 'linkstat_up 1
linkstat_station_present 1
linkstat_rssi 40
linkstat_path_rssi{path="a"} 40
linkstat_path_rssi{path="b"} 35
linkstat_path_rssi{path="c"} 0
linkstat_path_rssi{path="d"} 0
linkstat_transmit_rate_bytes_per_second 9062500
linkstat_receive_rate_bytes_per_second 6750000' ]
}
check "the host-built exporter probes it through the forwarded port" wait_until 30 probed
probed || sed 's/^/# /' "$dir.probed" "$dir.exporter.log"
kill "$exporter_pid"
wait "$exporter_pid" 2>/dev/null

# Through the modes with real reboots: each change restarts the router by itself, and
# the next boot's leverwatch settles with both networks whole where they belong.
seed router 3
in_router reboot
check "a seeded store boots settled in Router mode" wait_until "$settle_seconds" settled
check "and holds both networks whole" whole router
previous=router
for step in "2 wisp" "1 ap" "3 router"; do
	# shellcheck disable=SC2086 # split into its fields
	set -- $step
	in_router "echo $1 >/proc/slide_sw"
	check "switch at $1: the router restarts by itself into $2 mode and settles" wait_until "$settle_seconds" settled
	check "$previous to $2: both networks whole where they belong, and the mode's settings" whole "$2"
	check "$previous to $2: the firmware wrote what the host build writes for it" \
		writes_as_host "$previous" "$1"
	previous=$2
done

# A store that loses OP_MODE without a word for a while: the change is written but the router restarts
# only once OP_MODE holds the new mode, and nothing is lost.
boots() { in_router "grep -c '^boot\$' /flash/calls.log"; }
seed router 3
booted=$(boots)
in_router "echo 'set:OP_MODE lose' >/flash/fault && echo 1 >/proc/slide_sw"
refusing() { polled "logread | grep -q 'OP_MODE does not read back as written'"; }
check "with OP_MODE not kept, leverwatch holds the restart and says why" wait_until "$settle_seconds" refusing
check "and the router runs on" same "$booted" "$(boots)"
in_router "rm /flash/fault"
check "once the store takes OP_MODE, the router restarts into ap mode and settles" wait_until "$settle_seconds" settled
restarted_once() { [ "$(boots)" -eq $((booted + 1)) ]; }
check "having restarted once" restarted_once
check "with both networks whole and the mode's settings" whole ap

# Supervision under real init.
old=$(in_router 'cat /var/run/linkstatd.pid')
in_router "kill -KILL $old"
answers_anew() { [ "$(in_router 'cat /var/run/linkstatd.pid')" != "$old" ] && "$linkstat" >/dev/null 2>&1; }
check "a killed linkstatd is back and answering" wait_until 30 answers_anew
check "its lines are in logread under its tag" sh -c "$run exec '$dir' logread |
	grep -q 'linkstatd: linkstatd killed by signal KILL, restarting in 2 s'"

# The C library's own texts, as the device prints them on its own kernel.
check "a second linkstatd cannot bind: perror's text, and its errno (EADDRINUSE on MIPS) as the status" \
	same "socket--bind: Address in use
125" "$(in_router 'linkstatd 2>&1; echo $?')"
check "the router's linkstat with nothing listening: the text of a refused connection" \
	same "linkstat: cannot connect to 127.0.0.1 port 10000: Connection refused
1" "$(in_router '/etc/init.d/routerd stop >/dev/null; linkstat 2>&1; echo $?; /etc/init.d/routerd start >/dev/null')"

# Power cuts during mode changes, for the firmware as shipped (its change recorded in a store
# key) and built without a key (the record in /var/run, which the cut empties). The k-th flash
# set of the change holds until the power is cut; the router boots again, the store is mended
# where a key was refused, and what the next boots left is judged by one rule: the router
# settles in the switch's mode, its settings written and both networks whole where the mode
# keeps them. Without a key, a cut from the change's OP_MODE to its last setting may leave the
# switch held off instead ("contradicts"), each network whole where it was or where it goes. A
# get changes nothing on the disk, so cuts after every set meet every state a cut can leave:
# VROUTER_CUTS=full cuts after each set of each of the six changes; otherwise after the first
# and the last set of a change's overwriting phase, of two of them (VROUTER_FIRMWARES=keyed, or
# keyless, takes one firmware alone). A restart through the
# router's own shutdown (rcK, routerd stop) while a change is held by a refused key is judged
# the same way.
#
# firmware: which leverwatch the router runs, keyed or keyless.
firmware() {
	polled "if cmp -s /usr/sbin/leverwatch /usr/lib/vrouter/leverwatch-keyless; then echo keyless; else echo keyed; fi" 2>/dev/null
}
firmware_is() { [ "$(firmware)" = "$1" ]; }
# place keyed|keyless: the firmware the next boots run; changing it restarts the router.
place() {
	firmware_is "$1" && return
	in_router "$([ "$1" = keyless ] && echo touch || echo rm -f) /flash/keyless
		(sleep 1; reboot) >/dev/null 2>&1 &"
	check "the router restarts running leverwatch $1" wait_until "$settle_seconds" firmware_is "$1"
}
# calls_now: how many lines the call log holds.
calls_now() { in_router "wc -l </flash/calls.log"; }
# sets_since LINE: the keys set after line LINE of the call log, up to the next boot.
sets_since() {
	in_router "awk 'NR > $1 && /^boot\$/ { exit } NR > $1 && /^flash set/ { print \$3 }' /flash/calls.log"
}
# held: this boot's leverwatch holds the switch off, its settings contradicting OP_MODE.
held() { polled "logread | grep -q 'switch ignored until the store agrees'" 2>/dev/null; }
settled_or_held() { settled || held; }
# lost MODE [FROM]: sets lost to the networks not whole where MODE keeps them, nor, when FROM is
# given, where FROM did.
lost() {
	lost=
	for p in home upstream; do
		holds "$1" "$p" >/dev/null || { [ -n "${2:-}" ] && holds "$2" "$p" >/dev/null; } ||
			lost="$lost $p"
	done
}
# judge WHAT TO [FROM]: after a cut or restart and the store mended: strict, or lenient given
# FROM; prints the table's line and checks that nothing was lost.
judge() {
	judged=$1
	if [ -n "${3:-}" ]; then
		check "$judged: and settles or holds the switch off" wait_until "$settle_seconds" settled_or_held || return
		lost "$2" "$3"
		how=$(if held; then echo "held, OP_MODE contradicted"; else echo settled; fi)
	else
		check "$judged: and settles" wait_until "$settle_seconds" settled || return
		lost "$2"
		how=settled
	fi
	holds "$2" settings >/dev/null ||
		how="$how; not as $2 mode has them: $(part "$2" settings | grep -vxF -f "$dir.actual" | sed 's/=.*//' | tr '\n' ' ')"
	printf '# %-48s lost:%s; %s\n' "$judged" "${lost:- nothing}" "$how"
	check "$judged: no network lost" test -z "$lost"
	[ -n "${3:-}" ] || check "$judged: the mode's settings written" holds "$2" settings
}
# cut_after FROM TO POSITION TARGET K [REFUSED]: seeds FROM, cuts the change to TO after its
# K-th set, boots again and mends.
cut_after() {
	seed "$1" "$3"
	[ -z "${6:-}" ] || in_router "echo 'set:$6 refuse' >/flash/fault"
	in_router "echo $5 >/tmp/vrouter-cut && echo $4 >/proc/slide_sw"
	cut_at=$5
	holding() { grep -q "^vrouter: holding after flash set $cut_at for a power cut" "$dir/console.log"; }
	check "$1 to $2, cut after set $5${6:+ ($6 refused)}: the change gets there" \
		wait_until "$settle_seconds" holding || return 1
	$run cut "$dir"
	# The store is mended only once the router is up: a change that runs anew from writing
	# holds at the refusal, so the router cannot restart under the command that mends it.
	mended() { $run start -p 10000 "$dir" >/dev/null && in_router "rm -f /flash/fault"; }
	check "$1 to $2, cut after set $5: the router comes back" mended
}
echo "# power cuts: firmware, change, cut after flash set k of n, what the router was left with"
changes="router,wisp,3,2 wisp,ap,2,1"
[ "${VROUTER_CUTS:-}" != full ] ||
	changes="$changes ap,wisp,1,2 wisp,router,2,3 ap,router,1,3 router,ap,3,1"
for kind in ${VROUTER_FIRMWARES:-keyed keyless}; do
	place "$kind"
	for change in $changes; do
		IFS=, read -r from to position target <<EOF
$change
EOF
		# The change's sets, from a healthy run of it.
		seed "$from" "$position"
		before=$(calls_now)
		in_router "echo $target >/proc/slide_sw"
		wait_until "$settle_seconds" settled
		sets=$(sets_since "$before")
		n=$(printf '%s\n' "$sets" | wc -l)
		at() { printf '%s\n' "$sets" | grep -nx "$1" | head -n 1 | cut -d: -f1; }
		op_mode=$(at OP_MODE) overwrite=$(at WLAN0_SSID) wsc_psk=$(at WLAN0_WSC_PSK)
		# The last setting: the record of the restart owed comes after it, with a key.
		last=$n
		[ "$kind" = keyless ] || last=$((n - 1))
		if [ "${VROUTER_CUTS:-}" = full ]; then
			points=$(seq 1 "$n")
		else
			points="${overwrite:-$op_mode} $last"
		fi
		for k in $points; do
			cut_what="$kind $from-$to, cut after set $k of $n"
			cut_after "$from" "$to" "$position" "$target" "$k" || continue
			if [ "$kind" = keyless ] && [ "$k" -ge "$op_mode" ] && [ "$k" -lt "$last" ]; then
				judge "$cut_what" "$to" "$from"
			else
				judge "$cut_what" "$to"
			fi
		done
		[ -n "$wsc_psk" ] || continue
		cut_after "$from" "$to" "$position" "$target" "$wsc_psk" WLAN0_WSC_PSK || continue
		judge "$kind $from-$to, cut while WLAN0_WSC_PSK is refused" "$to" \
			"$([ "$kind" = keyless ] && echo "$from")"
	done
	# The user's restart while a change is held: the shutdown stops leverwatch, which ends.
	seed wisp 2
	in_router "echo 'set:WLAN0_WSC_PSK refuse' >/flash/fault && echo 1 >/proc/slide_sw"
	refusing() { polled "logread | grep -q 'WLAN0_WSC_PSK could not be written; writing it again'"; }
	check "$kind wisp-ap held by a refusal: the change waits to write it again" \
		wait_until "$settle_seconds" refusing || continue
	boots=$(grep -c 'rcS: the switch stands at' "$dir/console.log")
	in_router "(sleep 1; reboot) >/dev/null 2>&1 &"
	restarted() { [ "$(grep -c 'rcS: the switch stands at' "$dir/console.log")" -gt "$boots" ]; }
	check "$kind wisp-ap held: the router restarts through its shutdown" \
		wait_until "$settle_seconds" restarted
	in_router "rm -f /flash/fault"
	judge "$kind wisp-ap, restarted while held" ap "$([ "$kind" = keyless ] && echo wisp)"
done
place keyed

# Least privilege on the MIPS kernel: linkstatd, and the process serving a connection held
# open through the forwarded port, run as user and group 65534 with no supplementary groups
# and no way to gain privilege.
sleep 60 | busybox nc 127.0.0.1 10000 >/dev/null 2>&1 &
holder=$!
linkstatd_pid=$(in_router 'cat /var/run/linkstatd.pid')
# served: sets served to a process linkstatd started.
served() {
	served=$(in_router "awk '/^PPid:/ && \$2 == $linkstatd_pid { split(FILENAME, p, \"/\"); print p[3]; exit }' /proc/[0-9]*/status 2>/dev/null")
	[ -n "$served" ]
}
# ids PID: what PID's status says of its ids and privilege, trailing blanks left out.
ids() { in_router "grep -E '^(Uid|Gid|Groups|NoNewPrivs):' /proc/$1/status" | sed 's/[[:space:]]*$//'; }
unprivileged=$(printf 'Uid:\t65534\t65534\t65534\t65534\nGid:\t65534\t65534\t65534\t65534\nGroups:\nNoNewPrivs:\t1')
check "linkstatd runs as 65534, with no supplementary groups and no new privileges" \
	same "$unprivileged" "$(ids "$linkstatd_pid")"
connection_unprivileged() { wait_until 30 served && same "$unprivileged" "$(ids "$served")"; }
check "and so does the process serving a connection" connection_unprivileged
kill "$holder" 2>/dev/null

# The runner: a second router beside the first, and nothing left running by stop or cut.
other=$dir-2
rm -rf "$other"
check "a second DIR boots a second router beside the first" sh -c "$run start -p 10001 '$other' >/dev/null"
boot_id() { $run exec "$1" 'cat /proc/sys/kernel/random/boot_id'; }
check "each answers as itself" test "$(boot_id "$dir")" != "$(boot_id "$other")"
# emulators: how many emulators run in this test's pid namespace (zombies do not count).
emulators() { cat /proc/[0-9]*/stat 2>/dev/null | awk '$2 == "(qemu-system-mip)" && $3 != "Z"' | wc -l; }
check "stop powers one off cleanly and leaves the other" sh -c "$run stop '$other' && grep -q 'reboot: Power down' '$other/console.log'"
check "and the other's emulator alone runs" test "$(emulators)" -eq 1
$run cut "$dir"
check "cut ends the other at once: no emulator is left" test "$(emulators)" -eq 0
[ "$failures" -eq 0 ]
