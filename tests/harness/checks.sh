# shellcheck shell=sh
# Sourced by the shell test scripts: each check prints one "ok - ..." or "not ok - ..."
# line, which scripts/test counts, and a failed one adds to failures.
failures=0

# check WHAT COMMAND...: runs COMMAND and says whether WHAT holds.
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
