"""report.html opened in a real headless browser: it loads cleanly, every plot decodes, the headline is the record's."""

import json
import pathlib
import re
import shutil

import pytest

from vantel_tools import cli

CHROMIUM = shutil.which("chromium")
CHROMEDRIVER = shutil.which("chromedriver")


@pytest.fixture(scope="module")
def browser():
    if not (CHROMIUM and CHROMEDRIVER):
        pytest.skip("chromium and chromium-driver are not installed (scripts/setup.sh installs them when run as root)")
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ["--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu"]:
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    # The driver and the browser run as child processes.
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    yield driver
    driver.quit()


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    """Each command's results folder and the JSON file holding its headline figure."""
    root = tmp_path_factory.mktemp("pages")
    for kind, views in [("intrinsic", 10), ("hand-eye", 8), ("rig", 4)]:
        assert cli.main(["simulate", kind, str(root / kind), "--views", str(views), "--seed", "4"]) == 0
    target = {kind: json.loads((root / kind / "truth.json").read_text())["target"] for kind in ["intrinsic", "hand-eye",
                                                                                                 "rig"]}
    argv = {"intrinsic": ["intrinsic", root / "intrinsic", "--threshold", "0.25", "--target", target["intrinsic"]],
            "hand-eye": ["hand-eye", root / "hand-eye", "--target", target["hand-eye"]],
            "compare": ["hand-eye", root / "hand-eye", "--target", target["hand-eye"], "--compare"],
            "rig": ["rig", root / "rig", "--target", target["rig"]]}
    for name, arguments in argv.items():
        assert cli.main([str(part) for part in arguments] + ["-o", str(root / f"out-{name}")]) == 0
    return root


def headline_in_json(root: pathlib.Path, name: str) -> str:
    folder = root / f"out-{name}"
    if name == "intrinsic":
        return f"{json.loads((folder / 'calibration_summary.json').read_text())['rms_reprojection_error_px']:.4f}"
    if name == "hand-eye":
        return f"{json.loads((folder / 'hand_eye_summary.json').read_text())['rms_reprojection_error_px']:.4f}"
    if name == "compare":
        return f"{json.loads((folder / 'method_comparison.json').read_text())['translation_spread_mm']:.2f}"
    return f"{max(c['rms_px'] for c in json.loads((folder / 'rig_summary.json').read_text())['cameras']):.4f}"


@pytest.mark.parametrize("name, images", [("intrinsic", 4), ("hand-eye", 2), ("compare", 1), ("rig", 1)])
def test_report_page_in_a_browser(browser, runs, name, images):
    page = runs / f"out-{name}" / "report.html"
    # Self-contained: every source is inline data, nothing is fetched.
    assert re.findall(r'(?:src|href)="([^"]*)"', page.read_text()) and all(
        source.startswith("data:image/png;base64,") for source in re.findall(r'(?:src|href)="([^"]*)"',
                                                                            page.read_text()))
    browser.get_log("browser")  # what earlier pages logged
    browser.get(page.as_uri())
    decoded = browser.execute_script(
        "return Array.from(document.images).map(image => image.complete && image.naturalWidth > 0)")
    assert decoded == [True] * images
    assert [entry for entry in browser.get_log("browser") if entry["level"] in ("SEVERE", "WARNING")] == []
    assert browser.find_element("id", "headline-value").text == headline_in_json(runs, name)


def test_per_view_table_marks_the_views_above_the_threshold(browser, runs):
    summary = json.loads((runs / "out-intrinsic" / "calibration_summary.json").read_text())
    browser.get((runs / "out-intrinsic" / "report.html").as_uri())
    rows = browser.execute_script(
        "return Array.from(document.querySelectorAll('tbody tr')).map(row => "
        "[row.className, ...Array.from(row.cells).map(cell => cell.textContent)])")
    expected = [["flagged" if view["above_threshold"] else "", view["image"], str(view["corners"]),
                 f"{view['rms_px']:.4f}", "yes" if view["above_threshold"] else "no"] for view in summary["per_view"]]
    assert rows == expected and any(view["above_threshold"] for view in summary["per_view"])
