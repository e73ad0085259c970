"""Helpers of the Python integration tests: newsd and headless zodiva runs on loopback."""
import os
import re
import socket
import subprocess
import threading

SKIP = 77  # ctest's SKIP_RETURN_CODE for these tests
MAX_RUN_SCALE = 10.0


def stretched_run_seconds(seconds):
    """`seconds` of a real-clock zodiva run, times ZODIVA_TEST_RUN_SCALE (1 to 10, default 1)
    for a build that runs several times slower; as tests/common/RunLength.h does."""
    text = os.environ.get("ZODIVA_TEST_RUN_SCALE", "")
    if not text:
        return seconds
    try:
        scale = float(text)
    except ValueError:
        scale = float("nan")
    if not 1.0 <= scale <= MAX_RUN_SCALE:
        raise ValueError("ZODIVA_TEST_RUN_SCALE='%s' is not a number from 1 to 10" % text)
    return seconds * scale


def binaries(newsd):
    """(newsd, zodiva) of the same build folder."""
    build = os.path.dirname(os.path.dirname(os.path.abspath(newsd)))
    return os.path.abspath(newsd), os.path.join(build, "app", "zodiva")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Newsd:
    """newsd on a free loopback port, serving large bodies until stopped. `launcher` is put
    before its command (for example to start it in a network namespace) and `extra` after it;
    the launcher must execute newsd in its own process, so that signals reach newsd."""

    def __init__(self, path, work, launcher=(), extra=()):
        self.proc = subprocess.Popen(
            list(launcher) + [path, "--port", "0", "--articles", "1000000",
                              "--body-bytes", "131072"] + list(extra),
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, cwd=work)
        line = self.proc.stdout.readline()
        match = re.search(r"listening on ([0-9.]+):(\d+)", line)
        if not match:
            self.stop()
            raise RuntimeError("newsd did not start: " + line)
        threading.Thread(target=self.proc.stdout.read, daemon=True).start()
        self.address = "%s:%s" % (match.group(1), match.group(2))

    def stop(self):
        stop_process(self.proc, 10)


def stop_process(proc, timeout):
    """SIGTERM, then SIGKILL if `proc` has not ended within `timeout` seconds."""
    if proc.poll() is not None:
        return
    proc.terminate()
    try:
        proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def zodiva_argv(zodiva, server, work, seconds, connections=2, extra=()):
    """A headless JSON run with settings of its own (never the user's)."""
    os.makedirs(work, exist_ok=True)
    settings = os.path.join(work, "settings.reg")
    with open(settings, "w") as out:
        out.write("Windows Registry Editor Version 5.00\r\n\r\n")
    return [zodiva, "--headless", "--server", server, "--connections", str(connections),
            "--no-write", "--seconds", str(seconds), "--json", "--workdir", work,
            "--registry", settings] + list(extra)
