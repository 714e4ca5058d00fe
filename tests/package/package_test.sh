#!/usr/bin/env bash
# The Debian package on a clean Debian 12: builds it with scripts/package,
# installs it with apt-get into a debootstrap'd root, and checks there that
# both programs report the version, that the installed program keeps its
# settings under ~/.config/remessa/, that it starts on the offscreen platform
# and closes again on SIGTERM, and that the desktop entry and the metadata
# pass desktop-file-validate and appstreamcli validate.
#
#   package_test.sh SOURCE_DIR BUILD_DIR VERSION
#   package_test.sh --prepare-base     only makes the cached base root
#                                      (scripts/test runs it during the build)
#
# Needs root (debootstrap, chroot, mount); otherwise it reports SKIPPED and
# exits 77, which ctest shows as skipped. The bootstrapped base root is kept
# as a tarball in $REMESSA_TEST_CACHE (default /var/cache/remessa-test), with
# the packages that installing ours downloaded, so that later runs need
# neither debootstrap nor most downloads. The mirror is the one apt's sources
# name for bookworm ($REMESSA_DEBIAN_MIRROR overrides it).
set -euo pipefail
prepare_only=false
if [ "${1:-}" = --prepare-base ]; then
  prepare_only=true
else
  source_dir=$1
  build_dir=$2
  version=$3
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIPPED: the package test needs root (debootstrap, chroot); scripts/test runs it as root"
  exit 77
fi
fail() {
  echo "package test: FAILED: $*" >&2
  exit 1
}
for tool in debootstrap chroot mount flock dpkg-deb; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps installs it)"
done

started=$SECONDS
phase() { echo "== $* ($((SECONDS - started)) s)"; }

suite=bookworm
arch=$(dpkg --print-architecture)
cache=${REMESSA_TEST_CACHE:-/var/cache/remessa-test}
# Raise the recipe number when the way the base root is made changes.
base="$cache/debian-$suite-$arch-minbase-r1.tar.gz"
archives="$cache/archives-$suite-$arch"

# The URI of the first enabled "deb" source for a suite, in the one-line
# (sources.list) or the deb822 (*.sources) form.
mirror_for() {
  local suite=$1 f
  {
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
      [ -f "$f" ] || continue
      awk -v s="$suite" '$1 == "deb" {
        i = 2
        if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
        if ($(i + 1) == s) print $i
      }' "$f"
    done
    for f in /etc/apt/sources.list.d/*.sources; do
      [ -f "$f" ] || continue
      awk -v s="$suite" 'BEGIN { RS = ""; FS = "\n" }
      {
        types = uris = suites = ""; enabled = "yes"
        for (k = 1; k <= NF; k++) {
          key = $k; sub(/:.*/, "", key)
          val = substr($k, index($k, ":") + 1); gsub(/^[ \t]+|[ \t]+$/, "", val)
          if (key == "Types") types = val
          else if (key == "URIs") uris = val
          else if (key == "Suites") suites = val
          else if (key == "Enabled") enabled = val
        }
        if ((" " types " ") ~ / deb / && enabled != "no" && (" " suites " ") ~ (" " s " ")) {
          split(uris, u, " "); print u[1]
        }
      }' "$f"
    done
  } | head -1
}
mirror=${REMESSA_DEBIAN_MIRROR:-$(mirror_for "$suite")}
mirror=${mirror:-http://deb.debian.org/debian}
security=$(mirror_for "$suite-security")
security=${security:-http://deb.debian.org/debian-security}

work=$(mktemp -d /var/tmp/remessa-package-test.XXXXXX)
root="$work/root"
cleanup() {
  # Nothing of the host may stay mounted below the folder that is removed.
  if mountpoint -q "$root/proc" 2>/dev/null; then umount "$root/proc" || umount -l "$root/proc"; fi
  if grep -q " $work/" /proc/mounts; then
    echo "package test: $work still has mounts; left in place" >&2
    return
  fi
  rm -rf --one-file-system "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

# A command in the root, with a clean environment. chroot and env replace
# themselves with the command, which so keeps the process id of a "&".
in_root=(chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8
  DEBIAN_FRONTEND=noninteractive)
in_root() { "${in_root[@]}" "$@"; }

# ---- The base root: made once, then taken from the cache.
mkdir -p "$cache" "$archives"
exec 9>"$cache/lock"
flock 9
if [ ! -s "$base" ]; then
  phase "debootstrap $suite from $mirror (once; kept in $base)"
  mkdir "$work/base"
  debootstrap --variant=minbase --arch="$arch" "$suite" "$work/base" "$mirror" >"$work/debootstrap.log" 2>&1 ||
    { tail -20 "$work/debootstrap.log" >&2; fail "debootstrap did not finish"; }
  cat >"$work/base/etc/apt/sources.list" <<SOURCES
deb $mirror $suite main
deb $mirror $suite-updates main
deb $security $suite-security main
SOURCES
  cp /etc/resolv.conf "$work/base/etc/resolv.conf"
  chroot "$work/base" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin apt-get update -q >"$work/update.log" 2>&1 ||
    { cat "$work/update.log" >&2; fail "apt-get update in the base root failed"; }
  chroot "$work/base" apt-get clean
  tar -C "$work/base" -czf "$base.part" . && mv "$base.part" "$base"
  rm -rf --one-file-system "$work/base"
fi
flock -u 9
if $prepare_only; then
  phase "base root ready: $base"
  exit 0
fi

phase "building the package"
"$source_dir/scripts/package" "$build_dir" >"$work/package.log" 2>&1 || { cat "$work/package.log" >&2; fail "scripts/package failed"; }
deb="$build_dir/remessa_${version}_${arch}.deb"
[ -f "$deb" ] || fail "scripts/package made no $deb"
echo "package: $deb"
dpkg-deb --field "$deb" Depends

phase "a clean root from $base"
mkdir "$root"
tar -C "$root" -xzf "$base"
cp /etc/resolv.conf "$root/etc/resolv.conf"
# A root that is thrown away needs no fsync after every file dpkg unpacks.
echo force-unsafe-io >"$root/etc/dpkg/dpkg.cfg.d/unsafe-io"
mount -t proc proc "$root/proc"
cp "$deb" "$root/tmp/"
# Packages that earlier runs downloaded; apt takes those that fit.
cp "$archives"/*.deb "$root/var/cache/apt/archives/" 2>/dev/null || true

phase "apt-get install ./$(basename "$deb")"
install_package() { in_root apt-get install -y -q --no-install-recommends "/tmp/$(basename "$deb")"; }
if ! install_package >"$work/install.log" 2>&1; then
  # Package lists older than the mirror name files it no longer has.
  in_root apt-get update -q >>"$work/install.log" 2>&1
  install_package >>"$work/install.log" 2>&1 || { cat "$work/install.log" >&2; fail "apt-get install of the package failed"; }
fi
grep -E '^(Get|Setting up)' "$work/install.log" | sed 's/^/  /' | tail -n 60 || true

phase "the installed programs"
got=$(in_root remessadados --version) || fail "remessadados --version failed"
[ "$got" = "remessadados $version" ] || fail "remessadados --version printed '$got'"
echo "$got"
got=$(in_root ftpxfer --version) || fail "ftpxfer --version failed"
[ "$got" = "ftpxfer $version" ] || fail "ftpxfer --version printed '$got'"
echo "$got"
help=$(in_root remessadados --help) || fail "remessadados --help failed"
grep -qx 'Settings file: /root/.config/remessa/FtpHost.ini' <<<"$help" ||
  fail "the installed program does not keep its settings in ~/.config/remessa/: $(grep Settings <<<"$help")"
echo "settings: /root/.config/remessa/FtpHost.ini"
[ -f "$root/usr/share/man/man1/remessadados.1.gz" ] && [ -f "$root/usr/share/man/man1/ftpxfer.1.gz" ] ||
  fail "a man page is missing"

phase "remessadados on the offscreen platform, closed with SIGTERM"
"${in_root[@]}" QT_QPA_PLATFORM=offscreen /usr/bin/remessadados >"$work/run.out" 2>"$work/run.err" &
pid=$!
# Once the platform plugin is loaded, main() has long set up its signal
# handling; the window is shown and the event loop reads the signal.
for _ in $(seq 600); do
  grep -q libqoffscreen "/proc/$pid/maps" 2>/dev/null && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if ! kill -0 "$pid" 2>/dev/null; then
  wait "$pid" || true
  cat "$work/run.err" >&2
  fail "remessadados ended before it showed its window"
fi
grep -q libqoffscreen "/proc/$pid/maps" || { kill -9 "$pid"; fail "remessadados did not load the offscreen platform in 60 s"; }
sleep 1
kill -TERM "$pid"
status=0
for _ in $(seq 300); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && { kill -9 "$pid"; fail "remessadados did not close within 30 s of SIGTERM"; }
wait "$pid" || status=$?
sed 's/^/  stderr: /' "$work/run.err"
[ "$status" -eq 0 ] || fail "remessadados ended with status $status"
echo "started and closed (status 0)"

phase "validating the desktop entry and the metadata"
in_root apt-get install -y -q --no-install-recommends desktop-file-utils appstream >"$work/tools.log" 2>&1 ||
  { cat "$work/tools.log" >&2; fail "installing the validators failed"; }
in_root desktop-file-validate /usr/share/applications/org.remessa.remessadados.desktop ||
  fail "desktop-file-validate"
in_root appstreamcli validate --no-net /usr/share/metainfo/org.remessa.remessadados.metainfo.xml ||
  fail "appstreamcli validate"

# Keep the downloads for the next run (only those of this run: the cache
# does not grow with every point release).
find "$archives" -name '*.deb' -delete
cp "$root"/var/cache/apt/archives/*.deb "$archives/" 2>/dev/null || true

echo "files of the package:"
in_root dpkg -L remessa | sed 's/^/  /'
phase "package test passed"
