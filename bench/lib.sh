# Shared by scripts/demo.sh and bench/run.sh (sourced, not run): generates a game build of a given
# size and its next version, serves a directory on loopback with a byte-counting access log, and
# starts a virtual display. Every process started here is recorded in LIB_PIDS so that the caller's
# EXIT trap (lib_stop_all) ends exactly these processes.

LIB_PIDS=()

lib_log() { printf '[%s] %s\n' "$(date +%H:%M:%S)" "$*"; }

# An endless deterministic pseudo-random stream: AES-CTR over zeros, keyed by the seed. It ends by
# SIGPIPE when the reader has enough, which is not a failure.
lib_stream() { # SEED
    openssl enc -aes-128-ctr -nosalt -pbkdf2 -pass "pass:$1" </dev/zero 2>/dev/null || true
}

# Incompressible bytes.
lib_random() { # FILE BYTES SEED
    lib_stream "$3" | head -c "$2" >"$1"
}

# Text (decimal byte tables): compresses about 2.7:1, like scripts and data tables.
lib_text() { # FILE BYTES SEED
    lib_stream "$3" | { od -An -tu1 -v -w24 || true; } | head -c "$2" >"$1"
}

# Overwrites BYTES at OFFSET of FILE in place with new pseudo-random bytes.
lib_overwrite() { # FILE OFFSET BYTES SEED
    lib_stream "$4" | head -c "$3" |
        dd of="$1" bs=1M seek="$2" oflag=seek_bytes conv=notrunc status=none
}

# A game build of about SIZE_MB MiB below GAME (bin/, data/, textures/, config/) and an assets set
# below ASSETS: 55 % incompressible textures, 35 % compressible data, 10 % assets.
lib_make_game() { # GAME ASSETS SIZE_MB CLIENT_EXECUTABLE
    local game=$1 assets=$2 mib=$(($3 * 1048576)) i writers=()
    rm -rf "$game" "$assets"
    mkdir -p "$game/bin" "$game/data" "$game/textures" "$game/config" "$assets/ui" "$assets/sound"
    cp "$4" "$game/bin/corvane"
    chmod 755 "$game/bin/corvane"
    for i in $(seq 1 12); do
        lib_random "$game/textures/set$i.tex" $((mib * 55 / 100 / 12 + i * 4099)) "tex$i" &
        writers+=($!)
    done
    for i in $(seq 1 8); do
        lib_text "$game/data/table$i.dat" $((mib * 35 / 100 / 8 + i * 811)) "dat$i" &
        writers+=($!)
    done
    # Only these: a server started earlier is a child of the same shell.
    wait "${writers[@]}"
    for i in $(seq 1 24); do
        if [ $((i % 2)) -eq 0 ]; then
            lib_random "$assets/sound/voice$i.ogg" $((mib / 10 / 24 + i * 313)) "snd$i"
        else
            lib_text "$assets/ui/layout$i.xml" $((mib / 10 / 24 + i * 313)) "ui$i"
        fi
    done
    for i in 1 2 3; do
        printf '[graphics]\nquality=%d\nwindowed=1\n' "$i" >"$game/config/profile$i.ini"
    done
    : >"$game/config/empty.cfg"
}

# The next version: about 5 % of the content changes (regions of two textures rewritten, lines
# inserted at the start of two data tables, one asset replaced by a new one, one setting changed).
lib_change_game() { # GAME ASSETS SIZE_MB
    local game=$1 assets=$2 mib=$(($3 * 1048576)) tmp
    lib_overwrite "$game/textures/set3.tex" $((mib / 100)) $((mib * 18 / 1000)) v2a
    lib_overwrite "$game/textures/set7.tex" $((mib / 50)) $((mib * 18 / 1000)) v2b
    for table in table2 table5; do
        tmp=$game/data/$table.new
        { printf 'patched balance table for version 2\n'; cat "$game/data/$table.dat"; } >"$tmp"
        mv "$tmp" "$game/data/$table.dat"
    done
    rm -f "$assets/sound/voice4.ogg"
    lib_random "$assets/sound/voice25.ogg" $((mib / 100)) snd25
    printf '[graphics]\nquality=2\nwindowed=0\n' >"$game/config/profile2.ini"
}

# A real many-file release below DIR: a few Debian packages (libraries, a compiler's source tree,
# a database, scientific Python modules; about 460 MiB in 14,500 files) unpacked as they are,
# from the apt cache or downloaded into CACHE with apt-get (LIB_RELEASE_PACKAGES: another list).
# Symbolic links are left out. CLIENT becomes bin/corvane.
LIB_RELEASE_PACKAGES=${LIB_RELEASE_PACKAGES:-python3-scipy postgresql-15 libwireshark16 golang-1.19-src libqt5webkit5 octave}
lib_make_release() { # DIR CACHE CLIENT_EXECUTABLE
    local dir=$1 cache=$2 package deb
    rm -rf "$dir"
    mkdir -p "$dir/bin" "$cache"
    for package in $LIB_RELEASE_PACKAGES; do
        deb=$(ls /var/cache/apt/archives/"${package}"_*.deb "$cache/${package}"_*.deb 2>/dev/null |
            head -n1 || true)
        if [ -z "$deb" ]; then
            (cd "$cache" && apt-get download "$package" >/dev/null)
            deb=$(ls "$cache/${package}"_*.deb | head -n1)
        fi
        dpkg-deb -x "$deb" "$dir"
    done
    # Packages link to files of other packages; a release for players carries no links.
    find "$dir" -type l -delete
    cp "$3" "$dir/bin/corvane"
    chmod 755 "$dir/bin/corvane"
}

# Two consecutive releases of a real many-file program: the Debian packages
# LIB_RELEASE_UPDATE_PACKAGES, all built from one source, at the two versions of
# LIB_RELEASE_UPDATE_VERSIONS (the stable suite's and its security update's), fetched with
# apt-get download into CACHE once and unpacked below DIR; symbolic links left out, as above.
# INDEX 1 or 2 chooses the version; DIR is emptied first. CLIENT becomes bin/corvane.
LIB_RELEASE_UPDATE_PACKAGES=${LIB_RELEASE_UPDATE_PACKAGES:-postgresql-15 postgresql-client-15 postgresql-doc-15}
LIB_RELEASE_UPDATE_VERSIONS=${LIB_RELEASE_UPDATE_VERSIONS:-15.18-0+deb12u1 15.20-0+deb12u1}
lib_make_release_version() { # DIR CACHE CLIENT_EXECUTABLE INDEX
    local dir=$1 cache=$2 version package deb
    read -r -a versions <<<"$LIB_RELEASE_UPDATE_VERSIONS"
    version=${versions[$(($4 - 1))]}
    rm -rf "$dir"
    mkdir -p "$dir/bin" "$cache"
    for package in $LIB_RELEASE_UPDATE_PACKAGES; do
        # File names of packages carry an epoch's colon as %3a.
        deb=$(ls "$cache/${package}_${version/:/%3a}"_*.deb 2>/dev/null | head -n1 || true)
        if [ -z "$deb" ]; then
            (cd "$cache" && apt-get download "$package=$version" >/dev/null)
            deb=$(ls "$cache/${package}_${version/:/%3a}"_*.deb | head -n1)
        fi
        dpkg-deb -x "$deb" "$dir"
    done
    find "$dir" -type l -delete
    cp "$3" "$dir/bin/corvane"
    chmod 755 "$dir/bin/corvane"
}

# Bytes of the files below NEW that are not below OLD with the same content.
lib_tree_changed_bytes() { # OLD NEW
    (cd "$2" && find . -type f -exec cmp -s {} "$1/{}" \; -o -type f -print0) |
        xargs -0 -r -I{} stat -c %s "$2/{}" | awk '{ s += $1 } END { printf "%d\n", s }'
}

# The bytes lib_change_game writes anew (the two rewritten regions and the new asset), without the
# few inserted lines and the replaced setting.
lib_changed_bytes() { # SIZE_MB
    local mib=$(($1 * 1048576))
    echo $((mib * 18 / 1000 * 2 + mib / 100))
}

lib_port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

lib_free_port() {
    local port=$((20000 + RANDOM % 20000))
    while lib_port_in_use "$port"; do port=$((port + 1)); done
    echo "$port"
}

# Serves ROOT on 127.0.0.1 only: nginx with its own configuration and prefix below STATE, or, when
# nginx is absent, Python's http.server. Both log "URI STATUS BYTES" lines to STATE/access.log:
# nginx the bytes on the wire (headers and the body as sent, so a gzipped document counts
# compressed), Python's server the body only. nginx compresses JSON documents with gzip for
# clients that accept it, as a CDN does. Sets SERVER_PORT, SERVER_KIND and SERVER_LOG.
# LIB_SERVER=python3 chooses Python's server.
lib_start_server() { # ROOT STATE
    local root state port
    root=$(realpath "$1")
    mkdir -p "$2"
    state=$(realpath "$2")
    port=$(lib_free_port)
    SERVER_LOG=$state/access.log
    : >"$SERVER_LOG"
    if [ "${LIB_SERVER:-nginx}" = nginx ] && { command -v nginx >/dev/null || [ -x /usr/sbin/nginx ]; }; then
        SERVER_KIND=nginx
        mkdir -p "$state/tmp"
        local user=""
        # Workers drop to an unprivileged user by default, who may not be able to read the tree.
        [ "$(id -u)" -ne 0 ] || user="user root;"
        cat >"$state/nginx.conf" <<CONF
$user
daemon off;
worker_processes 2;
pid $state/nginx.pid;
error_log $state/error.log warn;
events { worker_connections 512; }
http {
    default_type application/octet-stream;
    types { application/json json; }
    gzip on;
    gzip_types application/json;
    gzip_comp_level 6;
    gzip_vary on;
    log_format bytes '\$request_uri \$status \$bytes_sent';
    access_log $SERVER_LOG bytes;
    client_body_temp_path $state/tmp/body;
    proxy_temp_path $state/tmp/proxy;
    fastcgi_temp_path $state/tmp/fastcgi;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 100000;
    server {
        listen 127.0.0.1:$port;
        root $root;
    }
}
CONF
        "$(command -v nginx || echo /usr/sbin/nginx)" -p "$state" -e "$state/error.log" \
            -c "$state/nginx.conf" &
        LIB_PIDS+=($!)
    else
        SERVER_KIND=python3
        cat >"$state/server.py" <<'PY'
import http.server, sys
port, root, log = int(sys.argv[1]), sys.argv[2], open(sys.argv[3], "a", buffering=1)
class Handler(http.server.SimpleHTTPRequestHandler):
    def __init__(self, *a, **k):
        super().__init__(*a, directory=root, **k)
    def copyfile(self, source, outputfile):
        sent = 0
        while chunk := source.read(1 << 20):
            outputfile.write(chunk)
            sent += len(chunk)
        log.write(f"{self.path} 200 {sent}\n")
    def log_message(self, *a):
        pass
http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler).serve_forever()
PY
        python3 "$state/server.py" "$port" "$root" "$SERVER_LOG" &
        LIB_PIDS+=($!)
    fi
    SERVER_PORT=$port
    local tries=0
    until lib_port_in_use "$port"; do
        tries=$((tries + 1))
        if [ $tries -gt 100 ] || ! kill -0 "${LIB_PIDS[-1]}" 2>/dev/null; then
            echo "the $SERVER_KIND server did not start" >&2
            cat "$state/error.log" >&2 2>/dev/null || true
            return 1
        fi
        sleep 0.1
    done
}

# Bytes sent since the access log had LINES lines; with a pattern only the URIs that contain it.
lib_log_lines() { wc -l <"$SERVER_LOG"; }
lib_bytes_sent() { # FROM_LINE [URI_PART]
    tail -n +"$(($1 + 1))" "$SERVER_LOG" |
        awk -v part="${2:-}" 'index($1, part) { sum += $3 } END { printf "%d\n", sum }'
}
lib_requests() { # FROM_LINE [URI_PART]
    tail -n +"$(($1 + 1))" "$SERVER_LOG" | awk -v part="${2:-}" 'index($1, part) { n++ } END { printf "%d\n", n }'
}

# Writes launchersettings.ini for a launcher in DIR that reads its metadata from the server started
# by lib_start_server (LIB_METADATA: its path on the server, default launchermetadata.json);
# further lines (an [OPTIONS] group, say) are appended as given.
lib_write_settings() { # DIR [EXTRA_LINES]
    cat >"$1/launchersettings.ini" <<INI
[URLS]
launcherConfiguration=http://127.0.0.1:$SERVER_PORT/${LIB_METADATA:-launchermetadata.json}
[DIRECTORIES]
packages=packages
[FILES]
packageFile=package.json
partialPackageFile=partial-package.json
assetFile=assets.json
[TIMING]
waitNotificationTimeout=500
downloadErrorTimeout=10000
clientStartTimeout=30000
${2:-}
INI
}

# A virtual display; sets DISPLAY_NUMBER.
lib_start_xvfb() { # STATE
    local file=$1/display
    : >"$file"
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$file" 2>"$1/xvfb.log" &
    LIB_PIDS+=($!)
    local tries=0
    until [ -s "$file" ]; do
        tries=$((tries + 1))
        if [ $tries -gt 100 ]; then
            echo "Xvfb did not start" >&2
            return 1
        fi
        sleep 0.1
    done
    DISPLAY_NUMBER=$(head -n1 "$file")
}

# Ends every process started here (newest first), and the given extra process ids.
lib_stop_all() {
    local pid
    for pid in "$@"; do
        [ -z "$pid" ] || kill "$pid" 2>/dev/null || true
    done
    for ((i = ${#LIB_PIDS[@]} - 1; i >= 0; i--)); do
        pid=${LIB_PIDS[$i]}
        kill "$pid" 2>/dev/null || continue
        for _ in $(seq 1 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -9 "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    LIB_PIDS=()
}

lib_mib() { awk -v b="$1" 'BEGIN { printf "%.1f MiB", b / 1048576 }'; }
