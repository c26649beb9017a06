-- Every request is the page's POST of a query-style body.
wrk.method = "POST"
wrk.body = "zorvidId=bench-page&zorvid=https%3A%2F%2Fbench.example"
wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
