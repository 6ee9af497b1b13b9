"""The WSGI scenarios' applications as ASGI, through a2wsgi, for uvicorn."""

from a2wsgi import WSGIMiddleware
from wsgi_real_app import app as wsgi_app

app = WSGIMiddleware(wsgi_app)
