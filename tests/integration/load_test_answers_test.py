#!/usr/bin/env python3
"""Load-test answers of a real zodiva against a real newsd: a sweep whose checks hold (exit 0),
a check that cannot hold (exit 4), a check that cannot be read (exit 2 before anything runs),
timelines (JSON lines and CSV) whose seconds add up to the summary, and a warm-up that is
shown but left out of it.

usage: load_test_answers_test.py NEWSD   (zodiva is taken from the same build folder)
"""
import csv
import json
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ZodivaRun import Newsd, binaries, stretched_run_seconds, zodiva_argv  # noqa: E402


def fail(message):
    print("FAIL: " + message, flush=True)
    sys.exit(1)


def run(argv, timeout=180):
    return subprocess.run(argv, capture_output=True, text=True, timeout=timeout)


def json_lines(text):
    return [json.loads(line) for line in text.splitlines() if line.startswith("{")]


def sweep_with_checks_that_hold(zodiva, server, work):
    checks = ["articles >= 1", "p99(body) < 60s", "missing == 0", "rate > 1B/s"]
    argv = zodiva_argv(zodiva, server, os.path.join(work, "sweep"), stretched_run_seconds(2),
                       extra=["--sweep", "1,2,3"] + [a for c in checks for a in ("--check", c)])
    argv.remove("--connections")
    argv.remove("2")
    result = run(argv)
    if result.returncode != 0:
        fail("sweep exited %d: %s" % (result.returncode, result.stderr))
    events = json_lines(result.stdout)
    steps = [e for e in events if e["event"] == "step"]
    if [s["step"] for s in steps] != [1, 2, 3] or [s["connections"] for s in steps] != [1, 2, 3]:
        fail("steps: %s" % [(s.get("step"), s.get("connections")) for s in steps])
    for step in steps:
        if [c["expr"] for c in step["checks"]] != checks or not all(c["pass"] for c in step["checks"]):
            fail("step %d checks: %s" % (step["step"], step["checks"]))
        if step["articles_completed"] < 1 or step["rate_bytes_per_s"] <= 0:
            fail("step %d measured nothing: %s" % (step["step"], step))
    rates = [e for e in events if e["event"] == "rate"]
    for step in (1, 2, 3):
        if not any(r.get("step") == step and r.get("connections") == step for r in rates):
            fail("no per-second line marked with step %d" % step)
    last = events[-1]
    if last["event"] != "sweep" or [s["step"] for s in last["steps"]] != [1, 2, 3]:
        fail("the last line is not the sweep: %s" % last)
    if last["capacity"] != 3 or last["knee"] not in (1, 2, 3):
        fail("knee %s, capacity %s" % (last["knee"], last["capacity"]))
    best = max(s["rate_bytes_per_s"] for s in steps)
    knee_rate = [s for s in steps if s["connections"] == last["knee"]][0]["rate_bytes_per_s"]
    if knee_rate < 0.95 * best or any(
            s["rate_bytes_per_s"] >= 0.95 * best for s in steps if s["connections"] < last["knee"]):
        fail("the knee is not the fewest connections within 5 %% of the best: %s" % last)
    print("ok: sweep 1,2,3, knee %d, capacity %d" % (last["knee"], last["capacity"]))


def checks_that_cannot_hold(zodiva, server, work):
    argv = zodiva_argv(zodiva, server, os.path.join(work, "fails"), stretched_run_seconds(1.5),
                       extra=["--check", "rate > 1000GB/s", "--check", "articles >= 1"])
    result = run(argv)
    if result.returncode != 4:
        fail("an impossible check exited %d: %s" % (result.returncode, result.stderr))
    summary = json_lines(result.stdout)[-1]
    verdicts = [(c["expr"], c["pass"]) for c in summary.get("checks", [])]
    if summary["event"] != "summary" or verdicts != [("rate > 1000GB/s", False), ("articles >= 1", True)]:
        fail("summary checks: %s" % summary)
    # A sweep whose first step fails a check exits 4 too, and has no capacity.
    argv = zodiva_argv(zodiva, server, os.path.join(work, "sweep-fails"), stretched_run_seconds(1),
                       extra=["--sweep", "1,2", "--check", "rate > 1000GB/s"])
    argv.remove("--connections")
    argv.remove("2")
    result = run(argv)
    last = json_lines(result.stdout)[-1]
    if result.returncode != 4 or last["event"] != "sweep" or last["capacity"] is not None:
        fail("a sweep failing its first step: exit %d, %s" % (result.returncode, last))
    print("ok: impossible checks exit 4")


def unreadable_check(zodiva, server, work):
    timeline = os.path.join(work, "never.jsonl")
    argv = zodiva_argv(zodiva, server, os.path.join(work, "bad"), 60,
                       extra=["--check", "p99(bdy) < 5ms", "--timeline", timeline])
    result = run(argv, timeout=30)
    if result.returncode != 2 or "column 5" not in result.stderr or result.stdout:
        fail("a check naming an unknown command: exit %d, %r" % (result.returncode, result.stderr))
    if os.path.exists(timeline):
        fail("a refused run wrote its timeline")
    print("ok: an unreadable check exits 2 before anything runs")


def timelines_add_up(zodiva, server, work):
    for name in ("run.jsonl", "run.csv"):
        path = os.path.join(work, name)
        argv = zodiva_argv(zodiva, server, os.path.join(work, "tl-" + name),
                           stretched_run_seconds(3), extra=["--timeline", path])
        result = run(argv)
        if result.returncode != 0:
            fail("timeline run exited %d: %s" % (result.returncode, result.stderr))
        summary = json_lines(result.stdout)[-1]
        if name.endswith(".csv"):
            with open(path) as handle:
                seconds = list(csv.DictReader(handle))
            for row in seconds:
                row["bytes"] = int(row["bytes"])
        else:
            with open(path) as handle:
                lines = [json.loads(line) for line in handle]
            if lines[0]["event"] != "run" or lines[0]["connections"] != 2:
                fail("first line: %s" % lines[0])
            if lines[-1]["event"] != "summary" or lines[-1]["bytes_received"] != summary["bytes_received"]:
                fail("last line is not the summary: %s" % lines[-1])
            seconds = [line for line in lines if line["event"] == "second"]
            if any(line["step"] != 1 or line["warmup"] for line in seconds):
                fail("seconds of a plain run: %s" % seconds)
        if len(seconds) < 2:
            fail("%s: %d seconds" % (name, len(seconds)))
        total = sum(row["bytes"] for row in seconds)
        one_second = max(row["bytes"] for row in seconds)
        if abs(total - summary["bytes_received"]) > one_second:
            fail("%s: the seconds add up to %d bytes, the summary says %d" % (
                name, total, summary["bytes_received"]))
        print("ok: %s, %d seconds, %d bytes" % (name, len(seconds), total))


def warmup_left_out(zodiva, server, work):
    path = os.path.join(work, "warm.jsonl")
    argv = zodiva_argv(zodiva, server, os.path.join(work, "warm"), stretched_run_seconds(3),
                       extra=["--warmup", "1", "--timeline", path])
    result = run(argv)
    if result.returncode != 0:
        fail("warm-up run exited %d: %s" % (result.returncode, result.stderr))
    summary = json_lines(result.stdout)[-1]
    with open(path) as handle:
        seconds = [json.loads(line) for line in handle if '"event":"second"' in line]
    warm = [s for s in seconds if s["warmup"]]
    if [round(s["t"]) for s in warm] != [1] or summary["warmup_s"] != 1:
        fail("warm-up seconds: %s, summary warmup_s %s" % ([s["t"] for s in warm], summary["warmup_s"]))
    counted = sum(s["bytes"] for s in seconds if not s["warmup"])
    one_second = max(s["bytes"] for s in seconds)
    if abs(counted - summary["bytes_received"]) > one_second:
        fail("the counted seconds hold %d bytes, the summary %d" % (counted, summary["bytes_received"]))
    if summary["bytes_received"] >= sum(s["bytes"] for s in seconds):
        fail("the warm-up's bytes are in the summary: %s" % summary)
    print("ok: the warm-up second is shown and left out of the summary")


def main():
    newsd_path, zodiva = binaries(sys.argv[1])
    work = tempfile.mkdtemp(prefix="zodiva-load-")
    newsd = Newsd(newsd_path, work)
    try:
        unreadable_check(zodiva, newsd.address, work)
        sweep_with_checks_that_hold(zodiva, newsd.address, work)
        checks_that_cannot_hold(zodiva, newsd.address, work)
        timelines_add_up(zodiva, newsd.address, work)
        warmup_left_out(zodiva, newsd.address, work)
        return 0
    finally:
        newsd.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
