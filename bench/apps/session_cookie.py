"""Prints a session cookie both session apps accept: {"user": "bench", "visits": 3}
signed with their secret (HMAC-SHA1 over a derived key, salt "cookie-session").
The cookie in bench/wrk/session.lua and bench/run.py was made with this; it stays
valid as long as the apps' PERMANENT_SESSION_LIFETIME (ten years)."""

import hashlib
import json

from itsdangerous import URLSafeTimedSerializer


class _Compact:
    @staticmethod
    def dumps(value):
        return json.dumps(value, separators=(",", ":"))

    loads = staticmethod(json.loads)


signer = URLSafeTimedSerializer(
    "bench-secret", salt="cookie-session", serializer=_Compact,
    signer_kwargs={"key_derivation": "hmac", "digest_method": hashlib.sha1})
print("session=" + signer.dumps({"user": "bench", "visits": 3}))
# flask_ext_app.py's (bench/wrk/ext.lua): signed in as user 1 through Flask-Login.
print("session=" + signer.dumps({"_user_id": "1"}))
