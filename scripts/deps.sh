# Sourced by the scripts: installs the Debian packages a step needs, once.
# As root it runs apt-get; as an ordinary user it names what is missing and stops.

# need_packages PKG...: make sure every package is installed.
need_packages() {
	missing=
	for p in "$@"; do
		dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' ||
			missing="$missing $p"
	done
	[ -z "$missing" ] && return 0
	if [ "$(id -u)" -ne 0 ]; then
		echo "missing Debian packages:$missing" >&2
		echo "install them with: sudo apt-get update && sudo apt-get install -y$missing" >&2
		exit 1
	fi
	echo "installing:$missing"
	apt-get update -qq >/dev/null &&
		DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null ||
		{ echo "apt-get failed for:$missing" >&2; exit 1; }
}

# Everything the build, the simulated device and the tests use.
BUILD_PACKAGES="cmake make g++ binutils libgtest-dev libgmock-dev libbenchmark-dev util-linux mount iproute2 strace nftables libfaketime"
# linkstat-exporter, a host program: its HTTP server library and its resolver (headers and
# shared libraries), found through pkg-config.
EXPORTER_PACKAGES="libmicrohttpd-dev libc-ares-dev pkg-config"
# Its tests: a real Prometheus with promtool, and a real browser driven from Python.
EXPORTER_CHECK_PACKAGES="prometheus chromium chromium-driver python3-selenium"
# scripts/report-exporter: the blackbox exporter it is measured beside.
EXPORTER_REPORT_PACKAGES="prometheus-blackbox-exporter"
DEVICE_PACKAGES="g++-mips-linux-gnu qemu-user-static busybox"
CHECK_PACKAGES="clang clang-format libclang-rt-14-dev"
# scripts/debian-source.sh: dpkg-source unpacks a Debian source package.
SOURCE_PACKAGES="dpkg-dev"
# scripts/build-musl: the C library of the static device build.
MUSL_PACKAGES="g++-mips-linux-gnu make"
# sim/vrouter/build and run: the kernel and its build tools, the emulator and the disk;
# the soak is Python.
VROUTER_PACKAGES="linux-source-6.1 gcc-mips-linux-gnu gcc make bc bison flex xz-utils qemu-system-mips e2fsprogs util-linux coreutils python3"
