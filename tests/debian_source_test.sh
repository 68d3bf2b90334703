#!/bin/sh
# scripts/debian-source.sh with apt-get stood in for: a fetch lets go of its lock when it
# ends, so that a script the fetching shell starts next fetches in turn (sim/vrouter/build
# fetches busybox, then runs scripts/build-musl, which fetches musl), rather than waiting for
# its parent for ever.
# Prints one "ok - ..." or "not ok - ..." line per check; fails if any check failed.
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/tests/harness/checks.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin"
# apt-get as debian_source runs it: the system's archives, an update, a source tree.
cat >"$work/bin/apt-get" <<'STUB'
#!/bin/sh
case $1 in
--no-release-info) echo 'deb http://deb.example bookworm main' ;;
source) mkdir "${3%%=*}-1.0" && echo 'Version: 1.0' >"${3%%=*}_1.0.dsc" ;;
esac
STUB
chmod +x "$work/bin/apt-get"
cd "$work" || exit 1
PATH=$work/bin:$PATH
. "$top/scripts/deps.sh"
. "$top/scripts/debian-source.sh"

fetched() { debian_source "$1" "$work/$1" && [ "$src" = "$work/$1/src/$1-1.0" ] && [ "$version" = 1.0 ]; }
check "a fetch unpacks the source and names its tree and version" fetched busybox
in_child() {
	# shellcheck disable=SC2016 # expanded by the child shell
	timeout 20 sh -c '. "$1/scripts/deps.sh" && . "$1/scripts/debian-source.sh" &&
		debian_source musl "$2/musl"' sh "$top" "$work" >/dev/null 2>&1
}
check "a script the fetching shell starts then fetches too" in_child
[ "$failures" -eq 0 ]
