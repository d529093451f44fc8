"""Headless Chromium driven through Selenium, for the report's browser tests, its benchmark and
its screenshots: Debian's chromium and chromium-driver (scripts/bootstrap installs them), never a
browser fetched at run time.

`open_browser()` gives a driver that records the console and the network; `why_not()` says in
one line why none can be had here, or None.
"""

from __future__ import annotations

import json
import os
import shutil
from typing import Any

BROWSERS = ("chromium", "chromium-browser", "google-chrome")
DRIVERS = ("chromedriver",)
# variables of the sanitizer run that must not reach the browser (it is no build of ours)
_UNINHERITED = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")


def _which(names: tuple[str, ...]) -> str | None:
    for name in names:
        found = shutil.which(name)
        if found:
            return found
    return None


def why_not() -> str | None:
    """Why no headless browser can run here, in one line; None when one can."""
    try:
        import selenium  # noqa: F401
    except ImportError:
        return "selenium is not installed (pip install 'torvex[test]')"
    if _which(BROWSERS) is None:
        return "no Chromium here (scripts/bootstrap --browser installs Debian's chromium)"
    if _which(DRIVERS) is None:
        return "no chromedriver here (scripts/bootstrap --browser installs chromium-driver)"
    return None


def open_browser(width: int = 1400, height: int = 900) -> Any:
    """A headless Chromium with its console and network logs recorded."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = _which(BROWSERS) or ""
    for argument in (
        "--headless=new",
        "--no-sandbox",  # CI runs as root, where Chromium's sandbox cannot start
        "--disable-dev-shm-usage",
        "--disable-gpu",
        "--disable-extensions",
        "--no-first-run",
        "--disable-background-networking",
        "--disable-component-update",
        "--disable-sync",
        "--disable-default-apps",
        "--hide-scrollbars",
        f"--window-size={width},{height}",
    ):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
    env = {k: v for k, v in os.environ.items() if k not in _UNINHERITED}
    service = Service(executable_path=_which(DRIVERS), env=env)
    return webdriver.Chrome(service=service, options=options)


def console_errors(driver: Any) -> list[str]:
    """The console's errors and warnings since the last call."""
    return [
        entry["message"]
        for entry in driver.get_log("browser")
        if entry["level"] in ("SEVERE", "WARNING")
    ]


def requested_urls(driver: Any) -> list[str]:
    """Every URL the page asked the network for since the last call, from the performance log's
    DevTools events (requests, redirects and web sockets alike)."""
    urls = []
    for entry in driver.get_log("performance"):
        message = json.loads(entry["message"])["message"]
        params = message.get("params", {})
        if message["method"] == "Network.requestWillBeSent":
            urls.append(params["request"]["url"])
        elif message["method"] == "Network.webSocketCreated":
            urls.append(params["url"])
    return urls


def wait_for(driver: Any, script: str, timeout: float = 20.0) -> Any:
    """Waits until `script` (a JavaScript expression) is truthy, and returns its value."""
    from selenium.webdriver.support.ui import WebDriverWait

    return WebDriverWait(driver, timeout, poll_frequency=0.02).until(
        lambda d: d.execute_script(f"return {script};")
    )
