"""The session app on Flask plus /page: the same Jinja2 page as kiv_page_app.py."""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from flask import g, render_template, session  # noqa: E402
from flask_session_app import app  # noqa: E402

app.root_path = HERE
ITEMS = [{"name": f"item <{i}>", "price": i * 1.25} for i in range(20)]


@app.route("/page")
def page():
    return render_template("bench_page.html", title="Bench page", user=g.user,
                           visits=session.get("visits", 0), items=ITEMS,
                           note="Escaped: <script>&</script>")
