#!/usr/bin/env bash
# What a user installs: `cmake --install` into a prefix of one's own (no file outside it, so a
# normal user needs no root rights) and into the system prefixes, the manual page (rendered
# without a warning), the bash completion, and the packages cpack makes: the Debian package
# (its files, its dependencies, lintian's verdict) or, for a Windows build, the zip.
#
#   check-package.sh <build dir> <unitflash-sim>
set -uo pipefail
build=$1 sim=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAILED: $*" >&2
    failures=$((failures + 1))
}
# Each expected line must be in the actual lines, and no other.
same_lines() {
    local what=$1 expected=$2 actual=$3
    if [ "$(sort <<<"$expected")" != "$(sort <<<"$actual")" ]; then
        fail "$what: expected"$'\n'"$expected"$'\n'"got"$'\n'"$actual"
    fi
}

check_zip() {
    cpack --config "$build/CPackConfig.cmake" -G ZIP -B "$work" >"$work/cpack.log" 2>&1 ||
        { cat "$work/cpack.log"; fail "cpack -G ZIP"; return; }
    local zip
    zip=$(ls "$work"/unitflash-*-windows-x64.zip)
    same_lines "zip contents" "unitflash.exe
README.md
LICENSE
THIRD-PARTY-NOTICES.md
licenses/GPL-3
licenses/LGPL-3
licenses/LGPL-2.1
licenses/SOURCES.txt
licenses/libqt5core5a.copyright
licenses/libusb-1.0-0.copyright
licenses/libz-mingw-w64-dev.copyright
licenses/rapidjson-dev.copyright
licenses/mingw-w64-x86-64-dev.copyright" \
        "$(cmake -E tar tf "$zip" | grep -v '/$' | sed 's|^[^/]*/||')"
}

if [ -f "$build/app/unitflash.exe" ]; then
    check_zip
    exit $((failures > 0))
fi

# Into a prefix of one's own, as a normal user does: every file under it.
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; fail "cmake --install --prefix $prefix"; }
installed="bin/unitflash
lib/udev/rules.d/70-unitflash.rules
share/man/man1/unitflash.1.gz
share/bash-completion/completions/unitflash
share/doc/unitflash/README.md
share/doc/unitflash/THIRD-PARTY-NOTICES.md
share/doc/unitflash/copyright
share/doc/unitflash/changelog.gz"
same_lines "cmake --install --prefix" "$installed" "$(sed "s|^$prefix/||" "$build/install_manifest.txt")"
# Staged under DESTDIR, as a package build is, the rule stays under the prefix: for /usr where a
# distribution's packages keep their rules. (Straight into /usr or /usr/local it goes to
# /etc/udev/rules.d, which a test may not write.)
while read -r where destdir rule; do
    DESTDIR=$destdir cmake --install "$build" --prefix "$where" >/dev/null 2>&1
    same_lines "the udev rule for $where under DESTDIR" "$rule" \
        "$(grep 'rules$' "$build/install_manifest.txt")"
    [ -f "$destdir$rule" ] || fail "$destdir$rule not installed"
done <<TABLE
/usr/local $work/root /usr/local/lib/udev/rules.d/70-unitflash.rules
/usr $work/root /usr/lib/udev/rules.d/70-unitflash.rules
TABLE
# The rule is written from the IDs in the code: both its lines name a vendor and a product.
rule=$work/root/usr/lib/udev/rules.d/70-unitflash.rules
[ "$(grep -c 'ATTR{idVendor}=="[0-9a-f]\{4\}", ATTR{idProduct}=="[0-9a-f]\{4\}"' "$rule")" = 2 ] ||
    fail "the udev rule names no USB IDs: $(grep idVendor "$rule")"

# The manual page as man shows it: groff's and man's warnings (a broken macro, a line that cannot
# be set) go to standard error.
page=$prefix/share/man/man1/unitflash.1.gz
for render in "groff -ww -man -Tutf8 -z" "man --warnings -E UTF-8 -l"; do
    warnings=$(zcat "$page" | LC_ALL=C.UTF-8 MANWIDTH=80 $render - 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$render: $warnings"
done

# The completion, as bash calls it for the words typed so far (a trailing blank: a new word).
# unitflash-sim stands in for unitflash to list the simulated units' port paths.
mkdir -p "$work/cwd/sub" && touch "$work/cwd/"{a.dfu,b.json,c.txt,"my fw.dfu"}
echo '{"devices": [{"port": "1.4"}, {"port": "2.3.1"}]}' >"$work/scenario.json"
while IFS='|' read -r typed expected; do
    actual=$(cd "$work/cwd" && UNITFLASH_SIM_SCENARIO=$work/scenario.json UNITFLASH_SIM_PACE=0 \
        bash -c 'source "$1"; read -ra COMP_WORDS <<<"$2"; [[ $2 == *" " ]] && COMP_WORDS+=("")
                 COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _unitflash; IFS=,; echo "${COMPREPLY[*]}"' \
        - "$prefix/share/bash-completion/completions/unitflash" "${typed/unitflash-sim/$sim}")
    same_lines "completion of '$typed'" "$(tr , '\n' <<<"$expected")" "$(tr , '\n' <<<"$actual")"
done <<'TABLE'
unitflash --ex|--export
unitflash --no|--no-backup
unitflash |a.dfu,my fw.dfu,sub
unitflash m|my fw.dfu
unitflash --import |b.json,sub
unitflash-sim --port |1.4,2.3.1
unitflash-sim -p 2|2.3.1
TABLE

# The Debian package: its files, the libraries it needs (from the binary), the maintainer scripts
# that make udev read the rule, and lintian's verdict (errors fail; the rest is shown).
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/deb" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack -G DEB"; }
deb=$(ls "$work"/deb/unitflash_*.deb)
same_lines "package contents" "$(sed 's|^|./usr/|' <<<"$installed")" \
    "$(dpkg-deb -c "$deb" | grep -v '^d' | awk '{print $6}')"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libqt5core5a libusb-1.0-0 zlib1g libstdc++6; do
    [[ $depends == *"$library "* ]] || fail "Depends lacks $library: $depends"
done
dpkg-deb --ctrl-tarfile "$deb" | tar -xOf - ./postinst | grep -q 'udevadm control --reload-rules' ||
    fail "postinst does not reload the udev rules"
lintian --fail-on error "$deb" 2>&1 | grep -v 'running with root privileges'
[ "${PIPESTATUS[0]}" -eq 0 ] || fail "lintian reports errors"

[ "$failures" -eq 0 ] && echo "package: all checks passed"
exit $((failures > 0))
