#!/usr/bin/env bash
# tarvos bench --quick --json runs to the end, exits 0 and prints one JSON object with every required
# phase, no mismatch and a positive rate for each phase. The numbers themselves are not judged.
# Usage: bench_smoke_test.sh TARVOS_BINARY WORK_DIR
set -euo pipefail
tool=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
# A small large-cache phase (the default 262,144 blocks is a measurement, not a smoke test), yet 4 MiB
# more than the sample holds, so a file of holes fills the rest.
TMPDIR="$work" "$tool" bench --quick --json --large-cache-blocks 33792 >"$work/result.json"
python3 - "$work/result.json" <<'PY'
import json, sys
result = json.load(open(sys.argv[1]))
names = {phase["name"]: phase for phase in result["phases"]}
required = ["engine-qd1-64k", "engine-qd32-64k", "engine-qd32-1m", "cached-cold-1m", "cached-warm-64k",
            "preread-stream-1m", "uring-qd32-64k", "uring-qd32-1m", "uring-seq-qd8-1m", "direct-pread-qd1-64k",
            "buffered-pread-64k", "buffered-pread-4k", "cached-warm-4k", "cached-warm-4k-33792-blocks"]
missing = [name for name in required if name not in names]
assert not missing, f"missing phases: {missing}"
for phase in result["phases"]:
    for key in ["mb_per_s", "ops_per_s", "p50_us", "p99_us", "max_us", "hit_ratio", "baseline", "ratio",
                "cpu_us_per_mib"]:
        assert key in phase, f"{phase['name']} has no {key}"
    assert phase["mb_per_s"] > 0, f"{phase['name']} moved nothing"
for name in ["cached-cold-1m", "cached-warm-64k", "preread-stream-1m"]:
    assert names[name]["hit_ratio"] is not None, f"{name} has no hit ratio"
assert names["cached-warm-64k"]["hit_ratio"] >= 0.9, "the warm working set missed the cache"
assert names["engine-qd32-1m"]["baseline"] == "uring-qd32-1m"
assert names["preread-stream-1m"]["baseline"] == "uring-seq-qd8-1m"
large = names["cached-warm-4k-33792-blocks"]
assert large["baseline"] == "cached-warm-4k" and large["build_ms"] > 0 and large["fill_ms"] > 0, \
    "the large-cache phase lacks its fields"
assert large["hit_ratio"] >= 0.9, "the large cache did not hold the working set"
assert names["cached-warm-4k"]["baseline"] == "buffered-pread-4k"
assert result["mismatches"] == 0 and result["verified_bytes"] > 0
assert "higher MB/s is better" in result["legend"]
assert result["io_backend"]["name"] in ("uring", "threads") and result["io_backend"]["reason"]
assert result["file_system"]["type"] and isinstance(result["file_system"]["direct_io"], bool)
assert all(phase["runs"] == 1 and len(phase["mb_per_s_runs"]) == 1 for phase in result["phases"])
# The streams: each method once, with its figures; the figures themselves are not judged.
assert [s["method"] for s in result["streams"]] == ["tarvos", "edf-direct", "buffered"], result["streams"]
for s in result["streams"]:
    for key in ["miss_pct", "late_p99_ms", "random_ops_per_s", "device_mib", "cpu_cores"]:
        assert key in s, f"streams {s['method']} has no {key}"
    assert s["pieces"] > 0 and 0 <= s["miss_pct"] <= 100 and s["late_p99_ms"] >= 0 and s["cpu_cores"] > 0, s
assert result["streams_setup"]["baseline_mb_per_s"] == names["uring-seq-qd8-1m"]["mb_per_s"]
print("bench smoke: %d phases, %d bytes verified" % (len(result["phases"]), result["verified_bytes"]))
PY
# --repeat: the median of the runs, with every run's rate and the spread.
TMPDIR="$work" TARVOS_IO_BACKEND=threads "$tool" bench --quick --json --repeat 3 --only buffered-pread-4k \
  >"$work/repeat.json"
python3 - "$work/repeat.json" <<'PY'
import json, statistics, sys
result = json.load(open(sys.argv[1]))
assert result["repeat"] == 3 and result["io_backend"] == {"name": "threads", "reason": "TARVOS_IO_BACKEND=threads"}
[phase] = result["phases"]
runs = phase["mb_per_s_runs"]
assert phase["name"] == "buffered-pread-4k" and phase["runs"] == 3 and len(runs) == 3
assert abs(phase["mb_per_s"] - statistics.median(runs)) < 0.01
assert phase["mb_per_s_min"] == min(runs) and phase["mb_per_s_max"] == max(runs)
PY
# --streams: the streams and the baseline their rates are a share of, nothing else; --streams-load sets
# that share.
TMPDIR="$work" "$tool" bench --quick --json --streams --streams-load 0.3 >"$work/streams.json"
python3 - "$work/streams.json" <<'PY'
import json, sys
result = json.load(open(sys.argv[1]))
assert [phase["name"] for phase in result["phases"]] == ["uring-seq-qd8-1m"], result["phases"]
assert len(result["streams"]) == 3 and result["mismatches"] == 0
setup = result["streams_setup"]
assert setup["load_share"] == 0.3, setup
assert abs(setup["reader_mb_per_s"] - setup["baseline_mb_per_s"] * 0.3 / setup["readers"]) < 0.01, setup
PY
leftover=$(find "$work" -name 'tarvos-bench-*' | wc -l)
if [ "$leftover" -ne 0 ]; then
  echo "the sample file was not removed" >&2
  exit 1
fi
rm -rf "$work"
