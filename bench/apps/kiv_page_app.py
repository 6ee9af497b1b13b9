"""The session app on kiv plus /page: a Jinja2 page rendered with values from the session.
flask_page_app.py is the same for Flask."""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from kiv import g, render_template, session  # noqa: E402
from kiv_session_app import app  # noqa: E402

app.root_path = HERE
ITEMS = [{"name": f"item <{i}>", "price": i * 1.25} for i in range(20)]


@app.route("/page")
def page():
    return render_template("bench_page.html", title="Bench page", user=g.user,
                           visits=session.get("visits", 0), items=ITEMS,
                           note="Escaped: <script>&</script>")
