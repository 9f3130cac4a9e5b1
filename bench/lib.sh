# shellcheck shell=bash
# Sourced first by each script of bench/: strict mode, the tree's root, and
# what more than one of them does.
set -euo pipefail
# shellcheck disable=SC2034 # for the scripts that source this
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
name=$(basename "$0")
fail() { echo "$name: $*" >&2; exit 1; }

built() { # built PROGRAM: it is there to time
	[ -x "$1" ] || fail "no $1; build first: cmake -S . -B build && cmake --build build"
}

needs() { # needs COMMAND:PACKAGE...: each command, or the package that brings it
	local need
	for need; do
		command -v "${need%%:*}" >/dev/null || fail "needs ${need%%:*}: apt-get install ${need##*:}"
	done
}

# The median of the numbers on standard input, separated by spaces or lines:
# one slow round on a busy machine moves it less than a mean.
median() { tr ' ' '\n' | sed '/^$/d' | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
