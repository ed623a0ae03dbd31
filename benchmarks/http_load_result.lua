-- Prints wrk's figures as one line of key=value pairs for http_load.sh.
-- Latencies are in microseconds; a request slower than wrk's --timeout is
-- counted as a timeout and left out of the percentiles.
done = function(summary, latency, requests)
  io.write(string.format(
    "RESULT requests=%d duration_us=%d p50_us=%d p99_us=%d max_us=%d " ..
    "connect=%d read=%d write=%d status=%d timeout=%d\n",
    summary.requests, summary.duration, latency:percentile(50), latency:percentile(99),
    latency.max, summary.errors.connect, summary.errors.read, summary.errors.write,
    summary.errors.status, summary.errors.timeout))
end
