-- GET with the session cookie both session apps accept (printed by
-- bench/apps/session_cookie.py; it holds {"user": "bench", "visits": 3}).
wrk.headers["Cookie"] = "session=eyJ1c2VyIjoiYmVuY2giLCJ2aXNpdHMiOjN9.axbXEQ.HWk9omRy8lBxPGImLcGZgE0Y6Pw"
