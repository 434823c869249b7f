# shellcheck shell=bash disable=SC2154
# The main job under Wine, sourced by scripts/windows.sh (which sets repo, build, bundle, prefix,
# wine, wineserver, dll_closure and note): a game with the Windows demo client as its program,
# published by the Linux publisher as signed 1.0.0 and then 1.0.1 with deltas, served by nginx on
# 127.0.0.1; the Windows launcher of the bundle installs it (--first-launch), updates it through
# the deltas (--patch) and starts it from the Play button of its window (--show-ui), each run on a
# virtual display with screenshots. The installed tree is compared byte for byte with 1.0.1.

# One launcher run under Wine on the virtual display; sets run_status. Screenshots go to
# $output/TAG-NNN.png; with TAG "play" the Play button is pressed once the window shows.
windows_run_launcher() { # TAG OPTIONS...
    local tag=$1 n=0 clicked="" window pid
    shift
    rm -f "$launcher_dir/CorvaneLauncher.exe.log" "$work/client-$tag.json"
    (cd "$launcher_dir" && DISPLAY=:$DISPLAY_NUMBER CORVANE_DEMOCLIENT_RECORD="Z:$work/client-$tag.json" \
        exec timeout --kill-after=5 "${WINDOWS_JOB_TIMEOUT:-300}" "$wine" CorvaneLauncher.exe "$@") \
        >"$output/launcher-$tag.out" 2>&1 &
    pid=$!
    while kill -0 "$pid" 2>/dev/null; do
        n=$((n + 1))
        import -display ":$DISPLAY_NUMBER" -window root "$output/$tag-$(printf %03d $n).png" 2>/dev/null || true
        if [ "$tag" = play ] && [ -z "$clicked" ] && [ $n -ge 3 ]; then
            window=$(DISPLAY=:$DISPLAY_NUMBER xdotool search --onlyvisible --name '^Corvane Online$' \
                2>/dev/null | head -n1 || true)
            if [ -n "$window" ]; then
                eval "$(DISPLAY=:$DISPLAY_NUMBER xdotool getwindowgeometry --shell "$window")"
                DISPLAY=:$DISPLAY_NUMBER xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT * 47 / 100)) click 1
                clicked=1
            fi
        fi
        sleep 0.5
    done
    run_status=0
    wait "$pid" || run_status=$?
    cp "$launcher_dir/CorvaneLauncher.exe.log" "$output/launcher-$tag.log" 2>/dev/null || true
    find "$output" -name "$tag-*.png" -size -2k -delete
    # The client was started detached inside this Wine prefix: wait until every program of the
    # prefix has ended, so that its running marker is gone before the next run.
    timeout 60 "$wineserver" -w || true
}

windows_main_job() {
    local size=${WINDOWS_SIZE_MB:-48} job_started
    job_started=$(date +%s)
    work=$build/job
    output=$build/job-output
    rm -rf "$work" "$output"
    mkdir -p "$work" "$output"
    local game=$work/game assets=$work/assets site=$work/site
    local store=$site/client/win64 key=$repo/tests/data/signing/key-a.pem
    local publish=$host_build/bin/corvane-publish

    lib_log "main job: a demo game of $size MiB with the Windows demo client"
    lib_make_game "$game" "$assets" "$size" "$build/bin/corvane-democlient.exe"
    mv "$game/bin/corvane" "$game/bin/corvane.exe"
    # A game ships the libraries its program needs.
    local client_dlls
    mapfile -t client_dlls < <(dll_closure "$game/bin/corvane.exe")
    cp "${client_dlls[@]}" "$game/bin/"

    windows_publish() { # VERSION ASSETS_VERSION
        "$publish" package --source "$game" --out "$store" --version "$1" \
            --executable bin/corvane.exe --parameter=--exit-after-ms=2000 --generation second \
            --variant regular --assets "$assets" --assets-version "$2" --level 1 \
            --package-name "Corvane Online" --signing-key "$key" >"$output/publish-$1.txt" 2>&1
    }
    windows_publish 1.0.0 1
    cat >"$work/description.json" <<JSON
{
  "packages": [
    {"name": "Corvane Online", "directory": "corvane", "installAutomatically": true,
     "builds": [{"os": "windows", "architecture": "x86_64",
                 "package": "client/win64/package.json",
                 "assets": "client/win64/assets.json"}]}
  ],
  "showPackageNames": true
}
JSON
    # Signed metadata pins the package documents: it is written again after every publication.
    windows_metadata() {
        "$publish" metadata --description "$work/description.json" \
            --out "$site/launchermetadata.json" --signing-key "$key" --valid-days 7 >/dev/null
    }
    windows_metadata
    lib_start_server "$site" "$work/server"
    lib_start_xvfb "$work"
    lib_log "serving on 127.0.0.1:$SERVER_PORT ($SERVER_KIND), display :$DISPLAY_NUMBER"

    # The bundle as a player unpacks it, with the launcher that trusts the test key A of the
    # publisher above in place of the development build.
    launcher_dir=$work/launcher
    cp -r "$bundle" "$launcher_dir"
    cp "$build/bin/CorvaneLauncherTestKeys.exe" "$launcher_dir/CorvaneLauncher.exe"
    lib_write_settings "$launcher_dir"
    local installed=$launcher_dir/packages/corvane steps=() failed=0 before

    lib_log "first launch: installing 1.0.0"
    before=$(lib_log_lines)
    windows_run_launcher install --first-launch
    steps+=("install (--first-launch): exit code $run_status, $(lib_mib "$(lib_bytes_sent "$before")") downloaded")
    if [ "$run_status" -ne 0 ] || [ ! -f "$work/client-install.json" ] ||
        ! cmp -s "$installed/bin/corvane.exe" "$game/bin/corvane.exe"; then
        steps+=("  the client was not installed and started")
        failed=1
    fi

    lib_log "publishing 1.0.1 with deltas"
    lib_change_game "$game" "$assets" "$size"
    windows_publish 1.0.1 2
    windows_metadata
    lib_log "update: --patch"
    before=$(lib_log_lines)
    windows_run_launcher update --patch "Z:$(cd "$installed" && pwd)/bin/corvane.exe"
    # Deltas travel inside packs too: the launcher's own summary counts them.
    local deltas
    deltas=$(sed -n 's/.*download summary: [0-9]* bytes in \([0-9]*\) deltas.*/\1/p' \
        "$output/launcher-update.log" | tail -n1)
    steps+=("update (--patch): exit code $run_status, $(lib_mib "$(lib_bytes_sent "$before")") downloaded (${deltas:-0} deltas)")
    [ "${deltas:-0}" -gt 0 ] || { steps+=("  no delta was used"); failed=1; }
    [ "$run_status" -eq 0 ] || failed=1
    local mismatch
    mismatch=$(cd "$game" && find . -type f -exec cmp -s {} "$installed/{}" \; -o -type f -print | head -n 5)
    if [ -z "$mismatch" ]; then
        steps+=("  installed tree equals 1.0.1 byte for byte ($(find "$game" -type f | wc -l) files)")
    else
        steps+=("  installed files differ from 1.0.1: $mismatch"); failed=1
    fi

    lib_log "play: --show-ui and the Play button"
    windows_run_launcher play --show-ui
    steps+=("play (--show-ui): exit code $run_status, client started: $([ -f "$work/client-play.json" ] && echo yes || echo no)")
    [ "$run_status" -eq 0 ] && [ -f "$work/client-play.json" ] || failed=1
    lib_stop_all

    note "main job" "$(($(date +%s) - job_started)) s, $(find "$output" -name '*.png' | wc -l) screenshots in $output"
    local step
    for step in "${steps[@]}"; do summary+=("      $step"); done
    return $failed
}
