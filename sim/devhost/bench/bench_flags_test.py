#!/usr/bin/env python3
"""The tunnel benchmarks take Google Benchmark's own flags: with
--benchmark_format=json their standard output is one JSON document with each
benchmark's figures and counters (the device library's diagnostics go
elsewhere), and tunnel_bench sums up the transfer against the floor on
standard error. Usage: bench_flags_test.py TUNNEL_BENCH METER_FETCH_BENCH"""
import json
import subprocess
import sys
import unittest

TUNNEL, METER = sys.argv[1], sys.argv[2]


def run(binary, *flags):
    done = subprocess.run([binary, "--benchmark_min_time=0.01", *flags], capture_output=True, text=True,
                          timeout=120)
    return done.returncode, done.stdout, done.stderr


class BenchmarkFlags(unittest.TestCase):
    def test_tunnel_bench_writes_json_with_its_counters_and_a_summary(self):
        rc, out, err = run(TUNNEL, "--benchmark_format=json",
                           "--benchmark_filter=Floor|TunnelRoundTrip/real_time/threads:1")
        self.assertEqual(0, rc, err)
        runs = {b["name"]: b for b in json.loads(out)["benchmarks"]}
        self.assertIn("peer_cpu_us", runs["BM_UnixSocketRequestReplyFloor/real_time"])
        transfer = runs["BM_TunnelRoundTrip/real_time/threads:1"]
        # The host's CPU is read in clock ticks: a short run may show none.
        self.assertGreaterEqual(transfer["host_cpu_us"], 0)
        self.assertGreater(transfer["iterations"], 0)
        self.assertIn("transfer against the floor: latency", err)

    def test_meter_fetch_bench_honours_the_filter_and_format(self):
        rc, out, err = run(METER, "--benchmark_format=json", "--benchmark_filter=TarrowMeterFetch")
        self.assertEqual(0, rc, err)
        names = [b["name"] for b in json.loads(out)["benchmarks"]]
        self.assertEqual(["BM_TarrowMeterFetch"], names)
        # One transfer per reply the meter answer spans, and more than one.
        fetch = json.loads(out)["benchmarks"][0]
        self.assertGreater(fetch["transfers_per_fetch"], 1)

    def test_unknown_flags_are_refused(self):
        rc, _, _ = run(TUNNEL, "--benchmark_no_such_flag=1")
        self.assertNotEqual(0, rc)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
