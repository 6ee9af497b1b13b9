"""python -m examples.notes --data FOLDER [--host H] [--port P] [--workers N]"""

import argparse
import os
import sys

from kiv.serving import StartupError

from . import create_app

parser = argparse.ArgumentParser(prog="python -m examples.notes")
parser.add_argument("--data", default=None,
                    help="folder for the database and uploads, relative to the current "
                         "folder (default: $NOTES_DATA or ./notes-data)")
parser.add_argument("--host", default="127.0.0.1")
parser.add_argument("--port", type=int, default=8000)
parser.add_argument("--workers", type=int, default=1)
opts = parser.parse_args()
app = create_app(opts.data)
print(f" * notes data in {os.path.dirname(app.config['NOTES_UPLOADS'])}", flush=True)
try:
    app.run(opts.host, opts.port, workers=opts.workers)
except StartupError as exc:  # a port in use, a host that does not resolve: one line
    sys.exit(f"{parser.prog}: error: {exc}")
