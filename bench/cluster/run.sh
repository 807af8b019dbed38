#!/usr/bin/env bash
# Messages per second and call round trips per second to an actor on a
# second vkvm node through a local nats-server, beside the same program on
# one node. Usage: bench/cluster/run.sh BUILD_DIR (vkvm built with
# -DVK_CLUSTER=ON).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'kill $(jobs -p) 2> /dev/null; rm -rf "$work"' EXIT
"$build/vkc" --emit "$here/actors_remote.vk" -o "$work/bench.vkb"
echo "== one node"
"$build/vkvm" "$work/bench.vkb"
nats-server -a 127.0.0.1 -p -1 > "$work/server.log" 2>&1 &
for _ in $(seq 100); do grep -q "Listening for client" "$work/server.log" && break; sleep 0.1; done
url=nats://127.0.0.1:$(sed -n 's/.*client connections on [0-9.]*:\([0-9]*\).*/\1/p' "$work/server.log" | head -n 1)
"$build/vkvm" --cluster "$url" --serve --once "$work/bench.vkb" 2> "$work/node.err" &
for _ in $(seq 100); do grep -q serving "$work/node.err" && break; sleep 0.1; done
echo "== two nodes through nats-server (the actor on the second node)"
"$build/vkvm" --cluster "$url" --nodes 1 "$work/bench.vkb"
wait %2
