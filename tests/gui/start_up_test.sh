#!/bin/sh
# How the program starts (or refuses to) before any window exists: unknown options, a
# display that does not answer, no display at all. Each case must end with exit code 2 and
# a message of ours, never the toolkit's abort.
zodiva=$(realpath "$1")
failures=0
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1

expect() {  # expect NAME CODE TEXT -- COMMAND...
    name=$1 code=$2 text=$3
    shift 4
    "$@" >out.txt 2>err.txt
    got=$?
    if [ "$got" -ne "$code" ] || ! grep -q -- "$text" err.txt; then
        echo "FAIL $name: exit $got (wanted $code), stderr:"
        cat err.txt
        failures=$((failures + 1))
    else
        echo "ok   $name"
    fi
}

expect unknown-option 2 "unknown option '--frobnicate'" -- \
    env QT_QPA_PLATFORM=offscreen "$zodiva" --frobnicate
expect stray-argument 2 "unexpected argument 'extra'" -- \
    env QT_QPA_PLATFORM=offscreen "$zodiva" extra
expect dead-display 2 "cannot open the dialog" -- \
    env -u QT_QPA_PLATFORM -u WAYLAND_DISPLAY DISPLAY=:87 "$zodiva"
expect no-display 2 "no display to open the dialog on" -- \
    env -u QT_QPA_PLATFORM -u WAYLAND_DISPLAY -u DISPLAY "$zodiva"
expect bad-setting 2 "news_port needs a whole number" -- \
    env QT_QPA_PLATFORM=offscreen "$zodiva" --set news_port=abc
exit "$failures"
