#!/usr/bin/env bash
# The launcher end to end on one machine: installs what is missing, builds (the launcher with a demo
# signing key), generates a demo game, publishes version 1 signed with that key, serves it on
# loopback, lets the launcher install it on a virtual display
# (screenshots into demo-output/), publishes version 2 with about 5 % changed, lets the launcher
# update it, and prints what was installed and downloaded. Run as root on Debian 12:
#
#     ./scripts/demo.sh
#
# Environment: DEMO_SIZE_MB (game size, default 384), DEMO_LEVEL (zstd level for publishing,
# default: the publisher's default), DEMO_SERVER
# (nginx or python3; default nginx when installed), DEMO_TIMEOUT (seconds per launcher run, 300).
# Work files go to demo-work/, screenshots and logs to demo-output/. Everything started here is
# stopped on exit.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
# shellcheck source=../bench/lib.sh
source bench/lib.sh

size=${DEMO_SIZE_MB:-384}
level=${DEMO_LEVEL:-}
work=$repo/demo-work
output=$repo/demo-output
build=$repo/build

shooter=""
client_pids=()
cleanup() {
    local status=$?
    [ -z "$shooter" ] || kill "$shooter" 2>/dev/null || true
    [ -z "$shooter" ] || wait "$shooter" 2>/dev/null || true
    lib_stop_all "${launcher_pid:-}" "${client_pids[@]}"
    [ $status -eq 0 ] || echo "demo failed (exit $status); logs in demo-output/" >&2
}
trap cleanup EXIT
trap 'exit 130' INT TERM

started=$(date +%s)
elapsed() { echo $(($(date +%s) - started)); }

lib_log "installing missing packages"
./scripts/install-deps.sh

lib_log "building"
if [ ! -f "$build/build.ninja" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target CorvaneLauncher corvane-democlient corvane-publish \
    >"$build/demo-build.log" 2>&1 || { tail -n 40 "$build/demo-build.log" >&2; exit 1; }
# The launcher a player gets trusts only the studio's key: a build of its own with the demo key,
# which stays in the build directory, off the served site.
demo_build=$repo/build-demo
key=$demo_build/demo-signing.key
mkdir -p "$demo_build"
if [ ! -s "$key" ] || [ ! -s "$demo_build/trusted-keys.txt" ]; then
    lib_log "generating the demo signing key"
    rm -f "$key"
    "$build/bin/corvane-publish" keygen --out "$key" >"$demo_build/trusted-keys.txt"
fi
if [ ! -f "$demo_build/build.ninja" ]; then
    cmake -S . -B "$demo_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_BUILD_TESTS=OFF \
        -DCORVANE_TRUSTED_KEYS="$demo_build/trusted-keys.txt" >/dev/null
fi
cmake --build "$demo_build" -j "$(nproc)" --target CorvaneLauncher >>"$build/demo-build.log" 2>&1 ||
    { tail -n 40 "$build/demo-build.log" >&2; exit 1; }
signing=(--signing-key "$key")
build_seconds=$(elapsed)

rm -rf "$work" "$output"
mkdir -p "$work" "$output"
game=$work/game
assets=$work/assets
site=$work/site
store=$site/client/linux64

lib_log "generating a demo game of $size MiB"
lib_make_game "$game" "$assets" "$size" "$build/bin/corvane-democlient"
game_bytes=$(du -sb --apparent-size "$game" "$assets" | awk '{ s += $1 } END { print s }')

publish() { # VERSION ASSETS_VERSION
    "$build/bin/corvane-publish" package --source "$game" --out "$store" --version "$1" \
        --executable bin/corvane --parameter=--exit-after-ms=2000 --generation second \
        --variant regular --assets "$assets" --assets-version "$2" ${level:+--level "$level"} \
        --package-name "Corvane Online" "${signing[@]}" \
        2>&1 | tee "$output/publish-$1.txt"
}

lib_log "publishing version 1.0.0 (zstd, level ${level:-default})"
publish_started=$(date +%s)
publish 1.0.0 1
publish1_seconds=$(($(date +%s) - publish_started))
cat >"$work/description.json" <<JSON
{
  "packages": [
    {"name": "Corvane Online", "directory": "corvane", "installAutomatically": true,
     "builds": [{"os": "linux", "architecture": "x86_64",
                 "package": "client/linux64/package.json",
                 "assets": "client/linux64/assets.json"}]}
  ],
  "showPackageNames": true
}
JSON
# Signed metadata pins the package documents: it is written again after every publication.
write_metadata() {
    "$build/bin/corvane-publish" metadata --description "$work/description.json" \
        --out "$site/launchermetadata.json" "${signing[@]}" --valid-days 7 >/dev/null
}
write_metadata

LIB_SERVER=${DEMO_SERVER:-} lib_start_server "$site" "$work/server"
lib_log "serving $site on http://127.0.0.1:$SERVER_PORT/ ($SERVER_KIND)"

launcher_dir=$work/launcher
mkdir -p "$launcher_dir" "$work/home"
install -d -m 700 "$work/runtime"
cp "$demo_build/bin/CorvaneLauncher" "$launcher_dir/"
[ ! -f "$build/bin/launcher.en.qm" ] || cp "$build/bin/launcher.en.qm" "$launcher_dir/"
lib_write_settings "$launcher_dir"

lib_start_xvfb "$work"
lib_log "virtual display :$DISPLAY_NUMBER"

# Runs the launcher with the given options on the virtual display, taking screenshots named
# after TAG while it runs; sets run_status and run_seconds. With TAG "play" it presses the start
# button of the tile once the window shows, as a player would.
run_launcher() { # TAG OPTIONS...
    local attempt
    for attempt in 1 2 3 4 5 6; do
        run_launcher_once "$@"
        # Another launcher of this machine (a test, say) holds the single-instance guard: the new
        # one says so and ends at once. Wait for the other to end.
        grep -q "already running" "$output/launcher-$1.out" || return 0
        lib_log "another launcher is running; trying again"
        { date; ipcs -mp; } >>"$output/single-instance.txt" 2>&1 || true
        sleep 5
    done
}

run_launcher_once() { # TAG OPTIONS...
    local tag=$1 begin end
    shift
    rm -f "$launcher_dir/CorvaneLauncher.log" "$work/client-$tag.json" "$output/$tag"-*.png
    begin=$(date +%s.%N)
    # Per-user state (QSettings) goes to a home of its own below the work directory.
    (cd "$launcher_dir" &&
        HOME=$work/home XDG_RUNTIME_DIR=$work/runtime DISPLAY=:$DISPLAY_NUMBER QT_QPA_PLATFORM=xcb \
            CORVANE_DEMOCLIENT_RECORD="$work/client-$tag.json" \
            exec timeout --kill-after=5 "${DEMO_TIMEOUT:-300}" ./CorvaneLauncher "$@") \
        >"$output/launcher-$tag.out" 2>&1 &
    launcher_pid=$!
    (
        n=0 clicked=""
        while kill -0 "$launcher_pid" 2>/dev/null; do
            n=$((n + 1))
            shot=$output/$tag-$(printf %03d $n).png
            import -display ":$DISPLAY_NUMBER" -window root "$shot" 2>/dev/null || true
            if [ "$tag" = play ] && [ -z "$clicked" ] && [ $n -ge 3 ]; then
                # The tile's button sits in the middle of the window, a little above the centre.
                window=$(DISPLAY=:$DISPLAY_NUMBER xdotool search --onlyvisible --class Corvane \
                    2>/dev/null | head -n1 || true)
                if [ -n "$window" ]; then
                    eval "$(DISPLAY=:$DISPLAY_NUMBER xdotool getwindowgeometry --shell "$window")"
                    DISPLAY=:$DISPLAY_NUMBER xdotool mousemove $((X + WIDTH / 2)) \
                        $((Y + HEIGHT * 47 / 100)) click 1
                    clicked=1
                fi
            fi
            sleep 0.3
        done
    ) &
    shooter=$!
    run_status=0
    wait "$launcher_pid" || run_status=$?
    end=$(date +%s.%N)
    launcher_pid=""
    wait "$shooter" 2>/dev/null || true
    shooter=""
    run_seconds=$(awk -v a="$begin" -v b="$end" 'BEGIN { printf "%.1f", b - a }')
    cp "$launcher_dir/CorvaneLauncher.log" "$output/launcher-$tag.log" 2>/dev/null || true
    # Shots taken before the window was mapped are plain black.
    find "$output" -name "$tag-*.png" -size -2k -delete
    # The client was started detached; wait for it so that its running marker is gone before the
    # next launcher looks for it.
    local record=$work/client-$tag.json pid
    if [ -f "$record" ]; then
        pid=$(sed -n 's/.*"pid": *\([0-9]*\).*/\1/p' "$record")
        if [ -n "$pid" ]; then
            client_pids+=("$pid")
            while kill -0 "$pid" 2>/dev/null; do sleep 0.2; done
        fi
    fi
}

lib_log "first launch: installing version 1.0.0"
before=$(lib_log_lines)
run_launcher install --first-launch
install_status=$run_status
install_seconds=$run_seconds
install_downloaded=$(lib_bytes_sent "$before")
install_requests=$(lib_requests "$before")
[ "$install_status" -eq 0 ] || { echo "the first launch ended with $install_status" >&2; exit 1; }
[ -f "$work/client-install.json" ] || { echo "the client was not started" >&2; exit 1; }
installed_executable=$launcher_dir/packages/corvane/bin/corvane
cmp -s "$installed_executable" "$game/bin/corvane" || { echo "client not installed" >&2; exit 1; }
installed_bytes=$(du -sb --apparent-size "$launcher_dir/packages/corvane" | cut -f1)
installed_files=$(find "$launcher_dir/packages/corvane" -type f | wc -l)

lib_log "publishing version 1.0.1 with about 5 % changed"
find "$store" -type f -path '*/chunks/*' | sort >"$work/chunks-1"
lib_change_game "$game" "$assets" "$size"
publish_started=$(date +%s)
publish 1.0.1 2
publish2_seconds=$(($(date +%s) - publish_started))
write_metadata
find "$store" -type f -path '*/chunks/*' | sort >"$work/chunks-2"
# New chunk files are named by the SHA-256 of their content; other new files of the store (deltas
# against earlier chunks, say) are not chunks.
comm -13 "$work/chunks-1" "$work/chunks-2" | grep -E '/[0-9a-f]{64}$' >"$work/chunks-new" || true
changed_chunks=$(wc -l <"$work/chunks-new")
changed_packed=$(xargs -r stat -c %s <"$work/chunks-new" | awk '{ s += $1 } END { printf "%d\n", s }')
changed_unpacked=$(sed -n 's/^New bytes: .*(\(.*\) unpacked).*/\1/p' "$output/publish-1.0.1.txt")
changed_bytes=$(lib_changed_bytes "$size")

lib_log "update: launcher --patch $installed_executable"
before=$(lib_log_lines)
run_launcher update --patch "$installed_executable"
update_status=$run_status
update_seconds=$run_seconds
# Everything the update fetched, as the server sent it: documents (gzipped), chunks and deltas.
update_downloaded=$(lib_bytes_sent "$before")
update_requests=$(lib_requests "$before")
update_documents=$(lib_bytes_sent "$before" .json)
[ "$update_status" -eq 0 ] || { echo "the update ended with $update_status" >&2; exit 1; }
mismatch=$(cd "$game" && find . -type f -exec cmp -s {} "$launcher_dir/packages/corvane/{}" \; \
    -o -type f -print | head -n 5)
[ -z "$mismatch" ] || { echo "installed files differ from version 1.0.1: $mismatch" >&2; exit 1; }

lib_log "showing the window (--show-ui) and pressing Play"
run_launcher play --show-ui
play_status=$run_status
play_seconds=$run_seconds
[ "$play_status" -eq 0 ] || { echo "the Play run ended with $play_status" >&2; exit 1; }
[ -f "$work/client-play.json" ] || { echo "Play did not start the client" >&2; exit 1; }

ratio=$(awk -v d="$update_downloaded" -v c="$changed_bytes" 'BEGIN { printf "%.2f", c ? d / c : 0 }')
chunk_ratio=$(awk -v d="$update_downloaded" -v c="$changed_packed" 'BEGIN { printf "%.2f", c ? d / c : 0 }')
shots=$(find "$output" -name '*.png' | wc -l)
install_rate=$(awk -v b="$installed_bytes" -v s="$install_seconds" 'BEGIN { printf "%.0f", (s > 0 ? b / s / 1e6 : 0) }')
compression=$(sed -n 's/^Compression: //p' "$output/publish-1.0.0.txt")

cat <<SUMMARY

Corvane launcher demo summary
  game                  $(lib_mib "$game_bytes") in $(find "$game" "$assets" -type f | wc -l) files (package + assets), $compression
  build                 ${build_seconds} s (includes installing packages)
  publish 1.0.0         ${publish1_seconds} s; 1.0.1: ${publish2_seconds} s
  server                $SERVER_KIND on 127.0.0.1:$SERVER_PORT
  first launch          exit code $install_status, ${install_seconds} s, installed $(lib_mib "$installed_bytes") in $installed_files files, downloaded $(lib_mib "$install_downloaded") in $install_requests requests
    install rate        ${install_rate} MB/s of installed bytes over the whole run
  update (--patch)      exit code $update_status, ${update_seconds} s
    changed bytes       $(lib_mib "$changed_bytes") of new content
    changed chunks      $changed_chunks chunks, $(lib_mib "$changed_packed") packed ($changed_unpacked unpacked)
    downloaded          $(lib_mib "$update_downloaded") on the wire in $update_requests requests ($(awk -v b="$update_documents" 'BEGIN { printf "%.1f KiB", b / 1024 }') of documents)
    ratio               ${ratio} times the changed bytes; ${chunk_ratio} times the changed chunks (limit 1.5)
  play (--show-ui)      exit code $play_status, ${play_seconds} s, client started by the Play button
  screenshots           $shots in demo-output/
  total time            $(elapsed) s
SUMMARY
awk -v r="$chunk_ratio" 'BEGIN { exit !(r <= 1.5) }' || { echo "the update downloaded too much" >&2; exit 1; }
