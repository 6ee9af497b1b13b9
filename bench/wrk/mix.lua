-- Alternates a view that waits 5 ms with one that computes, request by request.
local paths = {"/wait/5", "/compute"}
local n = 0
request = function()
  n = n + 1
  return wrk.format("GET", paths[n % 2 + 1])
end
