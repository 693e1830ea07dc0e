#!/usr/bin/env bash
# Debian's own checks on the packages that scripts/build-deb.sh built in OUT (by default
# build/debian-src): lintian, pedantic and informational tags included, fails on any tag that an
# override with its reason does not explain; and hardening-check on every program.
#   scripts/check-deb.sh [OUT]
set -euo pipefail
out=$(realpath -m "${1:-build/debian-src}")
changes=("$out"/*.changes)
[[ -e ${changes[0]} ]] || { echo "check-deb.sh: no .changes in $out (scripts/build-deb.sh)" >&2; exit 1; }

status=0
report=$(lintian --pedantic --display-info --fail-on error,warning,info,pedantic "${changes[@]}" 2>&1) ||
  status=$?
grep -v '^running with root privileges is not recommended!$' <<<"$report" || true
((status == 0)) || { echo "check-deb.sh: lintian reports the tags above" >&2; exit 1; }
echo "check-deb.sh: lintian --pedantic --display-info: no unexplained tag"

# Debian 12's C start files carry no IBT/SHSTK marking (nor does its dpkg-buildflags ask for
# branch protection), so no program linked there can be marked for control-flow protection.
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
for deb in "$out"/*.deb; do
  [[ $deb == *-dbgsym_* ]] || dpkg-deb -x "$deb" "$root"
done
programs=$(find "$root" -type f -perm -u+x -exec sh -c 'head -c4 "$1" | grep -q ELF' sh {} \; -print | sort)
[[ -n $programs ]] || { echo "check-deb.sh: no program in the packages" >&2; exit 1; }
# shellcheck disable=SC2086  # one path a word
hardening-check --nocfprotection $programs
echo "check-deb.sh: hardening-check passes on $(wc -w <<<"$programs") programs"
