#!/usr/bin/env bash
# Runs every benchmark and prints tables of ratios against baselines measured in the same run,
# then the targets with PASS or FAIL:
#   - bench_scan: chunking and hashing local files against sha256sum;
#   - bench_install: a fresh install and an update against curl + xz + sha256sum;
#   - the emulated line (bench_linkemu, a loopback proxy with a round trip and a bandwidth cap
#     shared by all connections): the rate of one 100 MiB download and the time of a small request;
#   - updates, each by the real launcher (`CorvaneLauncher --patch`) against `zsync -i` and
#     `casync extract --seed`, all three fetching from the same loopback nginx, whose access log
#     counts the requests and the bytes on the wire (headers and bodies as sent; JSON documents go
#     gzipped), once on loopback and once through the line; and the fresh install of version 1 by
#     the launcher against `curl | xz -d | tar -x` of the whole release, the same two ways:
#       "game":    a generated game of SIZE MiB with about 5 % new content in a few large regions;
#       "binary":  FILES files of 20 KiB to 4 MiB of mixed binary content, each changed in 3 to 5
#                  scattered places of 20 to 500 bytes, a few replaced whole (bench/binset.py);
#       "release": two consecutive releases of a real many-file program (Debian packages of one
#                  source at two versions, bench/lib.sh);
#   - fresh installs by the real launcher of the same data published twice, once with zstd and once
#     with LZMA, each at the publisher's default level: the "game" set and a real many-file
#     release ("release": Debian packages unpacked, bench/lib.sh), side by side.
#
#     bench/run.sh                                     # full size: 1024 MiB and 2000 files
#     BENCH_SIZE_MB=128 BENCH_FILES=300 bench/run.sh   # a quick try
#
# Environment: BENCH_SIZE_MB (default 1024), BENCH_FILES (default 2000), BENCH_FILE_MAX_KIB (the
# largest file of "binary", default 4096; 128 for a set of many small files), BENCH_LEVEL (level of
# the publisher's default codec, zstd, for the updates; default: the publisher's default, as a
# studio would publish), BENCH_PUBLISH_OPTIONS (further options of `corvane-publish package`, for
# both versions of every update set), BENCH_SETS (update sets, default "game binary release"; empty
# for none), BENCH_LINK (the line: round trip in ms and rate in Mbit/s, default "40 200"; empty for
# loopback only), BENCH_BYTES_REFERENCE (bytes of today's launcher per update as a multiple of the
# changed bytes, "SET=RATIO ...", default: the recorded ones below), BENCH_CODEC_SETS (default
# "game release"; the game at BENCH_SIZE_MB up to 512; empty for none), LIB_RELEASE_PACKAGES (the
# Debian packages of the codecs' "release"), LIB_RELEASE_UPDATE_PACKAGES and
# LIB_RELEASE_UPDATE_VERSIONS (those of the updates' "release"), BENCH_WORK (work directory,
# default bench-work/ under the build directory), BENCH_PARTS (default "scan install": bench_scan
# and bench_install; empty for neither),
# BENCH_INSTALL_REFERENCE (the fresh-install ratio to hold, default 1.21, the last recorded one)
# or BENCH_REFERENCE_BUILD (the build directory of another tree whose bench_install then runs in
# the same run and gives that ratio). Every file of a run stays below the work directory (the
# Debian packages are kept in bench-debs/ under the build directory); every process started is
# stopped. Not part of CI: it takes many minutes and measures the machine. On a loaded machine run
# it under nice: the line's proxy then returns to the normal priority when it may.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
source bench/lib.sh

size=${BENCH_SIZE_MB:-1024}
files=${BENCH_FILES:-2000}
level=${BENCH_LEVEL:-}
file_max_kib=${BENCH_FILE_MAX_KIB:-4096}
sets=${BENCH_SETS-game binary release}
read -r link_rtt link_rate <<<"${BENCH_LINK-40 200}" || true
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
bench_targets=()
[[ $parts != *" scan "* ]] || bench_targets+=(bench_scan)
[[ $parts != *" install "* ]] || bench_targets+=(bench_install)
cmake --build "$build" -j "$(nproc)" --target "${bench_targets[@]}" bench_linkemu CorvaneLauncher \
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

# The emulated line: bench_linkemu between the tools and the same nginx. Sets LINK_PORT.
LINK_PORT=""
if [ -n "$link_rtt" ]; then
    "$build/bin/bench_linkemu" --target "$SERVER_PORT" --rtt-ms "$link_rtt" \
        --rate-mbit "$link_rate" --port-file "$work/link-port" >/dev/null 2>"$work/linkemu.err" &
    LIB_PIDS+=($!)
    # The line keeps its pace only if the proxy is woken on time: a late wake-up stretches every
    # round trip. It takes little processor time, so it runs at the normal priority even when
    # the benchmark itself runs under nice (which only root may undo; otherwise it stays).
    renice -n 0 -p "$!" >/dev/null 2>&1 || true
    for _ in $(seq 1 100); do
        [ -s "$work/link-port" ] && break
        sleep 0.1
    done
    LINK_PORT=$(cat "$work/link-port")
    lib_log "line of $link_rtt ms and $link_rate Mbit/s on 127.0.0.1:$LINK_PORT"

    # The line itself: a download of 100 MiB must come in at the rate, a small file on a new
    # connection after two round trips (handshake and request) and on the same connection after one.
    mkdir -p "$work/site/line"
    lib_random "$work/site/line/blob" $((100 * 1048576)) line
    echo small >"$work/site/line/small"
    cat "$work/site/line/blob" >/dev/null
    line_url=http://127.0.0.1:$LINK_PORT/line
    line_rate=$(curl -s -o /dev/null -w '%{speed_download}' "$line_url/blob" |
        awk '{ printf "%.1f", $1 * 8 / 1e6 }')
    line_first=1000000
    line_again=1000000
    for _ in 1 2 3; do
        read -r first again < <(curl -s -o /dev/null -o /dev/null \
            -w '%{time_starttransfer}\n' "$line_url/small" "$line_url/small" | paste -sd' ')
        line_first=$(awk -v a="$first" -v b="$line_first" 'BEGIN { printf "%.1f", (a * 1000 < b ? a * 1000 : b) }')
        line_again=$(awk -v a="$again" -v b="$line_again" 'BEGIN { printf "%.1f", (a * 1000 < b ? a * 1000 : b) }')
    done
    target "line: rate of one 100 MiB download (5 % margin)" "$line_rate Mbit/s" \
        "$link_rate Mbit/s +- 5 %" \
        "$(holds "$line_rate >= 0.95 * $link_rate && $line_rate <= 1.05 * $link_rate")"
    target "line: small file, new connection (best of 3)" "$line_first ms" \
        "2 x $link_rtt ms + 10 %" \
        "$(holds "$line_first >= 2 * $link_rtt && $line_first <= 2.2 * $link_rtt")"
    target "line: small file, same connection (best of 3)" "$line_again ms" \
        "1 x $link_rtt ms + 10 %" \
        "$(holds "$line_again >= $link_rtt && $line_again <= 1.1 * $link_rtt")"
    rm -rf "$work/site/line"
fi

# Runs the launcher without a display; waits for the client it starts. Sets launcher_seconds,
# launcher_rss (peak resident set in KiB) and launcher_log (bytes of the log file it wrote; the
# launcher starts a new one on every start).
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
            timeout --kill-after=5 900 /usr/bin/time -f %M -o "$work/rss-$tag" \
            ./CorvaneLauncher "$@") >"$work/launcher-$tag.out" 2>&1 || status=$?
        launcher_seconds=$(seconds_since "$begin")
        # The client writes its record as it starts: the moment the player's game runs. The
        # launcher itself ends up to one poll of 200 ms later.
        client_seconds=$(awk -v a="$begin" -v b="$(stat -c %.9Y "$work/client-$tag.json" 2>/dev/null || echo 0)" \
            'BEGIN { printf "%.2f", b - a }')
        grep -q "already running" "$work/launcher-$tag.out" || break
        sleep 2
    done
    cp "$launcher_dir/CorvaneLauncher.log" "$work/launcher-$tag.log" 2>/dev/null || true
    launcher_log=$(stat -c %s "$work/launcher-$tag.log" 2>/dev/null || echo 0)
    [ "$status" -eq 0 ] && [ -f "$work/client-$tag.json" ] ||
        { echo "the launcher ($tag) failed with $status" >&2; exit 1; }
    launcher_rss=$(tail -n1 "$work/rss-$tag")
    [ "$launcher_rss" -le "$peak_rss" ] || peak_rss=$launcher_rss
    pid=$(sed -n 's/.*"pid": *\([0-9]*\).*/\1/p' "$work/client-$tag.json")
    while [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; do sleep 0.1; done
}

# Runs a command and sets measured_seconds, measured_requests and measured_bytes (requests and
# bytes on the wire from the server's access log).
measure() { # COMMAND...
    local before begin
    before=$(lib_log_lines)
    begin=$(date +%s.%N)
    "$@"
    measured_seconds=$(seconds_since "$begin")
    measured_requests=$(lib_requests "$before")
    measured_bytes=$(lib_bytes_sent "$before")
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
    echo "$files files of 20 KiB to $file_max_kib KiB, each changed in 3 to 5 places of 20 to 500 bytes, 1 in 200 replaced"
}
make_binary() {
    rm -rf "$game"
    mkdir -p "$game/bin"
    cp "$build/bin/corvane-democlient" "$game/bin/corvane"
    python3 bench/binset.py make "$game" --files "$files" --max-kib "$file_max_kib"
}
change_binary() {
    changed_bytes=$(python3 bench/binset.py change "$game" | sed -n 's/^changed bytes: //p')
}
describe_release() {
    echo "$LIB_RELEASE_UPDATE_PACKAGES, ${LIB_RELEASE_UPDATE_VERSIONS/ / to } (Debian); changed bytes: the files that differ"
}
make_release() {
    lib_make_release_version "$game" "$build/bench-debs" "$build/bin/corvane-democlient" 1
}
change_release() {
    lib_make_release_version "$game" "$build/bench-debs" "$build/bin/corvane-democlient" 2
    changed_bytes=$(lib_tree_changed_bytes "$set_dir/tree-v1" "$game")
}

# Bytes on the wire of the launcher that fetched every object with a request of its own, for one
# update, as a multiple of the set's changed bytes: recorded with BENCH_SIZE_MB=128
# BENCH_FILES=4000 BENCH_FILE_MAX_KIB=64 BENCH_LEVEL=3 (6,180,332 bytes for "binary", 8,987,788
# for "release", 6,186,507 for "game").
# Updates fetch deltas, whose level does not follow BENCH_LEVEL.
declare -A bytes_reference=([game]=1.002 [binary]=1.461 [release]=0.1317)
for entry in ${BENCH_BYTES_REFERENCE:-}; do
    bytes_reference[${entry%%=*}]=${entry#*=}
done

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
    settings() { # FAST_SCAN [PORT]
        SERVER_PORT=${2:-$SERVER_PORT} LIB_METADATA=$name/launchermetadata.json \
            lib_write_settings "$launcher_dir" "[OPTIONS]
fastScan=$1"
    }
    settings true

    lib_log "$name: launcher installing version 1"
    local before
    before=$(lib_log_lines)
    launch "$name-install" --first-launch
    local install_time=$launcher_seconds install_requests install_bytes
    install_requests=$(lib_requests "$before")
    install_bytes=$(lib_bytes_sent "$before")
    local installed=$launcher_dir/packages/corvane

    # A fresh install through the line, by the launcher and by curl | xz -d | tar -x of the
    # whole release (xz in blocks, so that it may decode on every core as the launcher does).
    local line_install_time="" line_install_requests="" line_install_bytes=""
    local archive_time="" archive_requests="" archive_bytes="" archive_line_time=""
    if [ -n "$LINK_PORT" ]; then
        lib_log "$name: xz of version 1"
        mkdir -p "$site/archive"
        xz -T0 -6 -c "$set_dir/tree-v1.tar" >"$site/archive/v1.tar.xz"
        cat "$site/archive/v1.tar.xz" >/dev/null
        fetch_archive() { # PORT
            rm -rf "$set_dir/archive-out"
            mkdir -p "$set_dir/archive-out"
            curl -sf "http://127.0.0.1:$1/$name/archive/v1.tar.xz" | xz -d -T0 |
                tar -x -C "$set_dir/archive-out"
        }
        lib_log "$name: curl | xz -d | tar -x"
        measure fetch_archive "$SERVER_PORT"
        archive_time=$measured_seconds
        lib_log "$name: curl | xz -d | tar -x through the line"
        measure fetch_archive "$LINK_PORT"
        archive_line_time=$measured_seconds
        archive_requests=$measured_requests
        archive_bytes=$measured_bytes
        diff -r -q "$set_dir/archive-out" "$set_dir/tree-v1" >/dev/null ||
            { echo "the unpacked archive differs" >&2; exit 1; }
        rm -rf "$set_dir/archive-out" "$site/archive"

        lib_log "$name: launcher installing version 1 through the line"
        local loopback_launcher=$launcher_dir
        launcher_dir=$set_dir/launcher-line
        mkdir -p "$launcher_dir"
        cp "$build/bin/CorvaneLauncher" "$launcher_dir/"
        settings true "$LINK_PORT"
        before=$(lib_log_lines)
        launch "$name-install-line" --first-launch
        line_install_time=$launcher_seconds
        line_install_requests=$(lib_requests "$before")
        line_install_bytes=$(lib_bytes_sent "$before")
        rm -rf "$launcher_dir"
        launcher_dir=$loopback_launcher
    fi

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
    # Every launcher update starts from the same installed version 1.
    cp -a "$installed" "$set_dir/installed-v1"
    restore_v1() {
        rm -rf "$installed"
        cp -a "$set_dir/installed-v1" "$installed"
        find "$installed" -type f -exec cat {} + >/dev/null
    }

    lib_log "$name: launcher --patch"
    measure launch "$name-update" --patch "$installed/bin/corvane"
    local launcher_time=$launcher_seconds launcher_peak=$launcher_rss launcher_log_bytes=$launcher_log
    local launcher_bytes=$measured_bytes launcher_requests=$measured_requests
    check_installed

    # The same update once more from version 1 with the fast scan off: every local file is then
    # read and cut into chunks, as zsync and casync read their whole seed.
    lib_log "$name: launcher --patch, fastScan=false"
    restore_v1
    settings false
    measure launch "$name-update-full" --patch "$installed/bin/corvane"
    local full_time=$launcher_seconds full_peak=$launcher_rss full_bytes=$measured_bytes
    check_installed

    run_zsync() { # PORT
        (cd "$set_dir" && zsync -q -i tree-v1.tar -o zsync-out.tar \
            "http://127.0.0.1:$1/$name/zsync/v2.tar.zsync" >/dev/null)
        cmp -s "$set_dir/zsync-out.tar" "$site/zsync/v2.tar" ||
            { echo "zsync result differs" >&2; exit 1; }
        rm -f "$set_dir/zsync-out.tar" "$set_dir/zsync-out.tar.zs-old"
    }
    lib_log "$name: zsync -i"
    measure run_zsync "$SERVER_PORT"
    local zsync_time=$measured_seconds zsync_bytes=$measured_bytes
    local zsync_requests=$measured_requests

    # The index comes over HTTP too, as the launcher's documents do.
    run_casync() { # PORT
        casync extract --store="http://127.0.0.1:$1/$name/casync/v2.castr" \
            --seed="$set_dir/tree-v1" "http://127.0.0.1:$1/$name/casync/v2.caidx" \
            "$set_dir/casync-out" >/dev/null 2>&1
        diff -r -q "$set_dir/casync-out" "$set_dir/tree-v2" >/dev/null ||
            { echo "casync result differs" >&2; exit 1; }
        rm -rf "$set_dir/casync-out"
    }
    lib_log "$name: casync extract --seed (HTTP)"
    measure run_casync "$SERVER_PORT"
    local casync_time=$measured_seconds casync_bytes=$measured_bytes
    local casync_requests=$measured_requests

    lib_log "$name: casync extract --seed (local store)"
    local begin
    begin=$(date +%s.%N)
    casync extract --store="$site/casync/v2.castr" --seed="$set_dir/tree-v1" \
        "$site/casync/v2.caidx" "$set_dir/casync-out" >/dev/null 2>&1
    local casync_local_time
    casync_local_time=$(seconds_since "$begin")
    rm -rf "$set_dir/casync-out"

    # The same updates through the line.
    local line_time="" line_bytes="" line_requests="" line_zsync_time="" line_zsync_bytes=""
    local line_zsync_requests="" line_casync_time="" line_casync_bytes="" line_casync_requests=""
    if [ -n "$LINK_PORT" ]; then
        lib_log "$name: launcher --patch through the line"
        restore_v1
        settings true "$LINK_PORT"
        measure launch "$name-update-line" --patch "$installed/bin/corvane"
        line_time=$launcher_seconds line_bytes=$measured_bytes line_requests=$measured_requests
        check_installed
        lib_log "$name: zsync -i through the line"
        measure run_zsync "$LINK_PORT"
        line_zsync_time=$measured_seconds line_zsync_bytes=$measured_bytes
        line_zsync_requests=$measured_requests
        lib_log "$name: casync extract --seed (HTTP) through the line"
        measure run_casync "$LINK_PORT"
        line_casync_time=$measured_seconds line_casync_bytes=$measured_bytes
        line_casync_requests=$measured_requests
    fi

    local total count changed_files
    total=$(du -sb --apparent-size "$set_dir/tree-v2" | cut -f1)
    count=$(find "$set_dir/tree-v2" -type f | wc -l)
    changed_files=$( (cd "$set_dir/tree-v2" &&
        find . -type f -exec cmp -s {} "$set_dir/tree-v1/{}" \; -o -type f -print) | wc -l)
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
    if [ -n "$LINK_PORT" ]; then
        row "$label, line: time vs zsync -i" "$line_time s" "$line_zsync_time s" \
            "$(ratio "$line_zsync_time" "$line_time")"
        row "install $name, line: time vs curl | xz -d | tar -x" "$line_install_time s" \
            "$archive_line_time s" "$(ratio "$archive_line_time" "$line_install_time")"
    fi

    local table
    cells() { printf '  %-38s %9s %14s %10s %10s %12s\n' "$@"; }
    table=$(
        echo "\"$name\": $(describe_$name)"
        echo "  $(lib_mib "$total") in $count files, $changed_files changed or new; changed bytes (new content): $(lib_mib "$changed_bytes") ($changed_bytes); new chunks: $(lib_mib "$changed_packed") packed"
        cells "on loopback" requests "on the wire" "x changed" "wall time" "peak RSS"
        cells "fresh install: launcher" "$install_requests" \
            "$(lib_mib "$install_bytes")" "-" "$install_time s" "-"
        [ -z "$archive_time" ] ||
            cells "fresh install: curl | xz -d | tar -x" 1 \
                "$(lib_mib "$archive_bytes")" "-" "$archive_time s" "-"
        cells "update: launcher --patch" "$launcher_requests" \
            "$(lib_mib "$launcher_bytes")" "$(ratio "$launcher_bytes" "$changed_bytes")" \
            "$launcher_time s" "$(lib_mib $((launcher_peak * 1024)))"
        cells "update: launcher, fastScan off" "-" "$(lib_mib "$full_bytes")" \
            "$(ratio "$full_bytes" "$changed_bytes")" "$full_time s" \
            "$(lib_mib $((full_peak * 1024)))"
        cells "update: zsync -i" "$zsync_requests" "$(lib_mib "$zsync_bytes")" \
            "$(ratio "$zsync_bytes" "$changed_bytes")" "$zsync_time s" "-"
        cells "update: casync extract --seed (HTTP)" "$casync_requests" \
            "$(lib_mib "$casync_bytes")" "$(ratio "$casync_bytes" "$changed_bytes")" \
            "$casync_time s" "-"
        cells "update: casync (local store)" "-" "-" "-" "$casync_local_time s" "-"
        if [ -n "$LINK_PORT" ]; then
            cells "through $link_rtt ms, $link_rate Mbit/s" requests "on the wire" \
                "x changed" "wall time" ""
            cells "fresh install: launcher" "$line_install_requests" \
                "$(lib_mib "$line_install_bytes")" "-" "$line_install_time s" ""
            cells "fresh install: curl | xz -d | tar -x" "$archive_requests" \
                "$(lib_mib "$archive_bytes")" "-" "$archive_line_time s" ""
            cells "update: launcher --patch" "$line_requests" \
                "$(lib_mib "$line_bytes")" "$(ratio "$line_bytes" "$changed_bytes")" \
                "$line_time s" ""
            cells "update: zsync -i" "$line_zsync_requests" \
                "$(lib_mib "$line_zsync_bytes")" "$(ratio "$line_zsync_bytes" "$changed_bytes")" \
                "$line_zsync_time s" ""
            cells "update: casync extract --seed (HTTP)" "$line_casync_requests" \
                "$(lib_mib "$line_casync_bytes")" \
                "$(ratio "$line_casync_bytes" "$changed_bytes")" "$line_casync_time s" ""
        fi
        echo "  log of the update: $launcher_log_bytes bytes ($(wc -l <"$work/launcher-$name-update.log") lines)"
    )
    tables+=("$table")

    local smaller=$((zsync_bytes < casync_bytes ? zsync_bytes : casync_bytes))
    case "$name" in
        binary)
            target "$label: bytes vs smaller of zsync and casync" "$(lib_mib "$launcher_bytes")" \
                "at most $(lib_mib $((smaller / 2)))" "$(holds "$launcher_bytes <= 0.5 * $smaller")"
            target "$label: requests ($changed_files files changed)" "$launcher_requests" \
                "at most 300" "$(holds "$launcher_requests <= 300")"
            target "$label: log ($changed_files files changed)" "$launcher_log_bytes B" \
                "at most 1000000 B" "$(holds "$launcher_log_bytes <= 1000000")"
            ;;
        game)
            target "$label: bytes vs changed bytes" \
                "$(ratio "$launcher_bytes" "$changed_bytes") x" "at most 1.10 x" \
                "$(holds "$launcher_bytes <= 1.1 * $changed_bytes")"
            ;;
    esac
    target "$label: wall time vs zsync -i" "$launcher_time s" "at most $zsync_time s" \
        "$(holds "$launcher_time <= $zsync_time")"
    target "$label, fastScan off: wall time vs zsync -i" "$full_time s" "at most $zsync_time s" \
        "$(holds "$full_time <= $zsync_time")"
    if [ -n "$LINK_PORT" ]; then
        local reference=${bytes_reference[$name]:-}
        target "$label, line: wall time vs zsync -i" "$line_time s" \
            "at most 0.5 x $line_zsync_time s" "$(holds "$line_time <= 0.5 * $line_zsync_time")"
        if [ -n "$reference" ]; then
            local reference_bytes
            reference_bytes=$(awk -v r="$reference" -v c="$changed_bytes" 'BEGIN { printf "%d", r * c }')
            target "$label, line: bytes vs today's launcher" "$(lib_mib "$line_bytes")" \
                "at most 1.05 x $(lib_mib "$reference_bytes")" \
                "$(holds "$line_bytes <= 1.05 * $reference_bytes")"
        fi
        target "install $name, line: wall time vs curl | xz -d | tar -x" "$line_install_time s" \
            "at most 1.1 x $archive_line_time s" \
            "$(holds "$line_install_time <= 1.1 * $archive_line_time")"
    fi

    rm -rf "$set_dir/tree-v1" "$set_dir/tree-v2" "$set_dir/tree-v1.tar" "$site/zsync" \
        "$site/casync" "$launcher_dir/packages" "$set_dir/installed-v1"
}

for name in $sets; do
    update_set "$name"
done

# --- fresh install, zstd against LZMA ------------------------------------------------------------
# Publishes SET with CODEC at the publisher's default level into a site of its own and installs it
# from scratch with the real launcher. Sets publish_seconds, packed_bytes, install_seconds,
# client_start_seconds, wire_bytes, installed_bytes and install_rss (KiB).
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
    client_start_seconds=$client_seconds
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
        figure[$codec-client]=$client_start_seconds
        figure[$codec-wire]=$wire_bytes
        figure[$codec-rss]=$install_rss
        figure[$codec-rate]=$(awk -v b="$installed_bytes" -v s="$client_start_seconds" \
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
    codec_row "install: until the client runs" "${figure[zstd-client]} s" "${figure[lzma-client]} s" \
        "$(ratio "${figure[zstd-client]}" "${figure[lzma-client]}")"
    codec_row "install: rate (unpacked, to client)" "${figure[zstd-rate]} MB/s" "${figure[lzma-rate]} MB/s" \
        "$(ratio "${figure[zstd-rate]}" "${figure[lzma-rate]}")"
    codec_row "install: peak RSS" "$(lib_mib $((figure[zstd-rss] * 1024)))" \
        "$(lib_mib $((figure[lzma-rss] * 1024)))" \
        "$(ratio "${figure[zstd-rss]}" "${figure[lzma-rss]}")"
    codec_rows+=("")
    target "codecs \"$name\": install until the client runs, zstd vs LZMA" \
        "$(ratio "${figure[zstd-client]}" "${figure[lzma-client]}") x" "at most 0.50 x" \
        "$(holds "${figure[zstd-client]} <= 0.5 * ${figure[lzma-client]}")"
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
updates: zstd at level ${level:-default}${BENCH_PUBLISH_OPTIONS:+, publisher options $BENCH_PUBLISH_OPTIONS}, $SERVER_KIND on loopback (requests and bytes on the wire from its access log), warm page cache
line: ${link_rtt:+$link_rtt ms round trip, $link_rate Mbit/s each way, shared by all connections (bench_linkemu)}
codecs: each at the publisher's default level ($(cat "$work"/publish-codec-*.txt 2>/dev/null | sed -n 's/^Compression: //p' | sort -u | paste -sd, -)), fresh installs by the launcher, warm page cache; ratio: zstd / LZMA
ratio: baseline / launcher (above 1: the launcher is faster or downloads less); scan: launcher / sha256sum

$(printf '%-60s %12s %12s %7s' benchmark launcher baseline ratio)
$(printf '%s\n' "${rows[@]}")

$(printf '%s\n\n' "${tables[@]}")

$(printf '%s\n' "${codec_rows[@]}")

$(printf '%-60s %24s %24s  %s' target measured limit verdict)
$(printf '%s\n' "${targets[@]}")
TABLE
