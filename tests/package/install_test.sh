#!/usr/bin/env bash
# `cmake --install` into a folder of its own: exactly the files the package
# holds, valid desktop entry and metadata, man pages without warnings; the
# command line of both programs without a display; where the installed and
# the built program keep their settings; Qt's options and SIGTERM.
#
#   install_test.sh BUILD_DIR VERSION
set -euo pipefail
build=$1
version=$2
id=org.remessa.remessadados

work=$(mktemp -d /tmp/remessa-install-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "install test: FAILED: $*" >&2
  exit 1
}
for tool in desktop-file-validate appstreamcli groff; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps installs it)"
done
prefix="$work/prefix"
no_display=(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM)

echo "== cmake --install"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log" >&2; fail "cmake --install"; }
expected="./bin/ftpxfer
./bin/remessadados
./share/applications/$id.desktop
./share/icons/hicolor/scalable/apps/$id.svg
./share/man/man1/ftpxfer.1.gz
./share/man/man1/remessadados.1.gz
./share/metainfo/$id.metainfo.xml"
got=$(cd "$prefix" && find . -type f | LC_ALL=C sort)
[ "$got" = "$expected" ] || fail "installed files differ: $(diff <(echo "$expected") <(echo "$got") || true)"
echo "$got"

echo "== validators and man pages"
desktop-file-validate "$prefix/share/applications/$id.desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$prefix/share/metainfo/$id.metainfo.xml" || fail "appstreamcli validate"
grep -qx "Categories=Network;FileTransfer;" "$prefix/share/applications/$id.desktop" || fail "desktop entry categories"
grep -q "<release version=\"$version\"" "$prefix/share/metainfo/$id.metainfo.xml" || fail "metadata release $version"
for page in remessadados ftpxfer; do
  warnings=$(zcat "$prefix/share/man/man1/$page.1.gz" | groff -man -ww -z 2>&1)
  [ -z "$warnings" ] || fail "man page $page: $warnings"
  zcat "$prefix/share/man/man1/$page.1.gz" | grep -q "remessa $version" || fail "man page $page: version"
done

echo "== the command line, without a display"
for program in "$prefix/bin/remessadados" "$prefix/bin/ftpxfer" "$build/bin/remessadados"; do
  got=$("${no_display[@]}" "$program" --version) || fail "$program --version"
  [ "$got" = "$(basename "$program") $version" ] || fail "$program --version printed '$got'"
done
"${no_display[@]}" "$prefix/bin/ftpxfer" --help | grep -q "^usage: ftpxfer" || fail "ftpxfer --help"
"${no_display[@]}" "$prefix/bin/remessadados" --help | grep -q "^Usage: remessadados" || fail "remessadados --help"
for wrong in "--bogus" "-platform" "--config" "stray"; do
  status=0
  "${no_display[@]}" "$prefix/bin/remessadados" $wrong >"$work/out" 2>"$work/err" || status=$?
  [ "$status" -eq 2 ] || fail "remessadados $wrong ended with $status, not 2"
  [ ! -s "$work/out" ] || fail "remessadados $wrong printed to standard output"
  grep -q "^remessadados: " "$work/err" || fail "remessadados $wrong: no message"
  echo "$wrong: $(head -1 "$work/err")"
done

echo "== settings place"
settings_of() { "${no_display[@]}" "$@" --help | sed -n 's/^Settings file: //p'; }
got=$(XDG_CONFIG_HOME="$work/xdg" settings_of "$prefix/bin/remessadados")
[ "$got" = "$work/xdg/remessa/FtpHost.ini" ] || fail "installed program: settings in '$got'"
got=$(settings_of env -u XDG_CONFIG_HOME HOME="$work/home" "$prefix/bin/remessadados")
[ "$got" = "$work/home/.config/remessa/FtpHost.ini" ] || fail "installed program without XDG_CONFIG_HOME: settings in '$got'"
got=$(XDG_CONFIG_HOME="$work/xdg" settings_of "$build/bin/remessadados")
[ "$got" = "$build/bin/FtpHost.ini" ] || fail "built program: settings in '$got'"
touch "$prefix/bin/FtpHost.ini"
got=$(XDG_CONFIG_HOME="$work/xdg" settings_of "$prefix/bin/remessadados")
[ "$got" = "$prefix/bin/FtpHost.ini" ] || fail "installed program with a file beside it: settings in '$got'"
got=$(cd "$work" && settings_of "$prefix/bin/remessadados" --config sub/my.ini)
[ "$got" = "$work/sub/my.ini" ] || fail "--config: settings in '$got'"
echo "ok"

echo "== Qt's options, and SIGTERM closes the window"
"${no_display[@]}" "$prefix/bin/remessadados" -platform offscreen -reverse --config "$work/run.ini" \
  >"$work/run.out" 2>"$work/run.err" &
pid=$!
for _ in $(seq 300); do
  grep -q libqoffscreen "/proc/$pid/maps" 2>/dev/null && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
grep -q libqoffscreen "/proc/$pid/maps" 2>/dev/null || { cat "$work/run.err" >&2; kill -9 "$pid" 2>/dev/null; fail "did not start on -platform offscreen"; }
sleep 1
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
[ "$status" -eq 0 ] || { cat "$work/run.err" >&2; fail "ended with status $status after SIGTERM"; }
echo "started and closed (status 0)"
