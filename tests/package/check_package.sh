#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds its Debian package, then checks what a
# user gets: the programs, the desktop entry and icons, declared dependencies, and a packaged
# kestrill-cli that runs.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$work/prefix" >/dev/null
for f in bin/kestrill bin/kestrill-cli share/applications/kestrill.desktop \
  share/icons/hicolor/scalable/apps/kestrill.svg share/icons/hicolor/48x48/apps/kestrill.png \
  share/icons/hicolor/256x256/apps/kestrill.png; do
  [ -e "$work/prefix/$f" ] || fail "cmake --install left out $f"
done
desktop-file-validate "$work/prefix/share/applications/kestrill.desktop" ||
  fail "the desktop entry is not valid"

(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null)
deb=$(ls "$work"/deb/kestrill_*_amd64.deb)
depends=$(dpkg-deb -f "$deb" Depends)
for d in libqt6webenginewidgets6 libqt6webenginecore6-bin libcurl4 ca-certificates; do
  [[ "$depends" == *"$d"* ]] || fail "Depends lacks $d: $depends"
done
[ "$(dpkg-deb -f "$deb" Package)" = kestrill ] || fail "wrong package name"
contents=$(dpkg-deb -c "$deb")
[[ "$contents" == *" ./usr/bin/kestrill"$'\n'* ]] || fail "no /usr/bin/kestrill in the package"

dpkg-deb -x "$deb" "$work/root"
home="$work/home"
mkdir -p "$home"
HOME="$home" XDG_DOCUMENTS_DIR= XDG_CONFIG_HOME= "$work/root/usr/bin/kestrill-cli" --list </dev/null ||
  fail "the packaged kestrill-cli does not run"
echo "package ok: $(basename "$deb"), Depends: $depends"
