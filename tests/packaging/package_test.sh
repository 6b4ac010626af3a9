#!/usr/bin/env bash
# Builds the Debian package from this build tree and checks what a station
# installs: the program, the service unit, the desktop entry and icon, the
# maintainer scripts, and dependencies that apt can resolve here.
set -euo pipefail
build=$1
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
(cd "$build" && cpack -G DEB -B "$out" > "$out/cpack.log" 2>&1) || { cat "$out/cpack.log"; exit 1; }
deb=$(ls "$out"/rudazodudad_*.deb)
fail() { echo "FAIL: $*" >&2; exit 1; }

contents=$(dpkg-deb -c "$deb")
for path in ./usr/bin/rudazodudad ./usr/lib/systemd/system/rudazodudad.service \
    ./usr/share/doc/rudazodudad/README.md ./usr/share/doc/rudazodudad/CHANGELOG.md; do
    grep -q " $path\$" <<< "$contents" || fail "$path is not in the package"
done
grep -q '\./usr/share/applications/.*\.desktop$' <<< "$contents" || fail "no desktop entry"
grep -q '\./usr/share/icons/.*rudazodudad\.\(png\|svg\)$' <<< "$contents" || fail "no icon"

depends=$(dpkg-deb -f "$deb" Depends)
for dep in lame vorbis-tools adduser libsqlite3-0 libavformat; do
    grep -q "$dep" <<< "$depends" || fail "Depends lacks $dep: $depends"
done
for script in postinst prerm postrm; do
    dpkg-deb -I "$deb" "$script" > "$out/$script" || fail "no $script"
    sh -n "$out/$script" || fail "$script does not parse"
done
grep -q 'adduser --system' "$out/postinst" || fail "postinst makes no service user"
grep -q 'chown rudazodudad:rudazodudad /var/lib/Pelorand/RudazOdudad' "$out/postinst" || fail "postinst leaves the data folder's owner"

# The unit as installed: the program's path, headless, as the service user.
dpkg-deb -x "$deb" "$out/root"
unit="$out/root/usr/lib/systemd/system/rudazodudad.service"
grep -qx 'ExecStart=/usr/bin/rudazodudad --headless' "$unit" || fail "ExecStart is not /usr/bin/rudazodudad --headless"
grep -qx 'User=rudazodudad' "$unit" || fail "the unit does not run as rudazodudad"
grep -qx 'Environment=XDG_RUNTIME_DIR=/run/rudazodudad' "$unit" && grep -qx 'RuntimeDirectory=rudazodudad' "$unit" ||
    fail "the unit gives the program no runtime folder"
if command -v systemd-analyze > /dev/null; then
    sed "s#/usr/bin/rudazodudad#$out/root/usr/bin/rudazodudad#" "$unit" > "$out/rudazodudad.service"
    systemd-analyze verify "$out/rudazodudad.service" > "$out/verify.log" 2>&1 || { cat "$out/verify.log"; fail "systemd-analyze rejects the unit"; }
    grep -q . "$out/verify.log" && { cat "$out/verify.log"; fail "systemd-analyze complains about the unit"; }
fi

# Every dependency resolves from the configured archives.
apt-get install --simulate "$deb" > "$out/apt.log" 2>&1 || { cat "$out/apt.log"; fail "apt cannot install it"; }
echo "package ok: $(basename "$deb")"
