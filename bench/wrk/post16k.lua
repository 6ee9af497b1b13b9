-- POST a 16 KiB body; the views answer with its length.
wrk.method = "POST"
wrk.body = string.rep("x", 16384)
wrk.headers["Content-Type"] = "application/octet-stream"
