"""A small JSON API with typed routes and static files.

    python -m kiv run examples.api:app --workers 2
"""

import os
import threading

from kiv import App, abort, request

app = App("api")
app.static("/static", os.path.join(os.path.dirname(os.path.abspath(__file__)), "static"))

_lock = threading.Lock()
_items: dict[int, dict] = {1: {"id": 1, "name": "first", "price": 2.5}}


@app.route("/items")
def list_items():
    with _lock:
        return sorted(_items.values(), key=lambda item: item["id"])


@app.route("/items", methods=["POST"], endpoint="create_item")
def create_item():
    data = request.get_json()
    if not isinstance(data, dict) or not isinstance(data.get("name"), str):
        abort(400, "expected a JSON object with a name")
    with _lock:
        new_id = max(_items, default=0) + 1
        item = {"id": new_id, "name": data["name"], "price": float(data.get("price", 0))}
        _items[new_id] = item
    return item, 201


@app.route("/items/<int:item_id>", methods=["GET", "DELETE"])
def item(item_id):
    with _lock:
        if item_id not in _items:
            abort(404)
        if request.method == "DELETE":
            return _items.pop(item_id)
        return _items[item_id]


@app.route("/prices/<float:limit>")
def cheaper_than(limit):
    with _lock:
        return [i for i in _items.values() if i["price"] <= limit]


@app.route("/whoami")
def whoami():
    return {"remote_addr": request.remote_addr, "pid": os.getpid()}
