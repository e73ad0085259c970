#!/usr/bin/env python3
"""A real scraper reads zodiva: a headless run against newsd serves /metrics; its text is read
line by line (every line valid, no counter going down), then the scraper's own server scrapes
it and its query API must see a receive rate above zero and latency samples.

usage: metrics_prometheus_test.py NEWSD   (zodiva is taken from the same build folder)
Exits 77 (skipped) only when the scraper's program is not installed.
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ZodivaRun import SKIP, Newsd, binaries, free_port, zodiva_argv  # noqa: E402

RUN_SECONDS = 60          # longer than the checks need; the run is stopped when they are done
WAIT_SECONDS = 45         # the most any one wait below may take
NAME = r"[a-zA-Z_:][a-zA-Z0-9_:]*"
SAMPLE = re.compile(r"(%s)(\{(.*)\})? (\S+)$" % NAME)
LABEL = re.compile(r'([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\]|\\[\\"n])*)"(,|$)')


def fail(message):
    print("FAIL: " + message, flush=True)
    sys.exit(1)


def parse_exposition(text):
    """{(name, sorted label items): value}; fails on any line a scraper would reject."""
    types, samples = {}, {}
    if not text.endswith("\n"):
        fail("the exposition does not end with a line feed")
    for number, line in enumerate(text.splitlines(), 1):
        if line.startswith("# HELP "):
            if not re.match(r"# HELP %s .+$" % NAME, line):
                fail("line %d: bad HELP: %s" % (number, line))
            continue
        if line.startswith("# TYPE "):
            match = re.match(r"# TYPE (%s) (counter|gauge|histogram)$" % NAME, line)
            if not match or match.group(1) in types:
                fail("line %d: bad or repeated TYPE: %s" % (number, line))
            types[match.group(1)] = match.group(2)
            continue
        match = SAMPLE.match(line)
        if not match:
            fail("line %d: not a sample: %s" % (number, line))
        labels, rest = [], match.group(3) or ""
        while rest:
            label = LABEL.match(rest)
            if not label:
                fail("line %d: bad labels: %s" % (number, line))
            labels.append((label.group(1), label.group(2)))
            rest = rest[label.end():]
        try:
            value = float(match.group(4))
        except ValueError:
            fail("line %d: bad value: %s" % (number, line))
        name = match.group(1)
        family = re.sub(r"_(bucket|sum|count)$", "", name)
        family = family if types.get(family) == "histogram" else name
        if family not in types:
            fail("line %d: sample before its TYPE: %s" % (number, line))
        samples[(name, tuple(sorted(labels)))] = (types[family], value)
    return samples


def scrape(url):
    with urllib.request.urlopen(url, timeout=10) as reply:
        if "version=0.0.4" not in reply.headers.get("Content-Type", ""):
            fail("content type " + reply.headers.get("Content-Type", ""))
        return reply.read().decode("utf-8")


def check_scrapes_directly(url):
    previous = None
    for _ in range(3):
        samples = parse_exposition(scrape(url))
        if previous is not None:
            for key, (kind, value) in previous.items():
                if kind in ("counter", "histogram"):
                    if key not in samples:
                        fail("%s vanished between scrapes" % (key,))
                    if samples[key][1] < value:
                        fail("%s went down: %s -> %s" % (key, value, samples[key][1]))
        previous = samples
        time.sleep(1.0)
    names = {name for name, _ in previous}
    for name in ("zodiva_received_bytes_total", "zodiva_articles_completed_total",
                 "zodiva_connections", "zodiva_failures_total", "zodiva_rate_kib_per_second",
                 "zodiva_command_duration_seconds_bucket"):
        if name not in names:
            fail(name + " is not served")
    print("ok: 3 scrapes, every line valid, no counter went down", flush=True)


def query(api, promql):
    url = api + "/api/v1/query?" + urllib.parse.urlencode({"query": promql})
    with urllib.request.urlopen(url, timeout=10) as reply:
        answer = json.load(reply)
    if answer.get("status") != "success":
        fail("query %s: %s" % (promql, answer))
    return [float(item["value"][1]) for item in answer["data"]["result"]]


def wait_for(what, probe):
    deadline = time.monotonic() + WAIT_SECONDS
    while time.monotonic() < deadline:
        try:
            result = probe()
            if result:
                return result
        except OSError:
            pass
        time.sleep(0.5)
    fail("gave up waiting for " + what)


def main():
    newsd_path, zodiva = binaries(sys.argv[1])
    prometheus = shutil.which("prometheus")
    if prometheus is None:
        message = "the prometheus program is not installed (scripts/install-deps installs it)"
        if os.environ.get("ZODIVA_REQUIRE_SERVICES") == "1":
            fail(message)
        print("SKIP: " + message, flush=True)
        return SKIP
    work = tempfile.mkdtemp(prefix="zodiva-metrics-")
    processes = []
    try:
        newsd = Newsd(newsd_path, work)
        processes.append(newsd)
        run = subprocess.Popen(
            zodiva_argv(zodiva, newsd.address, os.path.join(work, "run"), RUN_SECONDS, 4,
                        ["--metrics", "127.0.0.1:0", "--instance", "scraped-run"]),
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        url = None
        for line in run.stderr:
            match = re.search(r"metrics on (http://\S+)", line)
            if match:
                url = match.group(1)
                break
        if url is None:
            fail("zodiva did not say where its metrics are (exit %s)" % run.wait())
        target = urllib.parse.urlparse(url).netloc
        check_scrapes_directly(url)

        web = "127.0.0.1:%d" % free_port()
        config = os.path.join(work, "prometheus.yml")
        with open(config, "w") as out:
            out.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                      "scrape_configs:\n  - job_name: zodiva\n    honor_labels: true\n"
                      "    static_configs:\n      - targets: ['%s']\n" % target)
        scraper = subprocess.Popen(
            [prometheus, "--config.file=" + config, "--storage.tsdb.path=" + work + "/tsdb",
             "--web.listen-address=" + web, "--log.level=warn"],
            stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, "prometheus.log"), "w"))
        api = "http://" + web
        wait_for("two scrapes of zodiva", lambda: [
            n for n in query(api, 'count_over_time(zodiva_received_bytes_total'
                                  '{instance="scraped-run"}[1m])') if n >= 2])
        rate = wait_for("a receive rate above zero", lambda: [
            r for r in query(api, "rate(zodiva_received_bytes_total[10s])") if r > 0])
        print("ok: rate(zodiva_received_bytes_total[10s]) = %.0f bytes/s" % rate[0], flush=True)
        samples = wait_for("latency samples in the histogram", lambda: [
            n for n in query(api, 'sum(zodiva_command_duration_seconds_count{command="body"})')
            if n > 0])
        quantile = query(api, 'histogram_quantile(0.99, sum by (le) '
                              '(rate(zodiva_command_duration_seconds_bucket{command="body"}[10s])))')
        print("ok: %d BODY latencies, p99 %s s" % (samples[0], quantile), flush=True)
        scraper.terminate()
        scraper.wait(timeout=30)
        run.terminate()
        run.stderr.read()
        if run.wait(timeout=60) != 0:
            fail("zodiva exited with %d after SIGTERM" % run.returncode)
        return 0
    finally:
        for name in ("scraper", "run"):
            proc = locals().get(name)
            if proc is not None and proc.poll() is None:
                proc.kill()
                proc.wait()
        for proc in processes:
            proc.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
