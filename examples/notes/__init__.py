"""Notes: a small kiv application with accounts, notes with attached files (written, edited
and deleted in the browser or through a JSON API).

    python -m examples.notes --data ./notes-data [--host 127.0.0.1] [--port 8000]

Everything it keeps (the SQLite database, uploaded files, the session key) lives in the
folder given with --data (or NOTES_DATA).
"""

from .app import create_app

__all__ = ["create_app"]
