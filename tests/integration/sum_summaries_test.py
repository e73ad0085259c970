#!/usr/bin/env python3
"""scripts/sum-summaries on the JSON output of two real zodiva runs made side by side against
one newsd, as two machines would: the totals must be the sums of the two summaries.

usage: sum_summaries_test.py NEWSD   (zodiva is taken from the same build folder)
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ZodivaRun import Newsd, binaries, stretched_run_seconds, zodiva_argv  # noqa: E402

SCRIPT = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(
    __file__)))), "scripts", "sum-summaries")


def fail(message):
    print("FAIL: " + message, flush=True)
    sys.exit(1)


def summary(path):
    with open(path) as handle:
        return [json.loads(l) for l in handle if '"summary":true' in l][-1]


def main():
    newsd_path, zodiva = binaries(sys.argv[1])
    work = tempfile.mkdtemp(prefix="zodiva-sum-")
    # The newest articles are missing, so every connection of both runs meets some first.
    newsd = Newsd(newsd_path, work, extra=["--missing", "1000000,999999,999998"])
    try:
        outputs, runs = [], []
        for i, connections in enumerate((2, 3)):
            path = os.path.join(work, "run%d.json" % i)
            outputs.append(path)
            runs.append(subprocess.Popen(
                zodiva_argv(zodiva, newsd.address, os.path.join(work, "w%d" % i),
                            stretched_run_seconds(2), connections),
                stdout=open(path, "w"), stderr=subprocess.DEVNULL))
        for run in runs:
            if run.wait(timeout=120) != 0:
                fail("a zodiva run exited with %d" % run.returncode)
        first, second = summary(outputs[0]), summary(outputs[1])
        if first["bytes_received"] == 0 or second["bytes_received"] == 0:
            fail("a run received nothing: %s %s" % (first, second))

        result = subprocess.run([sys.executable, SCRIPT, "--json"] + outputs,
                                capture_output=True, text=True)
        if result.returncode != 0:
            fail("sum-summaries exited %d: %s" % (result.returncode, result.stderr))
        total = json.loads(result.stdout)
        if first["missing"] == 0 or second["missing"] == 0:
            fail("a run met no missing article: %s %s" % (first["missing"], second["missing"]))
        for key in ("bytes_received", "articles_completed", "connections", "missing"):
            if total[key] != first[key] + second[key]:
                fail("%s: %s is not %s + %s" % (key, total[key], first[key], second[key]))
        if total["connections"] != 5 or total["runs"] != 2:
            fail("runs or connections wrong: %s" % total)
        if abs(total["average_kib_s"] - (first["average_kib_s"] + second["average_kib_s"])) > 0.02:
            fail("the total rate is not the sum of the runs' rates: %s" % total)
        if total["duration_s"] != max(first["duration_s"], second["duration_s"]):
            fail("duration is not the longest run's: %s" % total)

        text = subprocess.run([sys.executable, SCRIPT] + outputs, capture_output=True, text=True)
        if "Total of 2 runs" not in text.stdout or str(total["bytes_received"]) not in text.stdout \
                or "missing articles    %d\n" % total["missing"] not in text.stdout:
            fail("text output: " + text.stdout)
        # Output without a summary (a run killed before it ended) is named, not counted as zero.
        partial = os.path.join(work, "partial.json")
        with open(outputs[0]) as source, open(partial, "w") as out:
            out.writelines(l for l in source if '"summary":true' not in l)
        broken = subprocess.run([sys.executable, SCRIPT, outputs[1], partial],
                                capture_output=True, text=True)
        if broken.returncode != 1 or "partial.json" not in broken.stderr:
            fail("a file without summary: exit %d, %s" % (broken.returncode, broken.stderr))
        print("ok: two runs, %d bytes, %.2f KiB/s in total" % (total["bytes_received"],
                                                                total["average_kib_s"]))
        return 0
    finally:
        newsd.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
