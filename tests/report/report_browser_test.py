"""zodiva-report's pages in a real browser (headless Chromium): every page loads without a
console message and every chart is drawn (its canvas holds pixels of its series' colours,
which the page's script records per canvas and --dump-dom shows).

    report_browser_test.py ZODIVA_REPORT TIMELINES_DIR [--runs ZODIVA NEWSD] [--screenshot FILE]

The pages: the timelines under TIMELINES_DIR (two runs to compare, a sweep, a killed run, one
whose server name is markup), and with --runs a report of two short real runs of ZODIVA
against NEWSD on loopback, each with --timeline. --screenshot writes a picture of the report
of two runs (the real ones with --runs). Exit 0 when every page passes, 1 on a fault, 77
(skipped) when Chromium is not installed.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "integration"))
from ZodivaRun import Newsd, stretched_run_seconds, zodiva_argv  # noqa: E402

SKIP = 77
BROWSER_SECONDS = 60
# Without these, Chromium reaches out to the network at start-up; the machines that run the
# tests have none, and a page of ours must need none.
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                  "--disable-background-networking", "--disable-component-update",
                  "--disable-sync", "--no-first-run", "--hide-scrollbars"]


def browser():
    for name in ("chromium", "chromium-browser"):
        path = shutil.which(name)
        if path:
            return path
    return None


def run_browser(chromium, work, page, *extra):
    """Chromium on the page with a profile of its own; (stdout, stderr)."""
    profile = tempfile.mkdtemp(prefix="profile-", dir=work)
    argv = [chromium] + CHROMIUM_FLAGS + ["--user-data-dir=" + profile] + list(extra) + \
           ["file://" + os.path.abspath(page)]
    done = subprocess.run(argv, capture_output=True, text=True, timeout=BROWSER_SECONDS)
    return done.stdout, done.stderr


def make_report(tool, timelines, page, labels=(), cwd=None):
    argv = [os.path.abspath(tool)] + list(timelines) + ["-o", os.path.abspath(page)]
    for label in labels:
        argv += ["--label", label]
    done = subprocess.run(argv, capture_output=True, text=True, timeout=60, cwd=cwd)
    if done.returncode != 0:
        raise AssertionError("zodiva-report exit %d: %s" % (done.returncode, done.stderr))
    match = re.search(r": (\d+) timelines?, (\d+) charts", done.stdout)
    if not match:
        raise AssertionError("zodiva-report said: " + done.stdout)
    return int(match.group(2))


def attributes(tag):
    return dict(re.findall(r'([\w-]+)="([^"]*)"', tag))


def page_problems(dom, log, charts):
    """What is wrong with the page as the browser left it; empty when nothing."""
    problems = []
    consoles = [line for line in log.splitlines() if ":CONSOLE" in line]
    problems += ["console: " + line for line in consoles]
    body = re.search(r"<body([^>]*)>", dom)
    if not body:
        return problems + ["no <body> in the browser's DOM"]
    body = attributes(body.group(1))
    if "data-problems" in body:
        problems.append("the page's script: " + body["data-problems"])
    if body.get("data-charts") != str(charts) or body.get("data-charts-drawn") != str(charts):
        problems.append("%s charts drawn of %s in the data, %d expected" % (
            body.get("data-charts-drawn"), body.get("data-charts"), charts))
    canvases = [attributes(tag) for tag in re.findall(r"<canvas([^>]*)>", dom)]
    if len(canvases) != charts:
        problems.append("%d canvases for %d charts" % (len(canvases), charts))
    for canvas in canvases:
        if canvas.get("data-drawn") != "yes" or int(canvas.get("data-points", "0")) == 0:
            problems.append("chart %s not drawn (drawn=%s, points=%s)" % (
                canvas.get("id"), canvas.get("data-drawn"), canvas.get("data-points")))
    title = re.search(r"<title>([^<]*)</title>", dom)
    if not title or not title.group(1).startswith("zodiva report:"):
        problems.append("the page's title was changed: %r" % (title and title.group(1)))
    return problems


def check(chromium, work, page, charts, name):
    dom, log = run_browser(chromium, work, page, "--enable-logging=stderr", "--v=0",
                           "--virtual-time-budget=5000", "--window-size=1280,1000",
                           "--dump-dom")
    problems = page_problems(dom, log, charts)
    for problem in problems:
        print("FAIL %s: %s" % (name, problem))
    if not problems:
        print("ok   %s: %d charts drawn, no console message" % (name, charts))
    return not problems


def record_runs(zodiva, newsd_path, work, seconds):
    """Two short runs against one newsd, with 1 and then 3 connections, each writing its
    timeline; the timelines' paths."""
    newsd = Newsd(newsd_path, work)
    try:
        paths = []
        for connections in (1, 3):
            path = os.path.join(work, "%d-connections.jsonl" % connections)
            argv = zodiva_argv(zodiva, newsd.address, os.path.join(work, "run%d" % connections),
                               stretched_run_seconds(seconds), connections,
                               ["--timeline", path])
            done = subprocess.run(argv, capture_output=True, text=True, timeout=120)
            if done.returncode != 0:
                raise AssertionError("zodiva exit %d: %s" % (done.returncode, done.stderr))
            with open(path) as timeline:
                seconds = sum('"event":"second"' in line for line in timeline)
            if seconds < 2:
                raise AssertionError("%s holds %d seconds" % (path, seconds))
            paths.append(path)
        return paths
    finally:
        newsd.stop()


def main(argv):
    if len(argv) < 3:
        print(__doc__)
        return 2
    tool, timelines = argv[1], argv[2]
    screenshot = argv[argv.index("--screenshot") + 1] if "--screenshot" in argv else None
    runs = [os.path.abspath(path) for path in argv[argv.index("--runs") + 1:argv.index("--runs") + 3]] \
        if "--runs" in argv else None
    chromium = browser()
    if not chromium:
        print("skipped: Chromium is not installed (scripts/install-deps installs it)")
        return SKIP
    ok = True
    with tempfile.TemporaryDirectory(prefix="zodiva-report-") as work:
        # Two runs compared, a sweep, a killed run and one whose server name is markup.
        page = os.path.join(work, "all.html")
        files = [os.path.join(timelines, name) for name in
                 ("before.jsonl", "after.jsonl", "sweep.jsonl", "killed.jsonl", "hostile.jsonl")]
        ok &= check(chromium, work, page, make_report(tool, files, page), "five timelines")
        page = os.path.join(work, "one.html")
        ok &= check(chromium, work, page,
                    make_report(tool, [files[0]], page, labels=["<b>before</b>"]), "one run")
        compared = files[:2]
        if runs:
            # A picture for people shows a little more than the test needs.
            compared = record_runs(runs[0], runs[1], work, 10 if screenshot else 3)
            page = os.path.join(work, "runs.html")
            ok &= check(chromium, work, page,
                        make_report(tool, compared, page, labels=["1 connection"]),
                        "two real runs")
            with open(page) as html:
                text = html.read()
            for name in ("1 connection", "3-connections.jsonl", "127.0.0.1"):
                if name not in text:
                    print("FAIL two real runs: the page does not name %s" % name)
                    ok = False
        if screenshot and ok:
            # Named as a user would name them, from their folder.
            page = os.path.join(work, "two.html")
            make_report(tool, [os.path.basename(path) for path in compared], page,
                        cwd=os.path.dirname(compared[0]))
            run_browser(chromium, work, page, "--window-size=1200,1600",
                        "--screenshot=" + os.path.abspath(screenshot))
            print("wrote", screenshot)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
