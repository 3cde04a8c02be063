#!/usr/bin/env bash
# The two packages of one cpack run: vexmora with the service, its maintainer
# scripts and nothing of Cockpit; cockpit-vexmora, for every architecture,
# with the page alone under /usr/share/cockpit/vexmora and no scripts.
#   contents.sh DEB_DIR
set -euo pipefail
debs=$1
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
main=$(ls "$debs"/vexmora_*.deb)
page=$(ls "$debs"/cockpit-vexmora_*_all.deb) || fail "no cockpit-vexmora_*_all.deb in $debs: $(ls "$debs")"
[ "$(ls "$debs"/*.deb | wc -l)" = 2 ] || fail "more than two packages: $(ls "$debs")"

field() { dpkg-deb -f "$1" "$2"; }
[ "$(field "$page" Package) $(field "$page" Architecture)" = "cockpit-vexmora all" ] ||
    fail "cockpit-vexmora's control: $(dpkg-deb -f "$page")"
depends=$(field "$page" Depends)
[[ $depends == *cockpit-bridge* && $depends == *"vexmora (= $(field "$main" Version))"* ]] ||
    fail "cockpit-vexmora depends on '$depends'"
files=$(dpkg-deb -c "$page" | awk '$1 !~ /^d/ { print $6 }')
outside=$(grep -v '^\./usr/share/cockpit/vexmora/' <<<"$files" || true)
[ -z "$outside" ] || fail "cockpit-vexmora installs outside its folder: $outside"
for name in manifest.json index.html main.js names.js patternfly.css vexmora.css; do
    grep -qx "./usr/share/cockpit/vexmora/$name" <<<"$files" || fail "cockpit-vexmora lacks $name"
done
[ -z "$(dpkg-deb --ctrl-tarfile "$page" | tar -t | grep -E 'postinst|prerm|postrm' || true)" ] ||
    fail "cockpit-vexmora carries maintainer scripts"

[ "$(field "$main" Package)" = vexmora ] || fail "the main package is $(field "$main" Package)"
# Listed whole before searching: grep -q leaving early would break the pipe,
# which pipefail reports as a failure of the listing.
listing=$(dpkg-deb -c "$main")
! grep -qi cockpit <<<"$listing" || fail "vexmora installs Cockpit files"
scripts=$(dpkg-deb --ctrl-tarfile "$main" | tar -t)
grep -q postinst <<<"$scripts" || fail "vexmora lost its postinst"
echo "both packages as they should be"
