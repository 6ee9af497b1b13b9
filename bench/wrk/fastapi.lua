-- POST a small JSON item with a user header (bench/apps/fastapi_app.py).
wrk.method = "POST"
wrk.body = '{"name": "lamp", "price": 40.5, "tags": ["home", "light"]}'
wrk.headers["Content-Type"] = "application/json"
wrk.headers["X-User"] = "bench"
