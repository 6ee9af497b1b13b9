"""The chat example: its message check, and two headless Chromium windows in one room."""

import os
import re
import signal
import subprocess
import sys
import time

import pytest
from conftest import headless_chromium

from examples.chat.app import parse_message

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@pytest.mark.parametrize("raw, want", [
    ('{"name": " ann ", "text": " hi "}', {"name": "ann", "text": "hi"}),
    ('{"name": "ann", "text": "' + "x" * 3000 + '"}', {"name": "ann", "text": "x" * 2000}),
    ('{"name": "ann", "text": "   "}', None),
    ('{"name": 5, "text": "hi"}', None),
    ('["ann", "hi"]', None),
    ("not json", None),
    (b'{"name": "ann", "text": "hi"}', None),  # binary frames are not chat messages
])
def test_parse_message(raw, want):
    assert parse_message(raw) == want


@pytest.fixture
def server():
    """python -m examples.chat on a loopback port the system picks; yields its base URL."""
    env = {**os.environ,
           "PYTHONPATH": os.pathsep.join(filter(None, [ROOT, os.environ.get("PYTHONPATH")]))}
    proc = subprocess.Popen([sys.executable, "-m", "examples.chat", "--port", "0"], cwd=ROOT,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)
    try:
        deadline = time.monotonic() + 30
        line = ""
        while time.monotonic() < deadline:
            line = proc.stdout.readline()
            found = re.search(r"http://127\.0\.0\.1:\d+", line)
            if found or not line:
                break
        assert found, f"the chat server did not start: {line!r}"
        yield found.group(0)
    finally:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def test_two_browsers_in_one_room(server):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    def messages(driver):
        return [li.text for li in driver.find_elements(By.CSS_SELECTOR, "#messages li")]

    def connected(driver):
        WebDriverWait(driver, 20).until(
            lambda d: d.find_element(By.ID, "status").text == "connected")

    def say(driver, name, text):
        driver.find_element(By.ID, "name").send_keys(name)
        driver.find_element(By.ID, "text").send_keys(text)
        driver.find_element(By.ID, "submit").click()

    drivers = []
    try:
        for _ in range(3):
            drivers.append(headless_chromium())
        ann, bob, elsewhere = drivers
        for driver, room in ((ann, "kitchen"), (bob, "kitchen"), (elsewhere, "garden")):
            driver.set_page_load_timeout(30)
            driver.get(f"{server}/room/{room}")
            connected(driver)
        say(ann, "ann", "<b>tea</b> is ready")
        for driver in (ann, bob):
            WebDriverWait(driver, 20).until(lambda d: messages(d) == ["ann<b>tea</b> is ready"])
        say(bob, "bob", "coming")
        for driver in (ann, bob):
            WebDriverWait(driver, 20).until(lambda d: len(messages(d)) == 2)
            assert messages(driver)[1] == "bobcoming"
        # Markup a user typed is shown as text.
        assert not ann.find_elements(By.CSS_SELECTOR, "#messages li b b")
        # The other room heard nothing; its own message reaches only itself.
        say(elsewhere, "cat", "meow")
        WebDriverWait(elsewhere, 20).until(lambda d: messages(d) == ["catmeow"])
        assert len(messages(ann)) == 2 and len(messages(bob)) == 2
    finally:
        for driver in drivers:
            driver.quit()
