-- Appended to every scenario script: prints one machine-readable line when wrk
-- finishes. Latencies are in microseconds; "status" counts responses >= 400.
-- The harness puts `bench_connections = N` in front of the script.

-- wrk corrects its latency histogram for coordinated omission by adding, for
-- every sample n, samples n-e, n-2e, ... down to e, where e = duration /
-- (requests / connections) is the expected time between two requests of one
-- connection. With pipelining one sample stands for a whole batch, so e is far
-- too small and the added samples swamp the real ones (some even fall below
-- the minimum, where wrk's own percentiles never find them). Undo it: going
-- down from the maximum, real[m] = seen[m] - sum of real[m + k*e] for k >= 1.
local function uncorrected(latency, summary)
  local per_conn = math.floor(summary.requests / bench_connections)
  if per_conn == 0 then return nil end
  local e = math.floor(summary.duration / per_conn)
  local seen = {}
  for i = 1, #latency do
    local v, c = latency(i)
    seen[v] = c
  end
  local real, tail, total, weighted = {}, {}, 0, 0
  for m = latency.max, latency.min, -1 do
    local r = seen[m] or 0
    if m > e then
      r = r - (tail[m + e] or 0)
    end
    if r < 0 then r = 0 end
    real[m] = r
    tail[m] = r + (tail[m + e] or 0)
    total = total + r
    weighted = weighted + r * m
  end
  if total == 0 then return nil end
  local function percentile(p)
    local rank, acc = math.ceil(p / 100 * total), 0
    for m = latency.min, latency.max do
      acc = acc + real[m]
      if acc >= rank then return m end
    end
    return latency.max
  end
  return {p50 = percentile(50), p90 = percentile(90), p99 = percentile(99),
          mean = weighted / total, samples = total}
end

done = function(summary, latency, requests)
  local e = summary.errors
  local lat = {p50 = latency:percentile(50), p90 = latency:percentile(90),
               p99 = latency:percentile(99), mean = latency.mean, samples = -1}
  if (bench_pipeline_depth or 1) > 1 then
    -- No samples at all when every batch was cut short by the server closing
    -- the connection (a server that does not keep connections alive).
    lat = uncorrected(latency, summary) or {p50 = -1, p90 = -1, p99 = -1, mean = -1, samples = 0}
  end
  io.write(string.format(
    "BENCH_RESULT {\"requests\":%d,\"duration_us\":%d,\"bytes\":%d," ..
    "\"connect\":%d,\"read\":%d,\"write\":%d,\"status\":%d,\"timeout\":%d," ..
    "\"p50_us\":%d,\"p90_us\":%d,\"p99_us\":%d,\"max_us\":%d,\"mean_us\":%.1f," ..
    "\"latency_samples\":%d}\n",
    summary.requests, summary.duration, summary.bytes,
    e.connect, e.read, e.write, e.status, e.timeout,
    lat.p50, lat.p90, lat.p99, latency.max, lat.mean, lat.samples))
end
