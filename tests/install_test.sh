#!/usr/bin/env bash
# Installs the build tree into a DESTDIR under a temporary folder and checks what a user gets:
# every program name a link to the binary that runs from there, the manual pages readable
# without warnings, the completion under every name, the desktop entry and its icons, the
# documentation with a changelog for this version, the media-polling helper where its polkit
# action names it. It installs at the configured prefix: the program looks for the helper there.
# Usage: install_test.sh BUILD-DIR VERSION GUI(ON|OFF) PREFIX
set -uo pipefail
build=$1 version=$2 gui=$3 prefix=$4
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
failed=0 passed=0
check() {  # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
    else
        echo "FAIL: $what"
        failed=$((failed + 1))
    fi
}

DESTDIR=$dest cmake --install "$build" >/dev/null || { echo "FAIL: install"; exit 1; }
usr=$dest$prefix
bin=$usr/bin
man1=$usr/share/man/man1
completions=$usr/share/bash-completion/completions
names=$("$build/bin/discflash-docgen" names)

is_link_to() { [[ -L $1 && $(readlink -f "$1") == "$(readlink -f "$2")" ]]; }
prints() { [[ $("${@:2}" 2>&1) == "$1" ]]; }
quiet_page() {  # groff and man both read the page without a warning
    [[ -z $(zcat "$1" | groff -man -ww -z -Tutf8 2>&1) ]] || return 1
    ! command -v man >/dev/null ||
        [[ -z $(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$1" 2>&1 >/dev/null) ]]
}
png_size() {  # PNG of SIZE x SIZE pixels
    [[ $(od -An -tx1 -j16 -N8 "$2" | tr -d ' \n') == "$(printf '%08x%08x' "$1" "$1")" ]]
}

# Exactly the binaries and one link a program name, each running under its name.
check "bin holds the binaries and the program names" \
    [ "$(ls "$bin" | sort)" == "$(printf '%s\n' discflash discflash-mkimage $names | sort)" ]
for name in $names; do
    check "$name links to discflash" is_link_to "$bin/$name" "$bin/discflash"
    check "$name --version" prints "$name (discflash) $version" "$bin/$name" --version
    check "man $name" is_link_to "$man1/$name.1.gz" "$man1/discflash.1.gz"
    check "completion of $name" is_link_to "$completions/$name" "$completions/discflash"
done
check "discflash-mkimage --version" \
    prints "discflash-mkimage (discflash) $version" "$bin/discflash-mkimage" --version
check "completion of discflash-mkimage" \
    is_link_to "$completions/discflash-mkimage" "$completions/discflash"
for page in discflash discflash-mkimage; do
    check "$page.1 reads without warnings" quiet_page "$man1/$page.1.gz"
    check "$page.1 is for $version" grep -q "discflash $version" <(zcat "$man1/$page.1.gz")
done

doc=$usr/share/doc/discflash
check "copyright" test -s "$doc/copyright"
check "README" test -s "$doc/README.md"
check "changelog names $version" prints "discflash ($version) unstable; urgency=medium" \
    sh -c "zcat '$doc/changelog.gz' | head -1"

# The action lets pkexec run exactly the installed helper, for an active session's user who
# gives an administrator's password.
policy=$usr/share/polkit-1/actions/org.example.discflash.media-polling.policy
helper=$(sed -n 's|.*"org.freedesktop.policykit.exec.path">\(.*\)</annotate>.*|\1|p' "$policy")
check "the policy names the helper the program runs" \
    [ "$helper" == "$prefix/libexec/discflash/media-polling" ]
check "the helper is installed" test -x "$dest$helper"
for rule in "<allow_any>no<" "<allow_inactive>no<" "<allow_active>auth_admin_keep<"; do
    check "policy $rule" grep -q "$rule" "$policy"
done

if [[ $gui == ON ]]; then
    desktop=$usr/share/applications/discflash.desktop
    check "desktop entry valid" desktop-file-validate --no-hints "$desktop"
    command=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
    check "desktop entry's command $command installed" test -x "$bin/$command"
    icons=$usr/share/icons/hicolor
    check "scalable icon" test -s "$icons/scalable/apps/discflash.svg"
    for dir in "$icons"/*x*/; do
        size=$(basename "$dir")
        check "icon $size" png_size "${size%x*}" "$dir/apps/discflash.png"
    done
    check "icons in eight sizes" [ "$(ls -d "$icons"/*x*/ | wc -l)" -eq 8 ]
fi

echo "$passed passed, $failed failed"
((failed == 0))
