-- Appended to every scenario script: prints one machine-readable line when wrk
-- finishes. Latencies are in microseconds; "status" counts responses >= 400.
done = function(summary, latency, requests)
  local e = summary.errors
  io.write(string.format(
    "BENCH_RESULT {\"requests\":%d,\"duration_us\":%d,\"bytes\":%d," ..
    "\"connect\":%d,\"read\":%d,\"write\":%d,\"status\":%d,\"timeout\":%d," ..
    "\"p50_us\":%d,\"p90_us\":%d,\"p99_us\":%d,\"max_us\":%d,\"mean_us\":%.1f}\n",
    summary.requests, summary.duration, summary.bytes,
    e.connect, e.read, e.write, e.status, e.timeout,
    latency:percentile(50), latency:percentile(90), latency:percentile(99),
    latency.max, latency.mean))
end
