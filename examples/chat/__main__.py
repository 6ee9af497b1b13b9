import argparse

from . import create_app

parser = argparse.ArgumentParser(prog="python -m examples.chat")
parser.add_argument("--host", default="127.0.0.1")
parser.add_argument("--port", type=int, default=8000)
opts = parser.parse_args()
create_app().run(opts.host, opts.port)
