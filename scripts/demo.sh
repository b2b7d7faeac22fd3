#!/usr/bin/env bash
# The launcher on a sample release, end to end, on this machine:
#   - versions 1 and 2 of the sample game are made from resources/sample-game (packs built
#     with lume-pak), version 1 is installed in build/demo/client;
#   - the operator's signing key is made with lume-publish keygen (kept outside the game,
#     as it would be offline); its public key ships as bin/release.pub in both versions;
#   - both versions are published and signed with lume-publish into one release tree,
#     copied to two mirrors, and served with lume-serve on loopback, with a server list of
#     two zones;
#   - lume-cli runs the launcher's whole flow in the client: server list, server and
#     mirror choice, the signed release verified, the update from 1 to 2, and the start of
#     the game client;
#   - the launcher window does the same: on the display when there is one (the player
#     presses start), otherwise offscreen on a second client, saving build/demo/launcher.png
#     (set LUME_DEMO_HEADLESS=1 to run it offscreen even on a display).
# Usage: scripts/demo.sh [BUILD_DIR]   (default build/release; run.sh builds it first)
# The demo's files go to build/demo, or to LUME_DEMO_DIR.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-$root/build/release}
demo=${LUME_DEMO_DIR:-$root/build/demo}
sample=$root/resources/sample-game

pak=$build/tools/pak/lume-pak
publish=$build/tools/publish/lume-publish
serve=$build/tools/serve/lume-serve
cli=$build/launcher/cli/lume-cli
launcher=$build/launcher/qt/lume-launcher  # optional: built where Qt is installed
for tool in "$pak" "$publish" "$serve" "$cli"; do
    [ -x "$tool" ] || { echo "demo: $tool is missing; build first (scripts/run.sh)" >&2; exit 1; }
done

server_pid=
cleanup() {
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
}
trap cleanup EXIT

rm -rf "$demo"
mkdir -p "$demo"

make_version() {  # version
    local out=$demo/$1
    mkdir -p "$out/data"
    cp -r "$sample/$1/files/." "$out/"
    for dir in "$sample/$1/packs"/*/; do
        "$pak" create "$dir" "$out/data/$(basename "$dir").pak" >/dev/null
    done
}
echo "== the operator's signing key"
"$publish" keygen "$demo/keys/release"

echo "== making versions 1 and 2 of the sample game"
make_version v1
make_version v2
cp "$demo/keys/release.pub" "$demo/v1/bin/release.pub"
cp "$demo/keys/release.pub" "$demo/v2/bin/release.pub"

install_client() {  # directory: version 1 as a player has it, with the launcher's files
    local dir=$1
    mkdir -p "$dir"
    cp -r "$demo/v1/." "$dir/"
    cp -r "$sample/client/." "$dir/"
    # The window's layout, in the launcher's code page, with the news pages on the
    # demo's server.
    sed "s|NEWS_HOST|$host|g" "$sample/client/bin/controlPosition.xml" |
        iconv -f UTF-8 -t GBK >"$dir/bin/controlPosition.xml"
}

echo "== publishing versions 1 and 2, signed"
"$publish" "$demo/v1" "$demo/www/game" --must bin/lume.dat --sign "$demo/keys/release" >/dev/null
"$publish" "$demo/v2" "$demo/www/game" --sign "$demo/keys/release" | tail -n 2
cp -r "$demo/www/game" "$demo/www/mirror1"
cp -r "$demo/www/game" "$demo/www/mirror2"

echo "== serving the release"
"$serve" "$demo/www" --port 0 >"$demo/serve.log" 2>&1 &
server_pid=$!
address=
for _ in $(seq 1 100); do
    address=$(grep -o 'http://127\.0\.0\.1:[0-9]*' "$demo/serve.log" | head -n 1 || true)
    [ -n "$address" ] && break
    sleep 0.05
done
[ -n "$address" ] || { echo "demo: lume-serve did not start:" >&2; cat "$demo/serve.log" >&2; exit 1; }
host=${address#http://}
echo "   $address"

# The server list and where the launcher finds it (bin\srvListUrl.xml under the data
# directory ..\data beside the game directory). Published lists are in the GBK code page.
items() {  # type
    cat <<ITEMS
    <items type="$1">
      <serverItem addr="$host" path="/game" flag="1"/>
      <serverItem addr="$host" path="/mirror1" flag="2"/>
      <serverItem addr="$host" path="/mirror2" flag="2"/>
      <serverItem addr="$host" path="/game" flag="3"/>
    </items>
ITEMS
}
{
    echo '<?xml version="1.0" encoding="GBK"?>'
    echo '<server>'
    echo '  <patch>'
    items 0
    items 20
    echo '  </patch>'
    echo '  <zones default="电信一区">'
    echo '    <zone name="电信一区" type="0" outer="1" id="1" addr="127.0.0.1" port="7001" zone="1" default="1" new="1" hint="新区火爆开启"/>'
    echo '    <zone name="电信二区" type="0" outer="1" id="2" addr="127.0.0.1" port="7002" zone="2" default="2"/>'
    echo '    <zone name="网通一区" type="20" outer="1" id="11" addr="127.0.0.1" port="7011" zone="0" default="3"/>'
    echo '    <zone name="内部测试" type="0" outer="0" id="99" zone="1" test="1"/>'
    echo '  </zones>'
    echo '</server>'
} | iconv -f UTF-8 -t GBK >"$demo/www/serverlist.xml"
mkdir -p "$demo/data/bin"
cat >"$demo/data/bin/srvListUrl.xml" <<XML
<?xml version="1.0" encoding="GBK"?>
<srvList>
  <url type="4" path="http://$host/serverlist.xml"/>
</srvList>
XML

# The news pages of the launcher window, and a mirror of them as their fallback.
mkdir -p "$demo/www/news" "$demo/www/news-mirror"
cp "$sample/news/"* "$demo/www/news/"
cp "$sample/news/"* "$demo/www/news-mirror/"

echo "== installing version 1 in $demo/client"
install_client "$demo/client"

echo "== the servers"
"$cli" servers -C "$demo/client"

# The game client is started without waiting for it; it writes started.txt. Then the
# client must hold version 2: the same loose files, and packs with the same contents (a
# pack patched in place is laid out differently from a freshly built one).
check_client() {  # directory
    local dir=$1
    for _ in $(seq 1 100); do
        [ -s "$dir/bin/started.txt" ] && break
        sleep 0.05
    done
    [ -s "$dir/bin/started.txt" ] || { echo "demo: the game client did not start" >&2; exit 1; }
    echo "== installed version: $(cut -f4 "$dir/bin/version.dat")"
    # The launcher keeps the newest release it accepted; without a valid signature it would
    # have refused version 2 before downloading anything.
    if tr -d '\r' <"$dir/bin/config.ini" | grep -qx 'version=2'; then
        echo "== the launcher verified the signed release (version 2) against bin/release.pub"
    else
        echo "demo: the launcher did not record the signed release as accepted" >&2
        exit 1
    fi
    local same=yes
    while IFS= read -r -d '' file; do
        rel=${file#"$demo/v2/"}
        case "$rel" in
            *.pak)
                rm -rf "$demo/check"
                "$pak" verify "$dir/$rel" >/dev/null || same=no
                "$pak" extract "$file" --all "$demo/check/want" >/dev/null
                "$pak" extract "$dir/$rel" --all "$demo/check/have" >/dev/null || same=no
                diff -r "$demo/check/want" "$demo/check/have" >/dev/null || same=no
                ;;
            *) cmp -s "$file" "$dir/$rel" || same=no ;;
        esac
    done < <(find "$demo/v2" -type f -print0)
    rm -rf "$demo/check"
    if [ "$(ls "$dir/data")" != "$(ls "$demo/v2/data")" ]; then
        same=no  # the withdrawn pack must be gone
    fi
    if [ "$same" = yes ]; then
        echo "== $dir matches version 2, byte for byte (packs by content)"
    else
        echo "demo: $dir does not match version 2" >&2
        exit 1
    fi
}

if [ -x "$launcher" ] && [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -z "${LUME_DEMO_HEADLESS:-}" ]; then
    echo "== the launcher window in $demo/client: press 开始游戏 (start), or close it"
    "$launcher" -C "$demo/client" --trace "$demo/trace-window.jsonl" || true
    if [ -s "$demo/client/bin/started.txt" ]; then
        check_client "$demo/client"
    else
        echo "== the window was closed before the game started"
    fi
    exit 0
fi

echo "== lume-cli in $demo/client"
"$cli" -C "$demo/client" --trace "$demo/trace.jsonl"
check_client "$demo/client"

if [ -x "$launcher" ]; then
    # No display: the window runs offscreen on another copy of version 1, presses start
    # by itself, and saves what it shows when the update has finished.
    echo "== the launcher window, offscreen, in $demo/client-window"
    install_client "$demo/client-window"
    QT_QPA_PLATFORM=offscreen "$launcher" -C "$demo/client-window" --auto-start \
        --screenshot "$demo/launcher.png" --trace "$demo/trace-window.jsonl"
    check_client "$demo/client-window"
    echo "== the window at the end of the update: $demo/launcher.png"
fi
