"""python -m examples.notes --data FOLDER [--host H] [--port P] [--workers N]"""

import argparse

from . import create_app

parser = argparse.ArgumentParser(prog="python -m examples.notes")
parser.add_argument("--data", default=None,
                    help="folder for the database and uploads (default: $NOTES_DATA or "
                         "./notes-data)")
parser.add_argument("--host", default="127.0.0.1")
parser.add_argument("--port", type=int, default=8000)
parser.add_argument("--workers", type=int, default=1)
opts = parser.parse_args()
create_app(opts.data).run(opts.host, opts.port, workers=opts.workers)
