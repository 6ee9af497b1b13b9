-- Sends 16 requests in one write; wrk waits for all 16 responses before the
-- next batch and counts each response. Latency is per batch (report.lua).
bench_pipeline_depth = 16
local batch

init = function(args)
  local r = {}
  for i = 1, bench_pipeline_depth do
    r[i] = wrk.format()
  end
  batch = table.concat(r)
end

request = function()
  return batch
end
