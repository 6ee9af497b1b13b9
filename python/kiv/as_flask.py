"""Importing this module makes `flask` mean kiv in this process (see kiv.compat):
`pytest -p kiv.as_flask` runs an unchanged Flask app's tests on kiv."""

from .compat import install_as_flask

install_as_flask()
