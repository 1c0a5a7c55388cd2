-- wrk posting pre-signed report bodies (one a line in the file given as
-- the script's first argument, as `qvload --print` writes them), each once:
-- thread k of n takes lines k, k + n, ...; every request on a new
-- connection, as the installer sends it.
--   wrk -t N -c C -d S -s bench/wrk-reports.lua URL -- BODIES N
local threads = 0

function setup(thread)
  thread:set("id", threads)
  threads = threads + 1
end

function init(args)
  local n, i = tonumber(args[2]), 0
  bodies, sent = {}, 0
  for line in io.lines(args[1]) do
    if i % n == id then bodies[#bodies + 1] = line end
    i = i + 1
  end
  wrk.headers["Connection"] = "close"
  wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
end

function request()
  sent = sent + 1
  -- Past the last body the first ones go again: replays, which done()
  -- reports, since they would flatter the figures.
  return wrk.format("POST", "/micro_stats", nil, bodies[(sent - 1) % #bodies + 1])
end

function done(summary, latency, requests)
  local e = summary.errors
  io.write(string.format("wrk requests=%d other=%d errors=%d seconds=%.2f rate=%.0f p50_ms=%.2f p99_ms=%.2f " ..
                         "max_ms=%.2f\n", summary.requests, e.status, e.connect + e.read + e.write + e.timeout,
                         summary.duration / 1e6, (summary.requests - e.status) / (summary.duration / 1e6),
                         latency:percentile(50) / 1000, latency:percentile(99) / 1000, latency.max / 1000))
end
