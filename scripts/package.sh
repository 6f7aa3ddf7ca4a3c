#!/bin/sh
# Builds the Debian package korvan_VERSION_amd64.deb from a build folder that
# is already built (default build/; nothing is rebuilt), then checks it: the
# files it installs, its control data (computed Depends, the conffiles),
# that the programs it holds run, that a changed korvan.ini survives a
# reinstall, and lintian (no errors) where installed.
set -eu
cd "$(dirname "$0")/.."
dir=${1:-build}
cmake --build "$dir" -j"$(nproc)" >/dev/null
rm -f "$dir"/korvan_*_amd64.deb
(cd "$dir" && cpack -G DEB >/dev/null)
deb=$(ls "$dir"/korvan_*_amd64.deb)
echo "== package: $deb"

fail() { echo "package check failed: $*" >&2; exit 1; }
contents=$(dpkg-deb -c "$deb")
for file in usr/bin/korvan usr/bin/korvan-phantom usr/bin/korvan-view \
    usr/share/man/man1/korvan.1.gz usr/share/man/man1/korvan-phantom.1.gz usr/share/man/man1/korvan-view.1.gz \
    usr/share/bash-completion/completions/korvan usr/share/bash-completion/completions/korvan-phantom \
    usr/share/bash-completion/completions/korvan-view usr/share/doc/korvan/korvan.ini \
    usr/share/doc/korvan/README.md usr/share/doc/korvan/docs/ROBUSTNESS.md usr/share/doc/korvan/copyright \
    usr/share/doc/korvan/changelog.gz etc/korvan/korvan.ini etc/logrotate.d/korvan; do
  echo "$contents" | grep -q " \./$file\$" || fail "$file is missing"
done
echo "$contents" | grep -q ' \./usr/local/' && fail "files under /usr/local"

dpkg-deb -I "$deb"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libgomp1 libstdc++6 libflxmlrpc libinih libpng16-16 libtiff6; do
  echo "$depends" | grep -q "$library" || fail "Depends lacks $library: $depends"
done
[ "$(dpkg-deb -f "$deb" Architecture)" = amd64 ] || fail "architecture is not amd64"
for conffile in /etc/korvan/korvan.ini /etc/logrotate.d/korvan; do
  dpkg-deb -I "$deb" conffiles | grep -qx "$conffile" || fail "$conffile is not a conffile"
done

# The programs as installed: unpacked, they must find their libraries.
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
"$root/usr/bin/korvan" -V | grep -q '^Software revision: ' || fail "korvan -V"
"$root/usr/bin/korvan-phantom" --help | grep -q '^Usage: korvan-phantom' || fail "korvan-phantom --help"
"$root/usr/bin/korvan-view" --help | grep -q '^Usage: korvan-view' || fail "korvan-view --help"
# Installed into a scratch root, a changed /etc/korvan/korvan.ini survives
# installing the package again, as it will an upgrade.
mkdir -p "$root/db/var/lib/dpkg/info" "$root/db/var/lib/dpkg/updates"
touch "$root/db/var/lib/dpkg/status"
install_into() {
  dpkg --root="$root/db" --force-depends --force-not-root --force-script-chrootless -i "$deb" >/dev/null 2>&1
}
install_into || fail "dpkg -i into a scratch root"
echo 'MemoryLimit=1000000000' >>"$root/db/etc/korvan/korvan.ini"
install_into || fail "dpkg -i again"
tail -n 1 "$root/db/etc/korvan/korvan.ini" | grep -qx 'MemoryLimit=1000000000' || fail "the changed korvan.ini was replaced"
echo "== package contents and control data checked; Depends: $depends"

if command -v lintian >/dev/null 2>&1; then
  lintian --fail-on error "$deb" || fail "lintian reports errors"
  echo "== lintian: no errors"
else
  echo "== lintian is not installed: not run"
fi
