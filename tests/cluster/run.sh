#!/usr/bin/env bash
# Runs actor programs on a cluster of vkvm processes on this machine: a
# nats-server of its own on a free loopback port, serving nodes, and the
# driver. Each program must print on a cluster exactly what it prints on
# one node; a node killed in the middle of a run fails the calls waiting
# on it; a server that goes away ends the run; a node with another image
# is refused.
#
#   tests/cluster/run.sh BUILD_DIR
#
# BUILD_DIR holds vkc and a vkvm configured with -DVK_CLUSTER=ON. Every
# process runs under `timeout`, so a hang fails the test instead of
# blocking it. Exit status: 0 when every case passes, 1 otherwise, 77 when
# nats-server is missing.
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$1" && pwd)
vkc=$build/vkc
vkvm=$build/vkvm
command -v nats-server > /dev/null || { echo "skipped: no nats-server"; exit 77; }

work=$(mktemp -d)
server_pid=""
node_pids=()
cleanup() {
  for p in "${node_pids[@]}" $server_pid; do kill "$p" 2> /dev/null; done
  wait 2> /dev/null
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Waits (at most 20 s) until FILE holds a line matching PATTERN.
wait_for() {
  local i
  for ((i = 0; i < 200; i++)); do
    grep -q "$2" "$1" 2> /dev/null && return 0
    sleep 0.1
  done
  return 1
}

start_server() {
  nats-server -a 127.0.0.1 -p -1 > "$work/server.log" 2>&1 &
  server_pid=$!
  wait_for "$work/server.log" "Listening for client connections" || { echo "nats-server did not start"; exit 1; }
  port=$(sed -n 's/.*Listening for client connections on [0-9.]*:\([0-9]*\).*/\1/p' "$work/server.log" | head -n 1)
  url=nats://127.0.0.1:$port
}

# start_nodes N IMAGE: N serving nodes for one run each.
start_nodes() {
  local i
  node_pids=()
  for ((i = 1; i <= $1; i++)); do
    : > "$work/node$i.err"
    timeout 120 "$vkvm" --cluster "$url" --serve --once "$2" > "$work/node$i.out" 2> "$work/node$i.err" &
    node_pids+=($!)
  done
  for ((i = 1; i <= $1; i++)); do
    wait_for "$work/node$i.err" "serving" || fail "node $i did not start: $(cat "$work/node$i.err")"
  done
}

# wait_nodes: the serving nodes leave after the run; their statuses go to
# node_status.
wait_nodes() {
  local p
  node_status=""
  for p in "${node_pids[@]}"; do
    wait "$p" 2> /dev/null
    node_status="$node_status $?"
  done
  node_pids=()
}

compile() {  # SOURCE IMAGE
  "$vkc" --emit "$1" -o "$2" > "$work/compile.out" 2>&1 || { fail "$1 does not compile: $(cat "$work/compile.out")"; return 1; }
}

# same_output NAME SOURCE NODES [args...]: one node, then NODES serving nodes.
same_output() {
  local name=$1 source=$2 nodes=$3
  shift 3
  local image=$work/$name.vkb
  compile "$source" "$image" || return
  (cd "$work" && timeout 60 "$vkvm" "$image" "$@" > one.out 2> one.err; echo $? > one.status)
  start_nodes "$nodes" "$image"
  (cd "$work" && timeout 60 "$vkvm" --cluster "$url" --nodes "$nodes" "$image" "$@" > many.out 2> many.err
   echo $? > many.status)
  wait_nodes
  local what
  for what in out err status; do
    if ! cmp -s "$work/one.$what" "$work/many.$what"; then
      fail "$name on $nodes+1 nodes: standard $what differs from one node:
$(diff "$work/one.$what" "$work/many.$what" | head -n 20)"
      return
    fi
  done
  [[ $node_status =~ ^( 0)+$ ]] || fail "$name: serving nodes ended with$node_status"
  echo "ok: $name on $nodes+1 nodes"
}

start_server

# The actor programs of the tests and examples, on three nodes and on two.
same_output actor_pipeline "$root/tests/golden/vmlib/actor_pipeline/in/prog.vk" 2
same_output run_variants "$root/tests/golden/bc_tables/run_variants/in/variants.vk" 2
same_output call_chain "$root/tests/cluster/call_chain.vk" 2 300
same_output bank_actors "$root/examples/bank_actors.vk" 2
same_output typing_orders "$root/examples/typing_orders.vk" 1
same_output modules_chat "$root/examples/modules_chat" 2
same_output spread "$root/tests/cluster/spread.vk" 2
same_output spread_two "$root/tests/cluster/spread.vk" 1

# Every actor on the driver: the nodes join and stay idle.
VKVM_PLACEMENT=local same_output placement_local "$root/tests/cluster/spread.vk" 1

# A node killed in the middle of a run.
export VKVM_CLUSTER_TIMEOUT_MS=1000
compile "$root/tests/cluster/node_loss.vk" "$work/loss.vkb" && {
  start_nodes 1 "$work/loss.vkb"
  timeout 60 "$vkvm" --cluster "$url" --nodes 1 "$work/loss.vkb" > "$work/loss.out" 2> "$work/loss.err"
  status=$?
  wait_nodes
  expected="here 2
there 4
lost call -140
still here 10"
  if [[ $status != 0 || $(cat "$work/loss.out") != "$expected" ]] ||
    ! grep -q "^vkvm: lost node 1 of the run" "$work/loss.err" ||
    ! grep -q "^vkvm: send: actor 2 was on a node that was lost; the message is dropped" "$work/loss.err"; then
    fail "node loss: status $status, output:
$(cat "$work/loss.out")
standard error:
$(cat "$work/loss.err")"
  else
    echo "ok: node loss"
  fi
}

# A node with another image is refused; the driver waiting for it gives up.
compile "$root/tests/cluster/server_loss.vk" "$work/other.vkb" && {
  start_nodes 1 "$work/other.vkb"
  VKVM_CLUSTER_JOIN_MS=1500 timeout 60 "$vkvm" --cluster "$url" --nodes 1 "$work/loss.vkb" > /dev/null 2> "$work/refused.err"
  status=$?
  wait_nodes
  if [[ $status != 1 || $node_status != " 2" ]] || ! grep -q "runs a different image" "$work/refused.err" ||
    ! grep -q "only 0 of 1 nodes joined" "$work/refused.err" || ! grep -q "refused by the driver" "$work/node1.err"; then
    fail "image refusal: driver status $status, node status$node_status
$(cat "$work/refused.err" "$work/node1.err")"
  else
    echo "ok: a node with another image is refused"
  fi
}

# A message larger than the server takes stops the run with the reason.
compile "$root/tests/cluster/too_large.vk" "$work/large.vkb" && {
  start_nodes 1 "$work/large.vkb"
  timeout 60 "$vkvm" --cluster "$url" --nodes 1 "$work/large.vkb" > /dev/null 2> "$work/large.err"
  status=$?
  for p in "${node_pids[@]}"; do kill "$p" 2> /dev/null; done
  wait_nodes
  if [[ $status != 1 ]] || ! grep -q "^vkvm: cannot send a message of [0-9]* bytes to node 1: it is larger than the server's limit" "$work/large.err"; then
    fail "too large a message: status $status, standard error:
$(cat "$work/large.err")"
  else
    echo "ok: too large a message stops the run"
  fi
}

# The server goes away in the middle of a run.
compile "$root/tests/cluster/server_loss.vk" "$work/server.vkb" && {
  start_nodes 1 "$work/server.vkb"
  timeout 60 "$vkvm" --cluster "$url" --nodes 1 "$work/server.vkb" > "$work/gone.out" 2> "$work/gone.err" &
  driver=$!
  wait_for "$work/gone.out" "started" || fail "server loss: the run did not start"
  kill "$server_pid"
  wait "$server_pid" 2> /dev/null
  server_pid=""
  wait "$driver"
  status=$?
  wait_nodes
  if [[ $status != 1 ]] || ! grep -q "^vkvm: lost the cluster: " "$work/gone.err"; then
    fail "server loss: status $status, standard error:
$(cat "$work/gone.err")"
  else
    echo "ok: server loss ends the run"
  fi
}

if ((failures > 0)); then
  echo "$failures cluster case(s) failed"
  exit 1
fi
echo "all cluster cases passed"
