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
linkstat=$(readlink -f "${1:-build/host}")/tools/linkstat
exporter=$(readlink -f "${1:-build/host}")/tools/exporter/linkstat-exporter
run=sim/vrouter/run
dir=$PWD/build/vrouter/tests/router
trap '$run cut "$dir"' EXIT
. tests/checks.sh

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
# seed MODE POSITION: a store in MODE with the switch at POSITION, set through flash while
# the daemons are stopped; leverwatch then starts settled.
seed() {
	sets=$({ part "$1" home && part "$1" upstream && part "$1" settings &&
		printf 'WLAN0_WSC_CONFIGURED=1\nWLAN0_WSC_DISABLE=0\n'; } | sed 's/^\([^=]*\)=/flash set \1 /')
	# In WISP mode the stash still holds the upstream network the mode was entered with.
	[ "$1" = wisp ] && sets="$sets
$(stored upstream stash | sed 's/^\([^=]*\)=/flash set \1 /')"
	in_router "/etc/init.d/routerd stop >/dev/null &&
		rm -f /flash/store/* /flash/refuse /flash/fault /flash/fault.count && $sets
		echo $2 >/proc/slide_sw && /etc/init.d/routerd start >/dev/null"
}
# The flash calls of this boot, and the flash set runs of the boot before it.
this_boot=$(cat <<'EOF'
awk '/^boot$/ { s = "" } { s = s $0 "\n" } END { printf "%s", s }' /flash/calls.log
EOF
)
sets_last_boot=$(cat <<'EOF'
awk '/^boot$/ { last = n; n = 0 } /^flash set/ { n++ } END { print last }' /flash/calls.log
EOF
)
# settled: this boot's leverwatch has read OP_MODE, which names the switch's mode, and
# has written nothing since the boot began (a change it found to make would have).
settled() {
	polled "read -r position </proc/slide_sw
		case \$(cat /flash/store/OP_MODE)\$position in OP_MODE=03 | OP_MODE=11 | OP_MODE=22) ;; *) exit 1 ;; esac
		$this_boot >/tmp/this-boot
		grep -qx 'flash get OP_MODE' /tmp/this-boot && ! grep -q '^flash set' /tmp/this-boot" 2>/dev/null
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
check "a store seeded through flash boots settled in Router mode" wait_until "$settle_seconds" settled
check "and holds both networks whole" whole router
previous=router
for step in "2 wisp 28" "1 ap 20" "3 router 6"; do
	# shellcheck disable=SC2086 # split into its fields
	set -- $step
	in_router "echo $1 >/proc/slide_sw"
	check "switch at $1: the router restarts by itself into $2 mode and settles" wait_until "$settle_seconds" settled
	check "$previous to $2: both networks whole where they belong, and the mode's settings" whole "$2"
	check "$previous to $2 was $3 flash set runs" same "$3" "$(in_router "$sets_last_boot")"
	previous=$2
done

# A store that loses OP_MODE without a word for a while: the change is written but the router restarts
# only once OP_MODE holds the new mode, and nothing is lost.
boots() { in_router "grep -c '^boot\$' /flash/calls.log"; }
seed router 3
booted=$(boots)
in_router "echo OP_MODE 0 >/flash/refuse && echo 1 >/proc/slide_sw"
refusing() { polled "logread | grep -q 'OP_MODE does not read back as written'"; }
check "with OP_MODE not kept, leverwatch holds the restart and says why" wait_until "$settle_seconds" refusing
check "and the router runs on" same "$booted" "$(boots)"
in_router "rm /flash/refuse"
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

# Power cuts during a mode change: the k-th flash set of the change holds until the power
# is cut, the router boots again and leverwatch runs the change anew. A cut inside the
# change's window (from its first write that moves a profile to its OP_MODE write, which
# comes once every profile write was taken: with a key refused, for as long as the refusal
# lasts) can lose a network, the known limit; nothing may be lost outside it. Mode settings
# left unwritten are shown, not judged.
# FROM TO FROM_POSITION TO_POSITION WINDOW_FIRST WINDOW_LAST REFUSED_KEY|- CUT_POINTS...
echo "# power cuts: change, cut after flash set k, what was lost once the router settled again"
for change in "router wisp 3 2 12 21 - 6 16 24" "wisp ap 2 1 5 15 - 3 10 18" \
	"router wisp 3 2 12 99 WLAN0_WSC_PSK 22"; do
	# shellcheck disable=SC2086 # split into its fields
	set -- $change
	from=$1 to=$2 position=$3 target=$4 first=$5 last=$6 refused=$7
	shift 7
	for k; do
		cut_at="$from to $to, cut after set $k"
		[ "$refused" = - ] || cut_at="$cut_at, $refused refused"
		seed "$from" "$position"
		[ "$refused" = - ] || in_router "echo $refused >/flash/refuse"
		in_router "echo $k >/tmp/vrouter-cut && echo $target >/proc/slide_sw"
		held() { grep -q "^vrouter: holding after flash set $k for a power cut" "$dir/console.log"; }
		check "$cut_at: the change gets there" wait_until "$settle_seconds" held || continue
		$run cut "$dir"
		# A refusal holds the change run anew from writing, so the router cannot restart under
		# the command that ends it.
		mended() {
			$run start -p 10000 "$dir" >/dev/null &&
				{ [ "$refused" = - ] || in_router "rm -f /flash/refuse"; }
		}
		check "$cut_at: the router comes back" mended || continue
		check "$cut_at: and settles" wait_until "$settle_seconds" settled || continue
		lost=
		for p in home upstream; do holds "$to" "$p" >/dev/null || lost="$lost $p"; done
		unwritten=
		holds "$to" settings >/dev/null ||
			unwritten="; not as $to mode has them: $(part "$to" settings | grep -vxF -f "$dir.actual" | sed 's/=.*//' | tr '\n' ' ')"
		printf '# %-12s %2s  lost:%s%s%s\n' "$from-$to" "$k" "${lost:- nothing}" "$unwritten" \
			"$([ "$refused" = - ] || echo "; $refused refused")"
		if [ "$k" -lt "$first" ] || [ "$k" -gt "$last" ]; then
			check "$cut_at, outside the window: no network lost" test -z "$lost"
		fi
	done
done

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
