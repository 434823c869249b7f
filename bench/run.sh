#!/usr/bin/env bash
# Runs every benchmark and prints one table of ratios against baselines measured in the same run:
#   - bench_scan: chunking and hashing local files against sha256sum;
#   - bench_install: a fresh install and an update against curl + xz + sha256sum;
#   - the update of a generated game (SIZE MiB, about 5 % changed) by the real launcher
#     (`CorvaneLauncher --patch`) against `zsync -i` and `casync extract --seed`, all three
#     fetching from the same loopback nginx.
#
#     bench/run.sh                    # full size: 1024 MiB
#     BENCH_SIZE_MB=128 bench/run.sh  # a quick try
#
# Environment: BENCH_SIZE_MB (default 1024), BENCH_LEVEL (LZMA preset of the publisher, default 6,
# as a studio would publish), BENCH_WORK (work directory, default bench-work/ under the build
# directory). Every file of a run stays below the work directory; every process started is stopped.
# Not part of CI: it takes minutes and measures the machine.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
source bench/lib.sh

size=${BENCH_SIZE_MB:-1024}
level=${BENCH_LEVEL:-6}
build=$repo/build
work=${BENCH_WORK:-$build/bench-work}

trap 'lib_stop_all' EXIT
trap 'exit 130' INT TERM

seconds_since() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "-" }'; }

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
rows=()
row() { rows+=("$(printf '%-56s %12s %12s %7s' "$@")"); }

# --- chunking and hashing ----------------------------------------------------------------------
lib_log "bench_scan --size $size"
"$build/bin/bench_scan" --size "$size" | tee "$work/scan.txt"
reference=$(awk '/^sha256sum \(one process\)/ { print $(NF-1) }' "$work/scan.txt")
while IFS= read -r line; do
    name=$(echo "$line" | sed 's/ *[0-9.]* MB\/s.*//')
    speed=$(echo "$line" | awk '{ for (i = 1; i < NF; i++) if ($(i+1) == "MB/s") print $i }')
    row "scan: $name" "$speed MB/s" "$reference MB/s" "$(ratio "$speed" "$reference")"
done < <(grep 'x sha256sum' "$work/scan.txt")

# --- install and update of chunks against curl + xz ---------------------------------------------
install_size=$((size < 512 ? size : 512))
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

# --- update of a game against zsync and casync --------------------------------------------------
game=$work/game
assets=$work/assets
site=$work/site
store=$site/client/linux64
lib_log "generating a game of $size MiB"
lib_make_game "$game" "$assets" "$size" "$build/bin/corvane-democlient"
publish() { # VERSION
    "$build/bin/corvane-publish" package --source "$game" --out "$store" --version "$1" \
        --executable bin/corvane --parameter=--exit-after-ms=500 --generation second \
        --variant regular --assets "$assets" --assets-version "$1" --level "$level" \
        2>/dev/null | tee "$work/publish-$1.txt"
}
# The tree a player ends up with: the package and the assets in one directory.
tree() { # NAME
    rm -rf "$work/$1"
    mkdir -p "$work/$1"
    cp -a "$game/." "$assets/." "$work/$1/"
}
tarball() { # NAME
    tar -C "$work/$1" --sort=name --mtime=@0 --owner=0 --group=0 --numeric-owner -cf "$work/$1.tar" .
}

lib_log "publishing version 1 (LZMA preset $level)"
publish 1
tree tree-v1
tarball tree-v1
"$build/bin/corvane-publish" metadata --description /dev/stdin --out "$site/launchermetadata.json" \
    >/dev/null <<JSON
{"packages": [{"name": "Corvane Online", "directory": "corvane", "installAutomatically": true,
  "builds": [{"os": "linux", "architecture": "x86_64", "package": "client/linux64/package.json",
              "assets": "client/linux64/assets.json"}]}]}
JSON

lib_start_server "$site" "$work/server"
lib_log "serving on 127.0.0.1:$SERVER_PORT ($SERVER_KIND)"
launcher_dir=$work/launcher
mkdir -p "$launcher_dir" "$work/home"
install -d -m 700 "$work/runtime"
cp "$build/bin/CorvaneLauncher" "$launcher_dir/"
settings() { # FAST_SCAN
    lib_write_settings "$launcher_dir" "[OPTIONS]
fastScan=$1"
}
settings true

# Runs the launcher without a display; waits for the client it starts. Sets launcher_seconds.
launch() { # TAG OPTIONS...
    local tag=$1 begin status attempt pid
    shift
    for attempt in 1 2 3 4 5 6; do
        rm -f "$work/client-$tag.json"
        begin=$(date +%s.%N)
        status=0
        (cd "$launcher_dir" && HOME=$work/home XDG_RUNTIME_DIR=$work/runtime \
            QT_QPA_PLATFORM=offscreen CORVANE_DEMOCLIENT_RECORD="$work/client-$tag.json" \
            timeout --kill-after=5 600 ./CorvaneLauncher "$@") >"$work/launcher-$tag.out" 2>&1 ||
            status=$?
        launcher_seconds=$(seconds_since "$begin")
        # Another launcher of this machine holds the single-instance guard: try again later.
        grep -q "already running" "$work/launcher-$tag.out" || break
        sleep 5
    done
    cp "$launcher_dir/CorvaneLauncher.log" "$work/launcher-$tag.log" 2>/dev/null || true
    [ "$status" -eq 0 ] && [ -f "$work/client-$tag.json" ] ||
        { echo "the launcher ($tag) failed with $status" >&2; exit 1; }
    pid=$(sed -n 's/.*"pid": *\([0-9]*\).*/\1/p' "$work/client-$tag.json")
    while [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; do sleep 0.1; done
}

lib_log "launcher: installing version 1"
launch install --first-launch
installed=$launcher_dir/packages/corvane

lib_log "version 2: about 5 % changed"
find "$store" -type f -path '*/chunks/*' | sort >"$work/chunks-1"
lib_change_game "$game" "$assets" "$size"
publish 2
find "$store" -type f -path '*/chunks/*' | sort >"$work/chunks-2"
changed_packed=$(comm -13 "$work/chunks-1" "$work/chunks-2" | xargs -r stat -c %s |
    awk '{ s += $1 } END { printf "%d\n", s }')
tree tree-v2
tarball tree-v2

lib_log "zsyncmake"
mkdir -p "$site/zsync"
mv "$work/tree-v2.tar" "$site/zsync/v2.tar"
(cd "$site/zsync" && zsyncmake -u v2.tar -o v2.tar.zsync v2.tar >/dev/null 2>&1)
lib_log "casync make"
mkdir -p "$site/casync"
casync make --store="$site/casync/v2.castr" "$site/casync/v2.caidx" "$work/tree-v2" >/dev/null

# Warm start for everybody: the seeds and the served files come from the page cache.
cat "$work/tree-v1.tar" "$site/zsync/v2.tar" >/dev/null
find "$installed" "$work/tree-v1" "$site/casync" -type f -exec cat {} + >/dev/null

check_installed() {
    (cd "$work/tree-v2" && find . -type f -exec cmp -s {} "$installed/{}" \; -o -type f -print) \
        >"$work/mismatch"
    [ ! -s "$work/mismatch" ] || { echo "launcher update differs: $(head -3 "$work/mismatch")" >&2; exit 1; }
}
# The same update once more from version 1 with the fast scan off: every local file is then read
# and cut into chunks, as zsync and casync read their whole seed.
cp -a "$installed" "$work/installed-v1"

lib_log "launcher --patch"
before=$(lib_log_lines)
launch update --patch "$installed/bin/corvane"
launcher_time=$launcher_seconds
launcher_bytes=$(lib_bytes_sent "$before")
check_installed

lib_log "launcher --patch, fastScan=false"
rm -rf "$installed"
mv "$work/installed-v1" "$installed"
cat "$installed"/*/* >/dev/null 2>&1 || true
settings false
before=$(lib_log_lines)
launch update-full --patch "$installed/bin/corvane"
full_time=$launcher_seconds
full_bytes=$(lib_bytes_sent "$before")
check_installed

lib_log "zsync -i"
before=$(lib_log_lines)
begin=$(date +%s.%N)
(cd "$work" && zsync -q -i tree-v1.tar -o zsync-out.tar \
    "http://127.0.0.1:$SERVER_PORT/zsync/v2.tar.zsync" >/dev/null)
zsync_time=$(seconds_since "$begin")
zsync_bytes=$(lib_bytes_sent "$before")
cmp -s "$work/zsync-out.tar" "$site/zsync/v2.tar" || { echo "zsync result differs" >&2; exit 1; }
rm -f "$work/zsync-out.tar" "$work/zsync-out.tar.zs-old"

lib_log "casync extract --seed (HTTP)"
before=$(lib_log_lines)
begin=$(date +%s.%N)
casync extract --store="http://127.0.0.1:$SERVER_PORT/casync/v2.castr" --seed="$work/tree-v1" \
    "$site/casync/v2.caidx" "$work/casync-out" >/dev/null 2>&1
casync_time=$(seconds_since "$begin")
casync_bytes=$(lib_bytes_sent "$before")
diff -r -q "$work/casync-out" "$work/tree-v2" >/dev/null || { echo "casync result differs" >&2; exit 1; }
rm -rf "$work/casync-out"

lib_log "casync extract --seed (local store)"
begin=$(date +%s.%N)
casync extract --store="$site/casync/v2.castr" --seed="$work/tree-v1" \
    "$site/casync/v2.caidx" "$work/casync-out" >/dev/null 2>&1
casync_local_time=$(seconds_since "$begin")
rm -rf "$work/casync-out"

total=$(du -sb --apparent-size "$work/tree-v2" | cut -f1)
label="update $size MiB"
row "$label: time vs zsync -i" "$launcher_time s" "$zsync_time s" "$(ratio "$zsync_time" "$launcher_time")"
row "$label: time vs casync extract --seed (HTTP)" "$launcher_time s" "$casync_time s" \
    "$(ratio "$casync_time" "$launcher_time")"
row "$label: time vs casync (local store)" "$launcher_time s" "$casync_local_time s" \
    "$(ratio "$casync_local_time" "$launcher_time")"
row "$label, fastScan off: time vs zsync -i" "$full_time s" "$zsync_time s" \
    "$(ratio "$zsync_time" "$full_time")"
row "$label, fastScan off: time vs casync (HTTP)" "$full_time s" "$casync_time s" \
    "$(ratio "$casync_time" "$full_time")"
[ "$full_bytes" = "$launcher_bytes" ] || row "$label, fastScan off: bytes vs zsync -i" \
    "$(lib_mib "$full_bytes")" "$(lib_mib "$zsync_bytes")" "$(ratio "$zsync_bytes" "$full_bytes")"
row "$label: bytes vs zsync -i" "$(lib_mib "$launcher_bytes")" "$(lib_mib "$zsync_bytes")" \
    "$(ratio "$zsync_bytes" "$launcher_bytes")"
row "$label: bytes vs casync (HTTP)" "$(lib_mib "$launcher_bytes")" "$(lib_mib "$casync_bytes")" \
    "$(ratio "$casync_bytes" "$launcher_bytes")"
row "$label: bytes vs its changed chunks" "$(lib_mib "$launcher_bytes")" \
    "$(lib_mib "$changed_packed")" "$(ratio "$changed_packed" "$launcher_bytes")"

rm -rf "$work/tree-v1" "$work/tree-v2" "$work/tree-v1.tar" "$site/zsync"

cat <<TABLE

Corvane launcher benchmarks, $(date -u '+%Y-%m-%d %H:%M UTC')
machine: $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo), $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo), $(. /etc/os-release && echo "$PRETTY_NAME")
update data: $(lib_mib "$total") in $(find "$game" "$assets" -type f | wc -l) files, $(lib_mib "$(lib_changed_bytes "$size")") of new content (lib_change_game), LZMA preset $level, $SERVER_KIND on loopback, warm page cache
ratio: baseline / launcher (above 1: the launcher is faster or downloads less); scan: launcher / sha256sum

$(printf '%-56s %12s %12s %7s' benchmark launcher baseline ratio)
$(printf '%s\n' "${rows[@]}")
TABLE
