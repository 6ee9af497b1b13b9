"""The notes example through the test client, and in headless Chromium over a real socket."""

import io
import time

import pytest
from conftest import headless_chromium

from examples.notes import create_app
from kiv import NotFound


@pytest.fixture
def app(tmp_path):
    return create_app(str(tmp_path / "data"))


def sign_up_and_in(c, name="ann", password="correct horse"):
    c.post("/signup", data={"username": name, "password": password})
    return c.post("/login", data={"username": name, "password": password},
                  follow_redirects=True)


def test_accounts_notes_files_and_api(app, tmp_path):
    c = app.test_client()
    assert c.get("/notes").headers["Location"] == "/login"
    assert c.get("/api/notes").status_code == 401
    r = sign_up_and_in(c)
    assert "Signed in." in r.text and "No notes yet." in r.text
    r = c.post("/notes", data={"title": "<b>first</b>", "body": "hello",
                               "file": (io.BytesIO(b"\x00PDF data"), "../re port.pdf")},
               follow_redirects=True)
    assert "&lt;b&gt;first&lt;/b&gt;" in r.text and "Note saved." in r.text
    notes = c.get("/api/notes").json["notes"]
    assert [(n["title"], n["filename"]) for n in notes] == [("<b>first</b>", "re_port.pdf")]
    r = c.get(notes[0]["file"])
    assert r.data == b"\x00PDF data"
    assert r.headers["Content-Disposition"] == 'attachment; filename="re_port.pdf"'
    r = c.post("/api/notes", json={"title": "from the API"})
    assert (r.status_code, r.json["title"], r.json["file"]) == (201, "from the API", None)
    # Another user sees none of it, not even the file.
    other = app.test_client()
    sign_up_and_in(other, "bob")
    assert other.get("/api/notes").json == {"notes": []}
    assert other.get(notes[0]["file"]).status_code == 404


@pytest.mark.parametrize("form, message", [
    ({"username": "ann", "password": "short"}, "at least 8 characters"),
    ({"username": "taken", "password": "long enough"}, "That user name is taken."),
])
def test_signup_refusals(app, form, message):
    c = app.test_client()
    c.post("/signup", data={"username": "taken", "password": "long enough"})
    assert message in c.post("/signup", data=form).text


@pytest.mark.parametrize("password", ["wrong password", ""])
def test_wrong_password_is_refused(app, password):
    c = app.test_client()
    c.post("/signup", data={"username": "ann", "password": "correct horse"})
    r = c.post("/login", data={"username": "ann", "password": password})
    assert "Wrong user name or password." in r.text
    assert 'value="ann"' in r.text  # the name stays in the form
    assert c.get("/api/notes").status_code == 401


@pytest.mark.parametrize("change,after,files_left", [
    ({"title": "new", "body": "b"}, [("new", "a.txt")], 1),
    ({"title": "new", "body": "b", "remove_file": "on"}, [("new", None)], 0),
    ({"title": "new", "file": (io.BytesIO(b"2"), "b.txt")}, [("new", "b.txt")], 1),
    ({"title": " ", "body": "b"}, [("old", "a.txt")], 1),  # refused: a note needs a title
    ("delete", [], 0), ("api-delete", [], 0),
    ({"title": "api", "body": "b"}, [("api", "a.txt")], 1),
])
def test_edit_and_delete(app, tmp_path, change, after, files_left):
    c, other = app.test_client(), app.test_client()
    sign_up_and_in(c)
    sign_up_and_in(other, "bob")
    c.post("/notes", data={"title": "old", "body": "a", "file": (io.BytesIO(b"1"), "a.txt")})
    url = f"/notes/{c.get('/api/notes').json['notes'][0]['id']}"
    assert other.post(url + "/delete").status_code == other.get(url + "/edit").status_code == 404
    if change == "delete":
        c.post(url + "/delete")
    elif change == "api-delete":
        assert c.delete("/api" + url).status_code == 204
    elif change["title"] == "api":
        assert c.put("/api" + url, json=change).json["title"] == "api"
    else:
        assert 'value="old"' in c.get(url + "/edit").text
        c.post(url + "/edit", data=change)
    assert [(n["title"], n["filename"]) for n in c.get("/api/notes").json["notes"]] == after
    assert len(list((tmp_path / "data" / "uploads").iterdir())) == files_left


@pytest.mark.parametrize("method,path,kwargs,status", [
    ("post", "/api/notes", {"json": [1, 2]}, 400),
    ("post", "/api/notes", {"json": {"title": 3}}, 400),
    ("post", "/api/notes", {"data": b"{", "content_type": "application/json"}, 400),
    ("delete", "/api/notes", {}, 405), ("get", "/api/notes/999", {}, 404),
    ("post", "/api/notes", {"data": b"x" * (16 << 20) + b"x", "content_type": "text/plain"}, 413),
    ("get", "/api/boom", {}, 500),
    ("delete", "/notes", {}, 405),
    ("post", "/notes", {"data": {"title": "t", "body": "x" * 600_000}}, 413),
    ("post", "/notes", {"data": {"title": "t", "file": (io.BytesIO(b"x" * (16 << 20)), "f")}}, 413),
])
def test_errors_are_json_under_api_and_pages_in_the_layout(app, method, path, kwargs, status):
    app.get("/api/boom")(lambda: 1 / 0)
    c = app.test_client()
    sign_up_and_in(c)
    r = getattr(c, method)(path, **kwargs)
    assert r.status_code == status
    assert (set(r.json) == {"error"} if path.startswith("/api/") else
            'class="brand"' in r.text and 'id="who"' in r.text and 'id="error"' in r.text)


def test_custom_404_and_static_css(app):
    c = app.test_client()
    r = c.get("/no/such/page")
    assert r.status_code == 404 and 'id="not-found"' in r.text
    assert c.get("/api/nothing").json == {"error": NotFound.description}
    assert b"font" in c.get("/static/style.css").data


def test_passwords_are_stored_hashed(app, tmp_path):
    import sqlite3
    sign_up_and_in(app.test_client(), "ann", "correct horse")
    conn = sqlite3.connect(tmp_path / "data" / "notes.sqlite3")
    (stored,) = conn.execute("SELECT password FROM users").fetchone()
    conn.close()
    assert stored.startswith("scrypt$") and "correct horse" not in stored


# --- the same in a real browser ---------------------------------------------------------

def _wait_for_file(path, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if path.exists():
            return path.read_bytes()
        time.sleep(0.1)
    return None


def test_in_headless_chromium(app, tmp_path):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    def shows(text):
        # A click that submits a form returns before the next page has loaded.
        WebDriverWait(driver, 30).until(lambda d: text in d.page_source)
        return True

    downloads = tmp_path / "downloads"
    downloads.mkdir()
    upload = tmp_path / "plan.txt"
    upload.write_bytes(b"the plan, in a file\n")
    sid = app.server.start("127.0.0.1", 0)
    base = "http://" + app.server.bound_addr(sid)
    driver = headless_chromium({"download.default_directory": str(downloads),
                                "download.prompt_for_download": False})
    try:
        driver.set_page_load_timeout(30)
        driver.get(base + "/signup")
        driver.find_element(By.ID, "username").send_keys("carol")
        driver.find_element(By.ID, "password").send_keys("a good password")
        driver.find_element(By.ID, "submit").click()
        assert shows("Account created")
        driver.find_element(By.ID, "username").send_keys("carol")
        driver.find_element(By.ID, "password").send_keys("a good password")
        driver.find_element(By.ID, "submit").click()
        assert shows("Signed in.") and driver.find_element(By.ID, "who").text == "carol"
        driver.find_element(By.ID, "title").send_keys("Shopping")
        driver.find_element(By.ID, "body").send_keys("milk\nbread")
        driver.find_element(By.ID, "file").send_keys(str(upload))
        driver.find_element(By.ID, "save").click()
        assert shows("Note saved.")
        note = driver.find_element(By.CSS_SELECTOR, ".note")
        assert "Shopping" in note.text and "milk\nbread" in note.text  # two lines
        link = note.find_element(By.CSS_SELECTOR, "a.file")
        assert link.text == "plan.txt"
        link.click()
        assert _wait_for_file(downloads / "plan.txt") == b"the plan, in a file\n"
        # A phone-sized window: nothing wider than the screen, on the list and the editor.
        driver.set_window_size(390, 844)
        narrow = "return window.innerWidth <= 390 ? document.documentElement.scrollWidth : -1"
        assert 0 < driver.execute_script(narrow) <= 390
        driver.find_element(By.CSS_SELECTOR, ".note a.edit").click()
        assert shows("Edit note")
        driver.find_element(By.ID, "remove-file").click()
        driver.find_element(By.ID, "save").click()
        assert shows("Note updated.")
        note = driver.find_element(By.CSS_SELECTOR, ".note")
        assert "milk\nbread" in note.text and not note.find_elements(By.CSS_SELECTOR, "a.file")
        note.find_element(By.CSS_SELECTOR, "button.delete").click()
        assert shows("Note deleted.") and shows("No notes yet.")
        driver.find_element(By.ID, "logout").click()
        assert shows("Signed out.")
        driver.get(base + "/notes")
        assert driver.current_url == base + "/login"
    finally:
        driver.quit()
        app.server.stop(sid, 5)
