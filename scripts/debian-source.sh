# shellcheck shell=sh disable=SC2034 # sets src and version for the script that sources it
# Sourced by the scripts that build from Debian's source packages (scripts/build-musl,
# sim/vrouter/build), after scripts/deps.sh and from the top of the tree. The source is
# fetched through an apt configuration of our own under build/apt (its own sources list,
# lists and cache; the system's keyring, mirror and suites): the system's apt setup is
# only read.

# debian_source PACKAGE[=VERSION] DIR: unpacks PACKAGE's source package (of VERSION when
# given) into DIR/src, replacing whatever was there; sets src to the unpacked tree and
# version to the package's version.
debian_source() {
	name=${1%%=*}
	# shellcheck disable=SC2086 # a list of package names
	need_packages $SOURCE_PACKAGES
	apt=$PWD/build/apt
	mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/sources.list.d"
	rm -rf "$2/src" && mkdir -p "$2/src"
	# One fetch at a time: apt refuses a second update of the same lists. The lock is the
	# subshell's alone, so it is let go when the fetch ends, on every path: a script that the
	# caller starts afterwards (sim/vrouter/build runs scripts/build-musl) fetches in turn.
	(
		exec 7>"$apt/fetch.lock"
		flock 7
		# A deb-src line for every archive the system installs packages from, as it names them.
		# shellcheck disable=SC2016 # apt's own $(FIELD) placeholders
		apt-get --no-release-info indextargets --format '$(TARGET_OF) $(REPO_URI) $(RELEASE) $(COMPONENT)' |
			awk '$1 == "deb" { print "deb-src", $2, $3, $4 }' | sort -u >"$apt/sources.list"
		[ -s "$apt/sources.list" ] || { echo "$1: the system's apt sources name no archive" >&2; exit 1; }
		cat >"$apt/apt.conf" <<CONF
Dir::Etc::SourceList "$apt/sources.list";
Dir::Etc::SourceParts "$apt/sources.list.d";
Dir::State::Lists "$apt/lists";
Dir::Cache "$apt/cache";
APT::Sandbox::User "root";
CONF
		# One archive that cannot be reached is no reason to stop while another has the source.
		APT_CONFIG="$apt/apt.conf" apt-get update -qq ||
			echo "$1: some source indexes could not be fetched" >&2
		(cd "$2/src" && APT_CONFIG="$apt/apt.conf" apt-get source -qq "$1") >"$2/fetch.log" 2>&1 ||
			{ cat "$2/fetch.log" >&2; echo "$name: apt-get source $1 failed" >&2; exit 1; }
	) || return 1
	src=$(find "$2/src" -mindepth 1 -maxdepth 1 -type d -name "$name-*" | head -n 1)
	[ -n "$src" ] || { echo "$1: no source tree in $2/src" >&2; return 1; }
	version=$(sed -n 's/^Version: //p' "$2/src/$name"_*.dsc | head -n 1)
}
