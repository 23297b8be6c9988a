#!/bin/sh
# Writes the crafted inputs of fuzz/regressions/ that are too large to write by hand.
# Run from anywhere: sh fuzz/make-regressions.sh
set -eu
out="$(dirname "$0")/regressions/QipBundleSettings"
mkdir -p "$out"

# repeat TEXT COUNT: TEXT written COUNT times.
repeat() { awk -v t="$1" -v n="$2" 'BEGIN { for (i = 0; i < n; i++) printf "%s", t }'; }

# Nested far deeper than the conversion keeps: the parsers must not run the stack out.
{
    printf '<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict><key>CFBundleName</key><string>QipFinder</string><key>DeviceKennung</key>'
    repeat '<array>' 100000
    repeat '</array>' 100000
    printf '<key>QipTimeout</key><real>1.5e1</real></dict></plist>\n'
} > "$out/nested-100000-arrays"

# "<!-->" opens a comment that the next real "-->" closes. A scan that took it for a closed
# comment counted the closers inside it and let 200,000 nested arrays through to the library.
{
    printf '<?xml version="1.0"?>\n<plist version="1.0"><dict><key>CFBundleName</key><string>Crafted</string><!--> '
    repeat '</array>' 200000
    printf ' --><key>Nest</key>'
    repeat '<array>' 200000
    repeat '</array>' 200000
    printf '<key>QipTimeout</key><integer>4</integer></dict></plist>\n'
} > "$out/comment-hides-200000-closers"
