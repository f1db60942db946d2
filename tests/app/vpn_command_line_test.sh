#!/usr/bin/env bash
# The desktop program's command line, without a display: version block, help, usage errors,
# and the desktop entry carrying the same version block.
# Usage: vpn_command_line_test.sh VPN_PROGRAM DESKTOP_ENTRY
set -uo pipefail
vpn=$1
desktop_entry=$2
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# expect STATUS PATTERN ARGS...: the program exits with STATUS and its output matches PATTERN.
expect() {
    local status=$1 pattern=$2 output actual
    shift 2
    output=$(timeout 10 "$vpn" "$@" 2>&1)
    actual=$?
    [[ $actual -eq $status ]] || fail "vpn $* exited $actual, expected $status: $output"
    grep -qE -- "$pattern" <<<"$output" || fail "vpn $* printed no line matching '$pattern': $output"
}

expect 0 '^File version: +1\.0\.0\.0$' --version
expect 0 '^Product version: +1\.0$' --version
expect 0 '^Company: +青禾鹭$' --version
expect 0 '^Description: +青禾鹭VPN连接器$' --version
expect 0 '--lookup-url URL' --help
expect 2 'unknown option --bogus' --bogus
expect 2 "unexpected argument 'extra'" extra
expect 2 '--lookup-url needs a value' --lookup-url
expect 2 '--lookup-url needs a plain http:// URL' --lookup-url 'https://example.invalid/ip2city.asp'
expect 2 '--directory-url needs a plain http:// URL' --directory-url=file:///etc/passwd

version=$("$vpn" --version)
field() { sed -n "s/^$1=//p" "$desktop_entry"; }
[[ $(field Comment) == "$(sed -n 's/^Description: *//p' <<<"$version")" ]] || fail "desktop entry Comment differs from the description"
[[ $(field X-File-Version) == "$(sed -n 's/^File version: *//p' <<<"$version")" ]] || fail "desktop entry X-File-Version differs"
[[ $(field X-Product-Version) == "$(sed -n 's/^Product version: *//p' <<<"$version")" ]] || fail "desktop entry X-Product-Version differs"
[[ $(field X-Company) == "$(sed -n 's/^Company: *//p' <<<"$version")" ]] || fail "desktop entry X-Company differs"
[[ $(field Exec) == vpn ]] || fail "desktop entry Exec is not vpn"

((failures == 0)) && echo "command line ok"
exit $((failures > 0))
