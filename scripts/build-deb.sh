#!/usr/bin/env bash
# Builds the Debian packages (debian/) as a packager would, with dpkg-buildpackage, from a copy of
# this tree in OUT/ampwarden-VERSION/: dpkg-buildpackage writes the packages next to the tree it
# builds, so they land in OUT (by default build/debian-src) and nothing goes outside it. The copy
# holds the files git knows of (committed or not) and the new ones it does not ignore.
#   scripts/build-deb.sh [OUT [dpkg-buildpackage options]]     (default options: -us -uc -b)
# Needs debian/control's Build-Depends (scripts/install-deps.sh installs them). The unit tests
# run at build time unless DEB_BUILD_OPTIONS has "nocheck".
set -euo pipefail
out=$(realpath -m "${1:-build/debian-src}")
shift $(($# ? 1 : 0))
cd "$(dirname "$0")/.."

version=$(dpkg-parsechangelog -S Version)
tree=$out/ampwarden-${version%-*}
rm -rf "$out"
mkdir -p "$tree"
git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' file; do
    [[ -e $file && $PWD/$file != "$out"/* ]] && printf '%s\0' "$file"
  done | tar --null --files-from=- -cf - | tar -xf - -C "$tree"

(($#)) || set -- -us -uc -b
echo "build-deb.sh: dpkg-buildpackage $* in $tree"
if ! (cd "$tree" && dpkg-buildpackage "$@") >"$out/build.log" 2>&1; then
  tail -n 40 "$out/build.log" >&2
  echo "build-deb.sh: dpkg-buildpackage failed ($out/build.log)" >&2
  exit 1
fi
ls "$out"/*.deb
