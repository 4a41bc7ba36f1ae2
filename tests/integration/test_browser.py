# The viewer page in headless Chromium, read through its DOM: what a person watching it would see.
import shutil
import subprocess

import pytest

from conftest import wait_for

webdriver = pytest.importorskip("selenium.webdriver", reason="needs python3-selenium")
DRIVER = shutil.which("chromedriver")
pytestmark = pytest.mark.skipif(not (DRIVER and shutil.which("chromium")), reason="needs chromium and chromium-driver")
ROWS = "return [...document.querySelectorAll('#events tr')].reverse().map(r => [r.cells[2].textContent, r.cells[1].textContent])"


@pytest.fixture
def page():
    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox"):  # no sandbox: the suite runs as root
        options.add_argument(argument)
    driver = webdriver.Chrome(service=webdriver.chrome.service.Service(DRIVER), options=options)
    yield driver
    driver.quit()  # ends the browser, then the driver by its pid


def test_events_arrive_in_order_and_none_is_lost_or_repeated_when_the_connection_is_cut(start, page):
    relay = start().listening()
    page.get(f"http://127.0.0.1:{relay.stream}/")
    state = lambda: page.find_element("id", "state").text
    assert wait_for(lambda: state() == "open")
    sent = [["<b>first</b> & more", "127.0.0.1"], ["second", "127.0.0.2"], ["third", "127.0.0.3"]]
    for text, source in sent:
        relay.send(text.encode(), source)
    assert wait_for(lambda: page.execute_script(ROWS) == sent)
    # Cut the browser's end of the stream as a broken network would (the relay's end gets a reset);
    # events go on while the page reconnects, and it must resume after the last one it saw.
    subprocess.run(["ss", "-K", "dst", "127.0.0.1", "dport", "=", str(relay.stream)], check=True)
    away = 0
    for n in range(500):
        away += state() != "open"
        sent.append([f"during {n}", "127.0.0.1"])
        relay.send(sent[-1][0].encode())
        if away and state() == "open":
            break
    assert away and state() == "open"
    assert wait_for(lambda: page.execute_script(ROWS) == sent), page.execute_script(ROWS)[-5:]
