#!/usr/bin/env bash
# Writes the seed corpora of the fuzz targets into tests/fuzz/corpus/. Run it again after changing
# it; the seeds are committed so that the fuzzers and their regression runs need nothing else.
# Container payloads come from "xz --format=lzma", whose stand-alone header (properties,
# dictionary size, 8 size bytes) is the payload layout the container expects.
set -euo pipefail
cd "$(dirname "$0")"
corpus=corpus

# Little-endian base-128, as the container header writes sizes.
varint() {
    local value=$1
    local out=""
    while :; do
        local byte=$((value & 0x7f))
        value=$((value >> 7))
        [ "$value" -ne 0 ] && byte=$((byte | 0x80))
        out+=$(printf '\\x%02x' "$byte")
        [ "$value" -eq 0 ] && break
    done
    printf '%s' "$out"
}

# container <codec> <unpacked size> <payload file>: header and payload on stdout.
container() {
    local size
    size=$(stat -c %s "$3")
    printf "\\x70$(printf '\\x%02x' "$1")$(varint "$2")$(varint "$size")"
    cat "$3"
}

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# --- blobcontainer: a selector byte (maximum, round trip), then the bytes to decode.
dir=$corpus/blobcontainer
rm -rf "$dir" && mkdir -p "$dir"
printf 'Corvane Online launcher chunk, stored as it is.\n' >"$tmp/text"
for i in $(seq 1 40); do printf 'line %d of a file that compresses well\n' "$i"; done >"$tmp/long"
xz --format=lzma -0 -c "$tmp/text" >"$tmp/text.lzma"
xz --format=lzma -6 -c "$tmp/long" >"$tmp/long.lzma"
text=$(stat -c %s "$tmp/text")
long=$(stat -c %s "$tmp/long")
{ printf '\x07'; container 0 "$text" "$tmp/text"; } >"$dir/stored"
{ printf '\x07'; container 5 "$text" "$tmp/text.lzma"; } >"$dir/lzma"
{ printf '\x86'; printf '\x00\x00'; container 5 "$long" "$tmp/long.lzma"; } >"$dir/lzma-leading-zeros"
{ printf '\xc7'; container 10 "$long" "$tmp/long.lzma"; } >"$dir/lzma-codec10"
{ printf '\x07'; container 5 "$long" "$tmp/long.lzma" | head -c 60; } >"$dir/lzma-cut-short"
{ printf '\x02'; container 5 "$long" "$tmp/long.lzma"; } >"$dir/lzma-above-maximum"
{ printf '\x07'; container 5 9223372036854775807 "$tmp/text.lzma"; } >"$dir/lzma-huge-unpacked-size"
{ printf '\xe1'; tail -c +2 "$tmp/text.lzma"; } >"$tmp/bad-properties.lzma"
{ printf '\x07'; container 5 "$text" "$tmp/bad-properties.lzma"; } >"$dir/lzma-bad-properties"
{ printf '\x07'; printf '\x70\x00\x80\x01\x05hello'; } >"$dir/stored-packed-beyond-end"
{ printf '\x07'; printf '\x70\x00\x05\xff\xff\xff\xff\xff\xff\xff\xff\xff\x7fhello'; } \
    >"$dir/varint-overlong"
{ printf '\x07'; printf '\x70\x18\x05\x05hello'; } >"$dir/codec-24-not-container"
{ printf '\x07'; printf '\x70\x03\x05\x05hello'; } >"$dir/codec-deflate-unsupported"
{ printf '\x87'; printf 'plain text, not a container'; } >"$dir/plain-text"
{ printf '\x07'; printf '\x00\x00\x00\x00'; } >"$dir/only-zeros"

# --- packageconfiguration: the package document, "\n--assets--\n", the asset document.
dir=$corpus/packageconfiguration
rm -rf "$dir" && mkdir -p "$dir"
hash=0f1e2d3c4b5a69788796a5b4c3d2e1f00f1e2d3c4b5a69788796a5b4c3d2e1f0
cat >"$dir/package-and-assets" <<EOF
{"version": "1.2.3", "executable": "bin/client", "generation": "second", "variant": "regular",
 "parameters": ["--fullscreen", "--lang=en"],
 "chunks": [{"url": "chunks/a", "packedsize": 120, "packedhash": "$hash", "unpackedsize": 4096,
             "unpackedhash": "$hash"},
            {"url": "chunks/b", "packedsize": "77", "unpackedsize": "100", "unpack": false}],
 "files": [{"localfile": "bin/client", "unpackedsize": 4196, "unpackedhash": "$hash",
            "executable": true, "chunks": [0, 1]},
           {"localfile": "data/whole.bin", "url": "whole/data", "packedsize": 10,
            "unpackedsize": 10, "unpack": false,
            "patches": [{"url": "p/1", "fromversion": 1, "toversion": 2, "size": 99}]}]}
--assets--
{"version": 3, "chunks": [{"url": "https://assets.example.invalid/x", "unpackedsize": 5}],
 "files": [{"localfile": "Assets/texture.dds", "chunks": [2, 0]}]}
EOF
cat >"$dir/package-only" <<EOF
{"version": "7", "files": [{"localfile": "b"}, {"localfile": "a"}, {"localfile": "A"}]}
EOF
cat >"$dir/hostile-local-files" <<EOF
{"chunks": [{"url": "c"}],
 "files": [{"localfile": "../../evil.dll", "chunks": [0]},
           {"localfile": "/etc/passwd", "chunks": [0]},
           {"localfile": "C:\\\\Windows\\\\system32\\\\evil.dll", "chunks": [0]},
           {"localfile": "\\\\\\\\server\\\\share\\\\x", "chunks": [0]},
           {"localfile": "bin\\\\..\\\\..\\\\up"},
           {"localfile": "ok\\u0000/../../../etc/shadow"},
           {"localfile": ""}, {"localfile": "."}, {"localfile": ".."}, {"localfile": "a/b/../../.."},
           {"localfile": "dup"}, {"localfile": "dup"}, {"localfile": "dir"}, {"localfile": "dir/file"}],
 "executable": "../../../bin/sh"}
EOF
cat >"$dir/chunk-indices-out-of-range" <<EOF
{"chunks": [{"url": "c0"}, {"url": "c1"}],
 "files": [{"localfile": "f", "chunks": [0, 1, 2, -1, 2147483647, -2147483648, 1e30, 0.5, "1", null]}]}
--assets--
{"files": [{"localfile": "g", "chunks": [1, 3]}], "chunks": {"not": "an array"}}
EOF
cat >"$dir/sizes-near-2-64" <<EOF
{"chunks": [{"packedsize": 18446744073709551615, "unpackedsize": "18446744073709551615"},
            {"packedsize": 1.8446744073709552e19, "unpackedsize": "18446744073709551616"},
            {"packedsize": -1, "unpackedsize": " 12 "}, {"packedsize": 1e308, "unpackedsize": "0x10"}],
 "files": [{"localfile": "big", "unpackedsize": 9223372036854775808, "chunks": [0, 1, 2, 3]}]}
EOF
cat >"$dir/wrong-types" <<EOF
{"version": 5, "executable": ["x"], "generation": 2, "variant": null, "parameters": "p",
 "chunks": [1, "two", [3], null], "files": [7, "f", {"localfile": 9, "chunks": "0", "patches": 4}]}
--assets--
[1, 2, 3]
EOF
printf '{"version": "1", "files": [' >"$dir/package-not-json"
printf '{"version": "1"}\n--assets--\n{"version": ' >"$dir/assets-not-json"
printf '"just a string"' >"$dir/root-not-object"

# --- launcherconfiguration: the launcher metadata document.
dir=$corpus/launcherconfiguration
rm -rf "$dir" && mkdir -p "$dir"
cat >"$dir/metadata" <<EOF
{"launcher": {"name": "launcher", "directoryname": "launcher",
              "builds": [{"os": "windows", "architecture": "x86_64", "url": "launcher/package.json"},
                         {"os": "linux", "architecture": "x86_64", "url": "launcher/package.json"}]},
 "packages": [{"name": "client", "directoryname": "client", "installautomatically": true,
               "logolinktarget": "https://www.example.invalid/",
               "builds": [{"os": "windows", "architecture": "x86_64", "url": "client/package.json",
                           "assetsurl": "client/assets.json"},
                          {"os": "linux", "architecture": "x86_64", "url": "/abs/package.json?x=1"},
                          {"os": "darwin", "architecture": "i386", "url": "https://cdn.example.invalid/p"}]}],
 "hardwaresurvey": "https://survey.example.invalid/", "hints": "hints.json",
 "funnel": "https://funnel.example.invalid/", "preventdefaultautostart": true,
 "showpackagenames": true}
EOF
cat >"$dir/hostile-directory-names" <<EOF
{"packages": [{"name": "a", "directoryname": ".."}, {"name": "b", "directoryname": ""},
              {"name": "c", "directoryname": "/etc"}, {"name": "d", "directoryname": "C:\\\\Windows"},
              {"name": "e", "directoryname": "x/../../y"}, {"name": "f", "directoryname": "nul\\u0000/.."},
              {"name": "g"}, 5, "text", null, [], {"name": "h", "directoryname": "."}]}
EOF
cat >"$dir/wrong-types" <<EOF
{"launcher": [1], "packages": {"a": 1}, "hardwaresurvey": 7, "hints": "::not a url::",
 "funnel": null, "preventdefaultautostart": "yes", "showpackagenames": 1,
 "extra": {"builds": [{"os": 1}]}}
EOF
cat >"$dir/builds-wrong-types" <<EOF
{"packages": [{"name": "x", "builds": [1, {"os": "windows"}, {"architecture": "x86_64"},
              {"os": "linux", "architecture": "x86_64", "url": 5, "assetsurl": ""}], "installautomatically": "yes"}]}
EOF
printf '[1, 2, 3]' >"$dir/root-array"
printf '{"packages": [' >"$dir/not-json"
printf '' >"$dir/empty"

# --- hints: the hints document.
dir=$corpus/hints
rm -rf "$dir" && mkdir -p "$dir"
cat >"$dir/three-categories" <<EOF
[{"title": "One", "richText": "<b>First</b> <a href='https://x.invalid'>news</a>",
  "imageUrl": "https://www.example.invalid/1.png", "category": "cat1", "url": "https://www.example.invalid/1"},
 {"title": "Two", "richText": "Second", "category": "cat2"},
 {"title": "Three", "richText": "Third", "category": "cat3"}]
EOF
cat >"$dir/dated-and-emergency" <<EOF
[{"richText": "past", "displayAfter": "2020-01-01T00:00:00Z", "displayUntil": "2021-01-01T00:00:00Z"},
 {"richText": "window", "displayAfter": "2024-05-01T12:00:00Z", "displayUntil": "2024-05-01T12:00:00Z"},
 {"richText": "future emergency", "displayAfter": "2999-01-01T00:00:00Z", "emergency": true},
 {"richText": "never", "emergency": false},
 {"richText": "bad dates", "displayAfter": "yesterday", "displayUntil": "2024-13-45T99:99:99"},
 {"richText": "emergency text", "emergency": "true"},
 {"title": "no rich text", "imageUrl": "x"}, {"richText": ""}]
EOF
cat >"$dir/wrong-types" <<EOF
[1, "two", null, [], {"richText": 5, "title": {}, "category": ["cat1"]},
 {"richText": "ok", "displayAfter": 1714564800, "url": false}]
EOF
printf '{"richText": "object, not array"}' >"$dir/root-object"
printf '[{"richText": "x"' >"$dir/not-json"

# --- cdntrace: the trace reply.
dir=$corpus/cdntrace
rm -rf "$dir" && mkdir -p "$dir"
printf 'fl=29f1\nh=example.invalid\nip=192.0.2.1\nts=1714564800.123\nvisit_scheme=https\nuag=x\ncolo=FRA\nhttp=http/2\nloc=DE\ntls=TLSv1.3\n' \
    >"$dir/reply"
printf 'FL=1\r\nTS=2\r\nCOLO=AMS\r\nIP=2001:db8::1\r\n' >"$dir/upper-case-windows-lines"
printf 'fl==x\nts=\ncolo=a=b\n=ip\nip= 198.51.100.7 \n\n\nfl=later\n' >"$dir/odd-lines"
printf 'colo=\xff\xfe\xc3\x28\nip=\xe2\x82\xac\n' >"$dir/invalid-utf8"

# --- filepathindirectory: a selector byte (base directory), then the relative path.
dir=$corpus/filepathindirectory
rm -rf "$dir" && mkdir -p "$dir"
i=0
while IFS= read -r path; do
    printf "$(printf '\\x%02x' $((i % 6)))%s" "$path" >"$dir/path-$i"
    i=$((i + 1))
done <<'EOF'
bin/client.exe
../../evil.dll
..
../
a/../../b/
/etc/passwd
C:\Windows\system32\evil.dll
\\server\share\file
./a/./b/../c
dir/
.
a//b///c
EOF
printf '\x00ok\x00/../../../etc/shadow' >"$dir/path-nul"
printf '\x03..' >"$dir/root-parent"
