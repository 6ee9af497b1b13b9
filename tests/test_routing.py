"""Routing as Flask apps write it: views per method, blueprints, url_for."""

import pytest

from kiv import App, Blueprint, BuildError, request, url_for


@pytest.fixture(params=[True, False], ids=["fast", "dispatch"])
def fast(request):
    # fast=False sends every request through the dispatch callable instead of the pipeline.
    return request.param


@pytest.fixture
def app(fast):
    app = App("routing", fast=fast)

    @app.route("/items")
    def list_items():
        return "list"

    @app.route("/items", methods=["POST"])
    def create_item():
        return "created", 201

    @app.route("/items/<int:item_id>", methods=["PUT"])
    def put_item(item_id):
        return {"put": item_id}

    @app.route("/items/<int:item_id>")
    def get_item(item_id):
        return {"get": item_id, "endpoint": request.endpoint}

    @app.route("/u/<int:id>")
    def user(id):
        return {"id": id}

    @app.route("/café")
    def cafe():
        return "cafe"

    @app.route("/p/<path:rest>")
    def path_view(rest):
        return rest

    @app.route("/n/<float:x>/<uuid:k>/<any(a,b):kind>")
    def typed(x, k, kind):
        return "typed"

    @app.route("/pages/<int:page>")
    @app.route("/pages/", defaults={"page": 1})
    def pages(page):
        return {"page": page}

    return app


@pytest.mark.parametrize("method,path,status,body", [
    ("GET", "/items", 200, b"list"),
    ("POST", "/items", 201, b"created"),
    ("HEAD", "/items", 200, b""),
    ("PUT", "/items/3", 200, b'{"put":3}'),
    ("GET", "/items/3", 200, b'{"endpoint":"get_item","get":3}'),
    ("GET", "/u/5", 200, b'{"id":5}'),
    ("GET", "/pages/", 200, b'{"page":1}'),
    ("GET", "/pages/4", 200, b'{"page":4}'),
])
def test_each_method_reaches_its_own_view(app, method, path, status, body):
    r = app.test_client().open(path, method=method)
    assert (r.status_code, r.data) == (status, body)


@pytest.mark.parametrize("method,path,allow", [
    ("DELETE", "/items", "GET, HEAD, OPTIONS, POST"),
    ("OPTIONS", "/items", "GET, HEAD, OPTIONS, POST"),
    ("DELETE", "/items/1", "GET, HEAD, OPTIONS, PUT"),
])
def test_allow_is_the_union_of_the_views(app, method, path, allow):
    r = app.test_client().open(path, method=method)
    assert r.status_code == (200 if method == "OPTIONS" else 405)
    assert r.headers["Allow"] == allow


def test_same_view_registered_twice_merges_methods():
    app = App("merge")

    @app.route("/x", methods=["POST"])
    @app.route("/x")
    def x():
        return request.method

    c = app.test_client()
    assert [c.get("/x").text, c.post("/x").text] == ["GET", "POST"]


def test_endpoint_taken_by_another_view_is_refused(app):
    with pytest.raises(AssertionError):
        app.add_url_rule("/other", "list_items", lambda: "x")


def test_invalid_rule_is_refused_at_registration():
    app = App("bad")
    with pytest.raises(ValueError, match="leading slash"):
        app.add_url_rule("nope", "nope", lambda: "x")


@pytest.fixture
def bp_app():
    app = App("bps")
    admin = Blueprint("admin", __name__, url_prefix="/admin")
    seen = []

    @admin.before_request
    def only_admin():
        seen.append(("admin", request.endpoint))

    @app.before_request
    def everywhere():
        seen.append(("app", request.endpoint))

    @admin.route("/")
    def index():
        return url_for(".users", page=2)

    @admin.route("/users")
    def users():
        return url_for("index")

    @admin.errorhandler(404)
    def admin_missing(e):
        return "admin says missing", 404

    @admin.route("/gone")
    def gone():
        from kiv import abort
        abort(404)

    @app.route("/")
    def index():
        return "root"

    reports = Blueprint("reports", __name__)

    @reports.route("/r/<int:n>")
    def show(n):
        return url_for("admin.reports.show", n=n)

    admin.register_blueprint(reports)
    app.register_blueprint(admin)
    app.seen = seen
    return app


@pytest.mark.parametrize("path,body,seen", [
    ("/admin/", "/admin/users?page=2", [("app", "admin.index"), ("admin", "admin.index")]),
    ("/admin/users", "/", [("app", "admin.users"), ("admin", "admin.users")]),
    ("/", "root", [("app", "index")]),
    ("/admin/r/4", "/admin/r/4",
     [("app", "admin.reports.show"), ("admin", "admin.reports.show")]),
])
def test_blueprint_routes_and_hooks(bp_app, path, body, seen):
    r = bp_app.test_client().get(path)
    assert (r.status_code, r.text, bp_app.seen) == (200, body, seen)


def test_blueprint_error_handler_only_for_its_views(bp_app):
    c = bp_app.test_client()
    assert c.get("/admin/gone").text == "admin says missing"
    assert "Not Found" in c.get("/nowhere").text


def test_blueprint_name_clash_is_refused(bp_app):
    with pytest.raises(ValueError):
        bp_app.register_blueprint(Blueprint("admin", __name__))


@pytest.mark.parametrize("endpoint,values,url", [
    ("get_item", {"item_id": 3}, "/items/3"),
    ("get_item", {"item_id": 3, "q": "a b", "tag": ["x", "y"]}, "/items/3?q=a+b&tag=x&tag=y"),
    ("list_items", {"_anchor": "top part"}, "/items#top%20part"),
    ("cafe", {}, "/caf%C3%A9"),
    ("path_view", {"rest": "a b/c"}, "/p/a%20b/c"),
    ("user", {"id": "12"}, "/u/12"),
    ("typed", {"x": 1.5, "k": "123e4567-e89b-12d3-a456-426614174000", "kind": "b"},
     "/n/1.5/123e4567-e89b-12d3-a456-426614174000/b"),
    ("pages", {"page": 4}, "/pages/4"),
    ("pages", {}, "/pages/"),
    ("static", {"filename": "css/site.css"}, "/files/css/site.css"),
])
def test_url_for_builds_what_the_router_matches(app, tmp_path, endpoint, values, url):
    app.static("/files", tmp_path)
    with app.test_request_context():
        assert url_for(endpoint, **values) == url


@pytest.mark.parametrize("endpoint,values", [
    ("nope", {}),
    ("get_item", {}),
    ("get_item", {"item_id": "x"}),
    ("typed", {"x": 1.0, "k": "not-a-uuid", "kind": "a"}),
    ("typed", {"x": 1.0, "k": "123e4567-e89b-12d3-a456-426614174000", "kind": "c"}),
])
def test_url_for_refuses_what_it_cannot_build(app, endpoint, values):
    with app.test_request_context(), pytest.raises(BuildError):
        url_for(endpoint, **values)


def test_url_for_built_urls_reach_their_views(app):
    c = app.test_client()
    with app.test_request_context():
        urls = [url_for("cafe"), url_for("path_view", rest="a b/c"), url_for("pages", page=9)]
    assert [c.get(u).data for u in urls] == [b"cafe", b"a b/c", b'{"page":9}']


def test_url_for_external_uses_the_request_host_and_scheme():
    app = App("ext")

    @app.route("/here")
    def here():
        return {"ext": url_for("here", _external=True),
                "https": url_for("here", _scheme="https", _anchor="x")}

    r = app.test_client().get("/here", headers={"Host": "example.com:8080"})
    assert r.json == {"ext": "http://example.com:8080/here",
                      "https": "https://example.com:8080/here#x"}
    with app.app_context():
        assert url_for("here") == "/here"
        with pytest.raises(RuntimeError):
            url_for("here", _external=True)
        app.config["SERVER_NAME"] = "api.test"
        assert url_for("here", _external=True) == "http://api.test/here"


def test_method_view_routes_by_method():
    from kiv import MethodView

    class Item(MethodView):
        def get(self, id):
            return {"get": id}

        def post(self, id):
            return {"post": id}, 201

    app = App("mv")
    app.add_url_rule("/i/<int:id>", view_func=Item.as_view("item"))
    c = app.test_client()
    assert [c.get("/i/1").json, c.post("/i/2").status_code, c.put("/i/3").status_code] == [
        {"get": 1}, 201, 405]


@pytest.mark.parametrize("host,status,body", [
    ("acme.example.org", 200, "acme http://beta.example.org/"),
    ("shop.test:8080", 200, "shop"), ("acme.example.com", 404, None),
])
def test_host_matching(host, status, body):
    app = App("hosts", host_matching=True, static_folder=None)
    app.add_url_rule("/", "tenant", lambda t: f"{t} {url_for('tenant', t='beta')}",
                     host="<t>.example.org")
    app.add_url_rule("/", "shop", lambda: "shop", host="shop.test")
    r = app.test_client().get("/", headers={"Host": host})
    assert (r.status_code, r.text if status == 200 else None) == (status, body)


@pytest.mark.parametrize("late", ["endpoint", "rule"])
def test_a_rule_may_come_before_its_view(late):
    app = App("x")
    app.add_url_rule("/", endpoint="i")  # built now, answers once a view comes
    app.endpoint("i")(str) if late == "endpoint" else app.add_url_rule("/s", "i", str)
    assert app.test_client().get("/").status_code == 200 and app.url_for("i") == "/"
