-- The page's POST of a query-style body, as post.lua. Each thread stops after
-- LOAD_REQUESTS_PER_THREAD answers and leaves a mark in LOAD_MARK_DIR, so that the caller can
-- end the run (wrk prints its figures on SIGINT) after a fixed number of requests.
wrk.method = "POST"
wrk.body = "zorvidId=bench-page&zorvid=https%3A%2F%2Fbench.example"
wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"

local limit = tonumber(os.getenv("LOAD_REQUESTS_PER_THREAD") or "50000")
local marks = os.getenv("LOAD_MARK_DIR") or "/tmp"
local answered = 0

function response(status, headers, body)
    answered = answered + 1
    if answered == limit then
        local mark = io.open(os.tmpname():gsub("^.*/", marks .. "/done-"), "w")
        if mark then mark:close() end
        wrk.thread:stop()
    end
end
