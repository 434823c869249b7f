#!/usr/bin/env bash
# Runs every benchmark and prints tables of ratios against baselines measured in the same run,
# then the targets with PASS or FAIL:
#   - bench_scan: chunking and hashing local files against sha256sum;
#   - bench_install: a fresh install and an update against curl + xz + sha256sum;
#   - two updates, each by the real launcher (`CorvaneLauncher --patch`) against `zsync -i` and
#     `casync extract --seed`, all three fetching from the same loopback nginx, whose access log
#     counts the bytes on the wire (headers and bodies as sent; JSON documents go gzipped):
#       "game":   a generated game of SIZE MiB with about 5 % new content in a few large regions;
#       "binary": FILES files of 20 KiB to 4 MiB of mixed binary content, each changed in 3 to 5
#                 scattered places of 20 to 500 bytes, a few replaced whole (bench/binset.py);
#   - fresh installs by the real launcher of the same data published twice, once with zstd and once
#     with LZMA, each at the publisher's default level: the "game" set and a real many-file
#     release ("release": Debian packages unpacked, bench/lib.sh), side by side.
#
#     bench/run.sh                                     # full size: 1024 MiB and 2000 files
#     BENCH_SIZE_MB=128 BENCH_FILES=300 bench/run.sh   # a quick try
#
# Environment: BENCH_SIZE_MB (default 1024), BENCH_FILES (default 2000), BENCH_LEVEL (level of the
# publisher's default codec, zstd, for the updates; default: the publisher's default, as a studio
# would publish), BENCH_PUBLISH_OPTIONS (further options of `corvane-publish package`, for both
# versions of both update sets), BENCH_SETS (update sets, default "game binary"; empty for none),
# BENCH_CODEC_SETS (default "game release"; the game at BENCH_SIZE_MB up to 512; empty for none),
# LIB_RELEASE_PACKAGES (the Debian packages of "release"), BENCH_WORK (work directory, default
# bench-work/ under the build directory), BENCH_PARTS (default "scan install": bench_scan and
# bench_install; empty for neither),
# BENCH_INSTALL_REFERENCE (the fresh-install ratio to hold, default 1.21, the last recorded one)
# or BENCH_REFERENCE_BUILD (the build directory of another tree whose bench_install then runs in
# the same run and gives that ratio). Every file of a run stays below the work directory; every
# process started is stopped. Not part of CI: it takes many minutes and measures the machine.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
source bench/lib.sh

size=${BENCH_SIZE_MB:-1024}
files=${BENCH_FILES:-2000}
level=${BENCH_LEVEL:-}
sets=${BENCH_SETS-game binary}
codec_sets=${BENCH_CODEC_SETS-game release}
parts=" ${BENCH_PARTS-scan install} "
read -r -a publish_options <<<"${BENCH_PUBLISH_OPTIONS:-}"
build=$repo/build
work=${BENCH_WORK:-$build/bench-work}

trap 'lib_stop_all' EXIT
trap 'exit 130' INT TERM

seconds_since() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "-" }'; }
holds() { awk "BEGIN { exit !($1) }" && echo PASS || echo FAIL; }

lib_log "installing missing packages"
./scripts/install-deps.sh --bench
lib_log "building"
if [ ! -f "$build/build.ninja" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target bench_scan bench_install CorvaneLauncher \
    corvane-democlient corvane-publish >/dev/null

rm -rf "$work"
mkdir -p "$work"
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
rows=()
row() { rows+=("$(printf '%-60s %12s %12s %7s' "$@")"); }
targets=()
target() { targets+=("$(printf '%-60s %24s %24s  %s' "$@")"); }
tables=()

# --- chunking and hashing ----------------------------------------------------------------------
if [[ $parts == *" scan "* ]]; then
lib_log "bench_scan --size $size"
"$build/bin/bench_scan" --size "$size" | tee "$work/scan.txt"
speed_of() { # LINE
    echo "$1" | awk '{ for (i = 1; i < NF; i++) if ($(i+1) == "MB/s") { print $i; exit } }'
}
reference=$(speed_of "$(grep '^sha256sum (one process)' "$work/scan.txt")")
while IFS= read -r line; do
    name=$(echo "$line" | sed 's/ *[0-9.]* MB\/s.*//')
    speed=$(speed_of "$line")
    row "scan: $name" "$speed MB/s" "$reference MB/s" "$(ratio "$speed" "$reference")"
done < <(grep 'x sha256sum' "$work/scan.txt")
full_scan=$(speed_of "$(grep '^full scan' "$work/scan.txt")")
target "scan: full scan vs sha256sum" "$(ratio "$full_scan" "$reference") x" "at least 2.00 x" \
    "$(holds "$full_scan >= 2 * $reference")"
two=$(speed_of "$(grep '^chunker + SHA-256, 2 workers' "$work/scan.txt")")
six=$(speed_of "$(grep '^chunker + SHA-256, 6 workers' "$work/scan.txt")")
target "scan: chunker + SHA-256, 6 workers vs 2 (5 % noise margin)" "$six / $two MB/s" \
    "6 at least 0.95 x 2" "$(holds "$six >= 0.95 * $two")"
# The same per processor-second: six threads on fewer cores must not cost more work per byte
# (their buffers evicting each other's data would); the wall figure above also pays for the end
# of the run, when the largest file is cut alone while the other cores idle.
work_of() { # LINE
    echo "$1" | awk '{ for (i = 1; i < NF; i++) if ($(i+1) == "MB/CPU-s") { print $i; exit } }'
}
two=$(work_of "$(grep '^chunker + SHA-256, 2 workers' "$work/scan.txt")")
six=$(work_of "$(grep '^chunker + SHA-256, 6 workers' "$work/scan.txt")")
target "scan: the same per CPU-second (5 % noise margin)" "$six / $two MB/CPU-s" \
    "6 at least 0.95 x 2" "$(holds "$six >= 0.95 * $two")"

fi

# --- install and update of chunks against curl + xz ---------------------------------------------
if [[ $parts == *" install "* ]]; then
install_size=$((size < 512 ? size : 512))
install_ratio() { # OUTPUT
    awk '$1 == "install" && $2 == "baseline," && $3 == "one" { print $NF }' "$1" | tr -d x
}
lib_log "bench_install --size-mib $install_size"
"$build/bin/bench_install" --size-mib "$install_size" --work "$work/install" | tee "$work/install.txt"
for what in install update; do
    launcher=$(awk -v w="$what" '$1 == w && $2 == "launcher" { print $3 }' "$work/install.txt")
    for kind in one two; do
        base=$(awk -v w="$what" -v k="$kind" '$1 == w && $2 == "baseline," && $3 == k { print $8 }' \
            "$work/install.txt")
        row "$what $install_size MiB: vs curl + $kind xz at a time" "$launcher s" "$base s" \
            "$(ratio "$base" "$launcher")"
    done
done
rm -rf "$work/install"
install_reference=${BENCH_INSTALL_REFERENCE:-1.21}
install_reference_from="recorded"
if [ -n "${BENCH_REFERENCE_BUILD:-}" ]; then
    lib_log "bench_install of $BENCH_REFERENCE_BUILD"
    "$BENCH_REFERENCE_BUILD/bin/bench_install" --size-mib "$install_size" --work "$work/install" |
        tee "$work/install-reference.txt"
    install_reference=$(install_ratio "$work/install-reference.txt")
    install_reference_from="reference build, same run"
    rm -rf "$work/install"
fi
fresh=$(install_ratio "$work/install.txt")
target "fresh install: ratio vs curl + one xz at a time" "$fresh" \
    "at least $install_reference ($install_reference_from)" "$(holds "$fresh >= $install_reference")"
fi

# --- updates against zsync and casync ------------------------------------------------------------
mkdir -p "$work/site"
lib_start_server "$work/site" "$work/server"
lib_log "serving on 127.0.0.1:$SERVER_PORT ($SERVER_KIND)"
peak_rss=0 # KiB, over every launcher run

# Runs the launcher without a display; waits for the client it starts. Sets launcher_seconds and
# launcher_rss (peak resident set in KiB).
launch() { # TAG OPTIONS...
    local tag=$1 begin status attempt pid
    shift
    # Launchers of other work on this machine (tests) may hold the single-instance guard for a
    # while: try for up to ten minutes.
    for attempt in $(seq 1 300); do
        rm -f "$work/client-$tag.json"
        begin=$(date +%s.%N)
        status=0
        (cd "$launcher_dir" && HOME=$set_dir/home XDG_RUNTIME_DIR=$work/runtime \
            QT_QPA_PLATFORM=offscreen CORVANE_DEMOCLIENT_RECORD="$work/client-$tag.json" \
            timeout --kill-after=5 600 /usr/bin/time -f %M -o "$work/rss-$tag" \
            ./CorvaneLauncher "$@") >"$work/launcher-$tag.out" 2>&1 || status=$?
        launcher_seconds=$(seconds_since "$begin")
        grep -q "already running" "$work/launcher-$tag.out" || break
        sleep 2
    done
    cp "$launcher_dir/CorvaneLauncher.log" "$work/launcher-$tag.log" 2>/dev/null || true
    [ "$status" -eq 0 ] && [ -f "$work/client-$tag.json" ] ||
        { echo "the launcher ($tag) failed with $status" >&2; exit 1; }
    launcher_rss=$(tail -n1 "$work/rss-$tag")
    [ "$launcher_rss" -le "$peak_rss" ] || peak_rss=$launcher_rss
    pid=$(sed -n 's/.*"pid": *\([0-9]*\).*/\1/p' "$work/client-$tag.json")
    while [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; do sleep 0.1; done
}

# The data sets: make_SET builds version 1 below $game (and $assets when the set has assets),
# change_SET turns it into version 2 and sets changed_bytes to the bytes of new content.
describe_game() { echo "a game of $size MiB, about 5 % new content in a few large regions"; }
make_game() { lib_make_game "$game" "$assets" "$size" "$build/bin/corvane-democlient"; }
change_game() {
    lib_change_game "$game" "$assets" "$size"
    changed_bytes=$(lib_changed_bytes "$size")
}
describe_binary() {
    echo "$files files of 20 KiB to 4 MiB, each changed in 3 to 5 places of 20 to 500 bytes, 1 in 200 replaced"
}
make_binary() {
    rm -rf "$game"
    mkdir -p "$game/bin"
    cp "$build/bin/corvane-democlient" "$game/bin/corvane"
    python3 bench/binset.py make "$game" --files "$files"
}
change_binary() {
    changed_bytes=$(python3 bench/binset.py change "$game" | sed -n 's/^changed bytes: //p')
}

# The launcher metadata of SITE: one client package, its assets when ASSETS_ENTRY names them.
write_metadata() { # SITE ASSETS_ENTRY
    "$build/bin/corvane-publish" metadata --description /dev/stdin \
        --out "$1/launchermetadata.json" >/dev/null <<JSON
{"packages": [{"name": "Corvane Online", "directory": "corvane", "installAutomatically": true,
  "builds": [{"os": "linux", "architecture": "x86_64",
              "package": "client/linux64/package.json"$2}]}]}
JSON
}

update_set() { # NAME
    local name=$1
    set_dir=$work/$name
    game=$set_dir/game
    assets=$set_dir/assets
    local site=$work/site/$name
    local store=$site/client/linux64
    local with_assets=""
    mkdir -p "$set_dir" "$set_dir/home"
    install -d -m 700 "$work/runtime"

    lib_log "$name: generating $(describe_$name)"
    "make_$name"
    local assets_entry=""
    if [ -d "$assets" ]; then
        with_assets=1
        assets_entry=', "assets": "client/linux64/assets.json"'
    fi
    publish() { # VERSION
        "$build/bin/corvane-publish" package --source "$game" --out "$store" --version "$1" \
            --executable bin/corvane --parameter=--exit-after-ms=500 --generation second \
            --variant regular ${with_assets:+--assets "$assets" --assets-version "$1"} \
            ${level:+--level "$level"} "${publish_options[@]}" 2>/dev/null |
            tee "$work/publish-$name-$1.txt"
    }
    # The tree a player ends up with: the package and the assets in one directory.
    tree() { # NAME
        rm -rf "$set_dir/$1"
        mkdir -p "$set_dir/$1"
        cp -a "$game/." "$set_dir/$1/"
        [ -z "$with_assets" ] || cp -a "$assets/." "$set_dir/$1/"
    }
    tarball() { # NAME
        tar -C "$set_dir/$1" --sort=name --mtime=@0 --owner=0 --group=0 --numeric-owner \
            -cf "$set_dir/$1.tar" .
    }

    lib_log "$name: publishing version 1 (zstd, level ${level:-default})"
    publish 1
    tree tree-v1
    tarball tree-v1
    write_metadata "$site" "$assets_entry"

    launcher_dir=$set_dir/launcher
    mkdir -p "$launcher_dir"
    cp "$build/bin/CorvaneLauncher" "$launcher_dir/"
    settings() { # FAST_SCAN
        LIB_METADATA=$name/launchermetadata.json lib_write_settings "$launcher_dir" "[OPTIONS]
fastScan=$1"
    }
    settings true

    lib_log "$name: launcher installing version 1"
    launch "$name-install" --first-launch
    local installed=$launcher_dir/packages/corvane

    lib_log "$name: version 2"
    find "$store" -type f -path '*/chunks/*' | sort >"$set_dir/chunks-1"
    "change_$name"
    publish 2
    find "$store" -type f -path '*/chunks/*' | sort >"$set_dir/chunks-2"
    # Chunk files are named by the SHA-256 of their content; other new files of the store
    # (deltas, say) are not chunks.
    local changed_packed
    changed_packed=$(comm -13 "$set_dir/chunks-1" "$set_dir/chunks-2" | grep -E '/[0-9a-f]{64}$' |
        xargs -r stat -c %s | awk '{ s += $1 } END { printf "%d\n", s }')
    tree tree-v2
    tarball tree-v2

    lib_log "$name: zsyncmake"
    mkdir -p "$site/zsync"
    mv "$set_dir/tree-v2.tar" "$site/zsync/v2.tar"
    (cd "$site/zsync" && zsyncmake -u v2.tar -o v2.tar.zsync v2.tar >/dev/null 2>&1)
    lib_log "$name: casync make"
    mkdir -p "$site/casync"
    casync make --store="$site/casync/v2.castr" "$site/casync/v2.caidx" "$set_dir/tree-v2" >/dev/null

    # Warm start for everybody: the seeds and the served files come from the page cache.
    cat "$set_dir/tree-v1.tar" "$site/zsync/v2.tar" >/dev/null
    find "$installed" "$set_dir/tree-v1" "$site/casync" -type f -exec cat {} + >/dev/null

    check_installed() {
        (cd "$set_dir/tree-v2" && find . -type f -exec cmp -s {} "$installed/{}" \; -o -type f -print) \
            >"$set_dir/mismatch"
        [ ! -s "$set_dir/mismatch" ] ||
            { echo "launcher update differs: $(head -3 "$set_dir/mismatch")" >&2; exit 1; }
    }
    # The same update once more from version 1 with the fast scan off: every local file is then
    # read and cut into chunks, as zsync and casync read their whole seed.
    cp -a "$installed" "$set_dir/installed-v1"

    lib_log "$name: launcher --patch"
    local before
    before=$(lib_log_lines)
    launch "$name-update" --patch "$installed/bin/corvane"
    local launcher_time=$launcher_seconds launcher_peak=$launcher_rss
    local launcher_bytes
    launcher_bytes=$(lib_bytes_sent "$before")
    check_installed

    lib_log "$name: launcher --patch, fastScan=false"
    rm -rf "$installed"
    mv "$set_dir/installed-v1" "$installed"
    find "$installed" -type f -exec cat {} + >/dev/null
    settings false
    before=$(lib_log_lines)
    launch "$name-update-full" --patch "$installed/bin/corvane"
    local full_time=$launcher_seconds full_peak=$launcher_rss full_bytes
    full_bytes=$(lib_bytes_sent "$before")
    check_installed

    lib_log "$name: zsync -i"
    before=$(lib_log_lines)
    local begin
    begin=$(date +%s.%N)
    (cd "$set_dir" && zsync -q -i tree-v1.tar -o zsync-out.tar \
        "http://127.0.0.1:$SERVER_PORT/$name/zsync/v2.tar.zsync" >/dev/null)
    local zsync_time zsync_bytes
    zsync_time=$(seconds_since "$begin")
    zsync_bytes=$(lib_bytes_sent "$before")
    cmp -s "$set_dir/zsync-out.tar" "$site/zsync/v2.tar" || { echo "zsync result differs" >&2; exit 1; }
    rm -f "$set_dir/zsync-out.tar" "$set_dir/zsync-out.tar.zs-old"

    # The index comes over HTTP too, as the launcher's documents do.
    lib_log "$name: casync extract --seed (HTTP)"
    before=$(lib_log_lines)
    begin=$(date +%s.%N)
    casync extract --store="http://127.0.0.1:$SERVER_PORT/$name/casync/v2.castr" \
        --seed="$set_dir/tree-v1" "http://127.0.0.1:$SERVER_PORT/$name/casync/v2.caidx" \
        "$set_dir/casync-out" >/dev/null 2>&1
    local casync_time casync_bytes
    casync_time=$(seconds_since "$begin")
    casync_bytes=$(lib_bytes_sent "$before")
    diff -r -q "$set_dir/casync-out" "$set_dir/tree-v2" >/dev/null ||
        { echo "casync result differs" >&2; exit 1; }
    rm -rf "$set_dir/casync-out"

    lib_log "$name: casync extract --seed (local store)"
    begin=$(date +%s.%N)
    casync extract --store="$site/casync/v2.castr" --seed="$set_dir/tree-v1" \
        "$site/casync/v2.caidx" "$set_dir/casync-out" >/dev/null 2>&1
    local casync_local_time
    casync_local_time=$(seconds_since "$begin")
    rm -rf "$set_dir/casync-out"

    local total count
    total=$(du -sb --apparent-size "$set_dir/tree-v2" | cut -f1)
    count=$(find "$set_dir/tree-v2" -type f | wc -l)
    local label="update $name"
    row "$label: time vs zsync -i" "$launcher_time s" "$zsync_time s" \
        "$(ratio "$zsync_time" "$launcher_time")"
    row "$label: time vs casync extract --seed (HTTP)" "$launcher_time s" "$casync_time s" \
        "$(ratio "$casync_time" "$launcher_time")"
    row "$label: time vs casync (local store)" "$launcher_time s" "$casync_local_time s" \
        "$(ratio "$casync_local_time" "$launcher_time")"
    row "$label, fastScan off: time vs zsync -i" "$full_time s" "$zsync_time s" \
        "$(ratio "$zsync_time" "$full_time")"
    row "$label: bytes vs zsync -i" "$(lib_mib "$launcher_bytes")" "$(lib_mib "$zsync_bytes")" \
        "$(ratio "$zsync_bytes" "$launcher_bytes")"
    row "$label: bytes vs casync (HTTP)" "$(lib_mib "$launcher_bytes")" \
        "$(lib_mib "$casync_bytes")" "$(ratio "$casync_bytes" "$launcher_bytes")"

    local table
    table=$(
        echo "update \"$name\": $(describe_$name)"
        echo "  $(lib_mib "$total") in $count files; changed bytes (new content): $(lib_mib "$changed_bytes") ($changed_bytes); new chunks: $(lib_mib "$changed_packed") packed"
        printf '  %-36s %14s %12s %10s %14s\n' tool "on the wire" "x changed" "wall time" "peak RSS"
        printf '  %-36s %14s %12s %10s %14s\n' "launcher --patch" "$(lib_mib "$launcher_bytes")" \
            "$(ratio "$launcher_bytes" "$changed_bytes")" "$launcher_time s" \
            "$(lib_mib $((launcher_peak * 1024)))"
        printf '  %-36s %14s %12s %10s %14s\n' "launcher --patch, fastScan off" \
            "$(lib_mib "$full_bytes")" "$(ratio "$full_bytes" "$changed_bytes")" "$full_time s" \
            "$(lib_mib $((full_peak * 1024)))"
        printf '  %-36s %14s %12s %10s %14s\n' "zsync -i" "$(lib_mib "$zsync_bytes")" \
            "$(ratio "$zsync_bytes" "$changed_bytes")" "$zsync_time s" "-"
        printf '  %-36s %14s %12s %10s %14s\n' "casync extract --seed (HTTP)" \
            "$(lib_mib "$casync_bytes")" "$(ratio "$casync_bytes" "$changed_bytes")" \
            "$casync_time s" "-"
        printf '  %-36s %14s %12s %10s %14s\n' "casync extract --seed (local store)" "-" "-" \
            "$casync_local_time s" "-"
    )
    tables+=("$table")

    local smaller=$((zsync_bytes < casync_bytes ? zsync_bytes : casync_bytes))
    case "$name" in
        binary)
            target "$label: bytes vs smaller of zsync and casync" "$(lib_mib "$launcher_bytes")" \
                "at most $(lib_mib $((smaller / 2)))" "$(holds "$launcher_bytes <= 0.5 * $smaller")"
            ;;
        *)
            target "$label: bytes vs changed bytes" \
                "$(ratio "$launcher_bytes" "$changed_bytes") x" "at most 1.10 x" \
                "$(holds "$launcher_bytes <= 1.1 * $changed_bytes")"
            ;;
    esac
    target "$label: wall time vs zsync -i" "$launcher_time s" "at most $zsync_time s" \
        "$(holds "$launcher_time <= $zsync_time")"
    target "$label, fastScan off: wall time vs zsync -i" "$full_time s" "at most $zsync_time s" \
        "$(holds "$full_time <= $zsync_time")"

    rm -rf "$set_dir/tree-v1" "$set_dir/tree-v2" "$set_dir/tree-v1.tar" "$site/zsync" \
        "$site/casync" "$launcher_dir/packages"
}

for name in $sets; do
    update_set "$name"
done

# --- fresh install, zstd against LZMA ------------------------------------------------------------
# Publishes SET with CODEC at the publisher's default level into a site of its own and installs it
# from scratch with the real launcher. Sets publish_seconds, packed_bytes, install_seconds,
# wire_bytes, installed_bytes and install_rss (KiB).
codec_install() { # SET CODEC
    local name=$1 codec=$2 begin
    local site=$work/site/codec-$name-$codec
    set_dir=$work/codec-$name-$codec
    launcher_dir=$set_dir/launcher
    rm -rf "$site" "$set_dir"
    mkdir -p "$site" "$launcher_dir" "$set_dir/home"
    install -d -m 700 "$work/runtime"
    local source=$work/codec-data/$name assets_option=() assets_entry=""
    if [ -d "$source/assets" ]; then
        assets_option=(--assets "$source/assets" --assets-version 1)
        assets_entry=', "assets": "client/linux64/assets.json"'
    fi
    lib_log "codecs: $name: publishing with $codec"
    begin=$(date +%s.%N)
    "$build/bin/corvane-publish" package --source "$source/game" --out "$site/client/linux64" \
        --version 1 --executable bin/corvane --parameter=--exit-after-ms=500 --codec "$codec" \
        --delta-versions 0 "${assets_option[@]}" 2>/dev/null >"$work/publish-codec-$name-$codec.txt"
    publish_seconds=$(seconds_since "$begin")
    packed_bytes=$(du -sb --apparent-size "$site/client/linux64/chunks" | cut -f1)
    write_metadata "$site" "$assets_entry"
    cp "$build/bin/CorvaneLauncher" "$launcher_dir/"
    LIB_METADATA=codec-$name-$codec/launchermetadata.json lib_write_settings "$launcher_dir"
    find "$site" -type f -exec cat {} + >/dev/null
    lib_log "codecs: $name: launcher installing the $codec release"
    local before
    before=$(lib_log_lines)
    launch "codec-$name-$codec" --first-launch
    install_seconds=$launcher_seconds
    install_rss=$launcher_rss
    wire_bytes=$(lib_bytes_sent "$before")
    installed_bytes=$(du -sb --apparent-size "$launcher_dir/packages/corvane" | cut -f1)
    rm -rf "$launcher_dir/packages" "$site"
}

codec_rows=()
codec_row() { codec_rows+=("$(printf '  %-34s %16s %16s %7s' "$@")"); }
for name in $codec_sets; do
    rm -rf "$work/codec-data/$name"
    mkdir -p "$work/codec-data/$name"
    case "$name" in
        game)
            codec_size=$((size < 512 ? size : 512))
            lib_log "codecs: generating a game of $codec_size MiB"
            lib_make_game "$work/codec-data/game/game" "$work/codec-data/game/assets" \
                "$codec_size" "$build/bin/corvane-democlient"
            ;;
        release)
            lib_log "codecs: unpacking a release ($LIB_RELEASE_PACKAGES)"
            lib_make_release "$work/codec-data/release/game" "$work/debs" \
                "$build/bin/corvane-democlient"
            ;;
        *) echo "unknown codec set $name" >&2; exit 1 ;;
    esac
    declare -A figure=()
    for codec in lzma zstd; do
        codec_install "$name" "$codec"
        figure[$codec-publish]=$publish_seconds
        figure[$codec-packed]=$packed_bytes
        figure[$codec-install]=$install_seconds
        figure[$codec-wire]=$wire_bytes
        figure[$codec-rss]=$install_rss
        figure[$codec-rate]=$(awk -v b="$installed_bytes" -v s="$install_seconds" \
            'BEGIN { printf "%.0f", b / s / 1e6 }')
    done
    files_count=$(find "$work/codec-data/$name" -type f | wc -l)
    data_bytes=$(du -sb --apparent-size "$work/codec-data/$name" | cut -f1)
    codec_rows+=("fresh install \"$name\": $(lib_mib "$data_bytes") in $files_count files")
    codec_row "" zstd LZMA "zstd/LZMA"
    codec_row "publish time" "${figure[zstd-publish]} s" "${figure[lzma-publish]} s" \
        "$(ratio "${figure[zstd-publish]}" "${figure[lzma-publish]}")"
    codec_row "chunk store" "$(lib_mib "${figure[zstd-packed]}")" \
        "$(lib_mib "${figure[lzma-packed]}")" \
        "$(ratio "${figure[zstd-packed]}" "${figure[lzma-packed]}")"
    codec_row "install: bytes on the wire" "$(lib_mib "${figure[zstd-wire]}")" \
        "$(lib_mib "${figure[lzma-wire]}")" "$(ratio "${figure[zstd-wire]}" "${figure[lzma-wire]}")"
    codec_row "install: wall time" "${figure[zstd-install]} s" "${figure[lzma-install]} s" \
        "$(ratio "${figure[zstd-install]}" "${figure[lzma-install]}")"
    codec_row "install: rate (unpacked)" "${figure[zstd-rate]} MB/s" "${figure[lzma-rate]} MB/s" \
        "$(ratio "${figure[zstd-rate]}" "${figure[lzma-rate]}")"
    codec_row "install: peak RSS" "$(lib_mib $((figure[zstd-rss] * 1024)))" \
        "$(lib_mib $((figure[lzma-rss] * 1024)))" \
        "$(ratio "${figure[zstd-rss]}" "${figure[lzma-rss]}")"
    codec_rows+=("")
    target "codecs \"$name\": install wall time, zstd vs LZMA" \
        "$(ratio "${figure[zstd-install]}" "${figure[lzma-install]}") x" "at most 0.50 x" \
        "$(holds "${figure[zstd-install]} <= 0.5 * ${figure[lzma-install]}")"
    target "codecs \"$name\": bytes on the wire, zstd vs LZMA" \
        "$(ratio "${figure[zstd-wire]}" "${figure[lzma-wire]}") x" "at most 1.10 x" \
        "$(holds "${figure[zstd-wire]} <= 1.1 * ${figure[lzma-wire]}")"
    target "codecs \"$name\": publish time, zstd vs LZMA" \
        "$(ratio "${figure[zstd-publish]}" "${figure[lzma-publish]}") x" "at most 1.00 x" \
        "$(holds "${figure[zstd-publish]} <= ${figure[lzma-publish]}")"
    if [ "$name" = game ]; then
        target "codecs \"game\": install rate with zstd on loopback" "${figure[zstd-rate]} MB/s" \
            "at least 250 MB/s" "$(holds "${figure[zstd-rate]} >= 250")"
    fi
    unset figure
    rm -rf "$work/codec-data/$name"
done
target "launcher: peak RSS over every run" "$(lib_mib $((peak_rss * 1024)))" "below 1024.0 MiB" \
    "$(holds "$peak_rss < 1048576")"

cat <<TABLE

Corvane launcher benchmarks, $(date -u '+%Y-%m-%d %H:%M UTC')
machine: $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo), $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo), $(. /etc/os-release && echo "$PRETTY_NAME")
load average: $load_before at the start, $(cut -d' ' -f1-3 /proc/loadavg) at the end
updates: zstd at level ${level:-default}${BENCH_PUBLISH_OPTIONS:+, publisher options $BENCH_PUBLISH_OPTIONS}, $SERVER_KIND on loopback (bytes on the wire from its access log), warm page cache
codecs: each at the publisher's default level ($(cat "$work"/publish-codec-*.txt 2>/dev/null | sed -n 's/^Compression: //p' | sort -u | paste -sd, -)), fresh installs by the launcher, warm page cache; ratio: zstd / LZMA
ratio: baseline / launcher (above 1: the launcher is faster or downloads less); scan: launcher / sha256sum

$(printf '%-60s %12s %12s %7s' benchmark launcher baseline ratio)
$(printf '%s\n' "${rows[@]}")

$(printf '%s\n\n' "${tables[@]}")

$(printf '%s\n' "${codec_rows[@]}")

$(printf '%-60s %24s %24s  %s' target measured limit verdict)
$(printf '%s\n' "${targets[@]}")
TABLE
