#!/usr/bin/env bash
# Runs the link and USB tests under many seeds (default 1-500), both
# scheduling modes alternating by seed, on as many shards as there are cores,
# and prints the wall time. Usage: scripts/sweep.sh [SEEDS], e.g. 1-500.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh" test
seeds="${1:-1-500}"
filter='CheckReplyBlock.*:LinkExchange.*:BuildCommand.*:SendReaderCommand.*:LinkWithSimReader.*'
filter+=':SubmitUrb.*:UsbExchange.*:UsbPackets.*:ConfigureUsbDevice.*:UnconfigureUsbDevice.*'
filter+=':UsbBusConfig.*:UsbBusTransfer.*:Usbd.*:SimUsbTransport.*'
shards="$(nproc)"
start=$(date +%s)
pids=()
for ((shard = 0; shard < shards; shard++)); do
    QV_SEEDS="$seeds" GTEST_TOTAL_SHARDS="$shards" GTEST_SHARD_INDEX="$shard" \
        "$QV_BUILD/qvtests" --gtest_filter="$filter" --gtest_brief=1 >"$QV_BUILD/sweep-$shard.log" 2>&1 &
    pids+=($!)
done
status=0
for ((shard = 0; shard < shards; shard++)); do
    if ! wait "${pids[$shard]}"; then
        status=1
        echo "sweep: shard $shard failed; its failures name their seeds:" >&2
        grep -E "seed|FAILED" "$QV_BUILD/sweep-$shard.log" | head -40 >&2
    fi
done
echo "sweep: seeds $seeds, $(grep -h "test suites\? ran" "$QV_BUILD"/sweep-*.log | sed "s/.*\] //; s/ (.*//" | tr "\n" " ")in $(($(date +%s) - start)) s"
exit "$status"
