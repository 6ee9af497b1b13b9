-- GET with a session cookie signed in as user 1 for apps/flask_ext_app.py
-- (printed second by bench/apps/session_cookie.py; it holds {"_user_id": "1"}).
wrk.headers["Cookie"] = "session=eyJfdXNlcl9pZCI6IjEifQ.axetSQ.u0Qu1BQIcknpKJOY9exHfBLKIKQ"
