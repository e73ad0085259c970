#!/usr/bin/env python3
"""Load from several machines, added up by a real scraper, as docs/scale-out.md tells it.

Three network namespaces stand for three load machines, each with an address of its own on a
bridge in a fourth namespace that holds newsd and Prometheus. One headless zodiva runs in each
with `--metrics ADDR:9464 --json --instance nodeN`; Prometheus scrapes them with the static
scrape configuration taken from the document, and the document's queries for the total rate,
the p99 of BODY and the failures by kind are answered through its HTTP API. The scraper's
total must agree with the JSON summaries added up by scripts/sum-summaries within 5 %, and its
failures by kind with theirs.

usage: scale_out_netns_test.py NEWSD   (zodiva is taken from the same build folder)
Run as root. Exits 77 (skipped) when network namespaces cannot be made here, or when the
scraper's program is not installed (and ZODIVA_REQUIRE_SERVICES is not 1).
"""
import ctypes
import json
import math
import os
import re
import secrets
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ZodivaRun import SKIP, Newsd, binaries, stop_process, zodiva_argv  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DOCUMENT = os.path.join(ROOT, "docs", "scale-out.md")
SUM_SUMMARIES = os.path.join(ROOT, "scripts", "sum-summaries")

NODES = 3
CONNECTIONS = 3
# Private addresses that exist only inside this test's namespaces.
SUBNET = "10.77.0."
SERVER_ADDRESS = SUBNET + "1"
METRICS_PORT = 9464
API = "http://127.0.0.1:9090"   # the scraper's own loopback, in the server's namespace
SCRAPE_INTERVAL = "500ms"
FLOW_SECONDS = 12               # how long newsd serves between the two pauses
QUIET_SECONDS = 4               # two of the engine's 2-second ticks
WAIT_SECONDS = 90               # the most any one wait below may take
# A few faults per run, so that failures of several kinds are there to be counted.
FAULT_RATE = "0.0003"
TOLERANCE = 0.05
CLONE_NEWNET = 0x40000000


class Failure(Exception):
    pass


class Skip(Exception):
    pass


def ip(*args):
    result = subprocess.run(["ip"] + list(args), capture_output=True, text=True)
    if result.returncode != 0:
        raise Failure("ip %s: %s" % (" ".join(args), result.stderr.strip()))


class Network:
    """A server namespace with a bridge, and one namespace per node joined to it by a veth
    pair. The names carry the process id and a random part, so tests running side by side
    never meet; every interface is made inside its namespace, so none is ever seen outside."""

    def __init__(self, nodes):
        prefix = "zodiva-%d-%s" % (os.getpid(), secrets.token_hex(3))
        self.server = prefix + "-srv"
        self.nodes = ["%s-n%d" % (prefix, i) for i in range(1, nodes + 1)]
        self.made = []

    @staticmethod
    def node_address(index):
        return SUBNET + str(11 + index)

    def make(self):
        first = subprocess.run(["ip", "netns", "add", self.server], capture_output=True,
                               text=True)
        if first.returncode != 0:
            raise Skip("network namespaces cannot be made here (ip netns add: %s)"
                       % first.stderr.strip())
        self.made.append(self.server)
        for name in self.nodes:
            ip("netns", "add", name)
            self.made.append(name)
        ip("-n", self.server, "link", "add", "br0", "type", "bridge")
        ip("-n", self.server, "addr", "add", SERVER_ADDRESS + "/24", "dev", "br0")
        for name in self.made:
            ip("-n", name, "link", "set", "lo", "up")
        ip("-n", self.server, "link", "set", "br0", "up")
        for index, name in enumerate(self.nodes):
            port = "port%d" % index
            ip("link", "add", "name", "eth0", "netns", name, "type", "veth",
               "peer", "name", port, "netns", self.server)
            ip("-n", self.server, "link", "set", port, "master", "br0")
            ip("-n", self.server, "link", "set", port, "up")
            ip("-n", name, "addr", "add", self.node_address(index) + "/24", "dev", "eth0")
            ip("-n", name, "link", "set", "eth0", "up")

    def remove(self):
        """Ends what still runs inside the namespaces (only this test's processes can be
        there), then deletes them; the veth pairs and the bridge go with them."""
        for name in reversed(self.made):
            pids = subprocess.run(["ip", "netns", "pids", name], capture_output=True,
                                  text=True).stdout.split()
            for pid in pids:
                try:
                    os.kill(int(pid), signal.SIGCONT)
                    os.kill(int(pid), signal.SIGKILL)
                except (OSError, ValueError):
                    pass
            subprocess.run(["ip", "netns", "del", name], capture_output=True)
        self.made = []


def in_namespace(name, function):
    """function() on a thread that has joined the network namespace `name`; sockets it opens
    belong to that namespace. The thread ends with the call, and with it the namespace."""
    libc = ctypes.CDLL(None, use_errno=True)
    outcome = {}

    def run():
        try:
            with open(os.path.join("/run/netns", name)) as handle:
                if libc.setns(handle.fileno(), CLONE_NEWNET) != 0:
                    raise OSError(ctypes.get_errno(), "setns " + name)
            outcome["value"] = function()
        except Exception as error:  # handed to the caller's thread
            outcome["error"] = error

    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]


class Scraper:
    """Prometheus in the server's namespace, asked through its HTTP API."""

    def __init__(self, network, work, config_text):
        self.namespace = network.server
        config = os.path.join(work, "prometheus.yml")
        with open(config, "w") as out:
            out.write(config_text)
        self.log = os.path.join(work, "prometheus.log")
        self.proc = subprocess.Popen(
            ["ip", "netns", "exec", self.namespace, shutil.which("prometheus"),
             "--config.file=" + config, "--storage.tsdb.path=" + os.path.join(work, "tsdb"),
             "--web.listen-address=127.0.0.1:9090", "--log.level=warn"],
            stdout=subprocess.DEVNULL, stderr=open(self.log, "w"))

    def query(self, promql, at=None):
        """[(labels, value)] of an instant query, evaluated at `at` (Unix seconds) or now."""
        parameters = {"query": promql}
        if at is not None:
            parameters["time"] = "%.3f" % at
        url = API + "/api/v1/query?" + urllib.parse.urlencode(parameters)

        def ask():
            with urllib.request.urlopen(url, timeout=10) as reply:
                return json.load(reply)

        answer = in_namespace(self.namespace, ask)
        if answer.get("status") != "success":
            raise Failure("query %s: %s" % (promql, answer))
        return [(item["metric"], float(item["value"][1])) for item in answer["data"]["result"]]

    def by_instance(self, promql, at=None):
        return {labels.get("instance"): value for labels, value in self.query(promql, at)}


def wait_for(what, probe):
    deadline = time.monotonic() + WAIT_SECONDS
    last = None
    while time.monotonic() < deadline:
        try:
            last = probe()
            if last:
                return last
        except OSError as error:
            last = error
        time.sleep(0.25)
    raise Failure("gave up waiting for %s (last answer: %s)" % (what, last))


def document_blocks():
    """The document's static scrape configuration and its queries, as they stand in it."""
    with open(DOCUMENT) as handle:
        text = handle.read()
    configs = [block for block in re.findall(r"```yaml\n(.*?)```", text, re.S)
               if "static_configs" in block]
    queries = [line.strip() for line in text.splitlines() if line.startswith("    ")]

    def query_with(*parts):
        found = [q for q in queries if all(part in q for part in parts)]
        if not found:
            raise Failure("docs/scale-out.md has no query with %s" % (parts,))
        return found[0]

    if len(configs) != 1:
        raise Failure("docs/scale-out.md should hold one static scrape configuration, not %d"
                      % len(configs))
    return configs[0], {
        "total": query_with("sum(rate(zodiva_received_bytes_total["),
        "p99": query_with("histogram_quantile(0.99", 'command="body"'),
        "failures": query_with("sum by (kind)", "zodiva_failures_total"),
        "states": query_with("sum by (state)", "zodiva_connections"),
    }


def scrape_config(document_config, targets):
    """The document's configuration with this test's targets, and a shorter interval so that
    a run of seconds gives enough samples (the timeout may not exceed the interval)."""
    text, replaced = re.subn(r"targets: \[.*\]",
                             "targets: [%s]" % ", ".join("'%s'" % t for t in targets),
                             document_config)
    text, intervals = re.subn(r"(\n(\s*)scrape_interval: )\S+",
                              r"\g<1>%s\n\g<2>scrape_timeout: %s" % (SCRAPE_INTERVAL,
                                                                     SCRAPE_INTERVAL), text)
    if replaced != 1 or intervals != 1:
        raise Failure("the document's scrape configuration has no targets or interval line:\n"
                      + document_config)
    return text


def over_window(promql, seconds):
    """The query with its range selector set to `seconds`."""
    text, count = re.subn(r"\[[0-9a-z]+\]", "[%ds]" % seconds, promql)
    if count != 1:
        raise Failure("expected one range selector in " + promql)
    return text


def start_nodes(network, zodiva, server, work):
    runs = []
    for index, namespace in enumerate(network.nodes):
        node = "node%d" % (index + 1)
        folder = os.path.join(work, node)
        # A bound far beyond the test: the runs are ended by SIGTERM once the scraper has seen
        # their last bytes.
        argv = zodiva_argv(zodiva, server, folder, 240, CONNECTIONS, [
            "--metrics", "%s:%d" % (network.node_address(index), METRICS_PORT),
            "--instance", node, "--keep-logs", "5",
            "--connect-retry-delay", "1", "--reject-delay", "1"])
        output = os.path.join(work, node + ".json")
        runs.append((node, output, subprocess.Popen(
            ["ip", "netns", "exec", namespace] + argv, stdout=open(output, "w"),
            stderr=open(os.path.join(work, node + ".err"), "w"))))
    return runs


def check_within(what, scraped, summed):
    if summed <= 0:
        raise Failure("%s: the summaries hold nothing to compare (%s)" % (what, summed))
    off = abs(scraped - summed) / summed
    print("%s: scraper %.0f, summaries %.0f, %.2f %% apart" % (what, scraped, summed, off * 100),
          flush=True)
    if off > TOLERANCE:
        raise Failure("%s: the scraper's %.0f is more than 5 %% from the summaries' %.0f"
                      % (what, scraped, summed))


def run_test(network, work, newsd_path, zodiva):
    document_config, queries = document_blocks()
    network.make()
    print("namespaces %s and %s" % (network.server, ", ".join(network.nodes)), flush=True)

    newsd = Newsd(newsd_path, work, ["ip", "netns", "exec", network.server],
                  ["--address", SERVER_ADDRESS, "--random-faults", FAULT_RATE,
                   "--fault-seed", "27"])
    try:
        # newsd is paused until the scraper has seen every counter at zero, and paused again
        # before the runs end until it has seen their final values twice over. The scraper
        # then holds each counter's whole history: a window over the entire run gives the
        # bytes of the whole run rather than those of some seconds the scrapes happened to
        # catch (the engine adds its bytes to the counter at its 2-second tick, and a run's
        # last scrape comes up to an interval before its end).
        os.kill(newsd.proc.pid, signal.SIGSTOP)
        targets = ["%s:%d" % (network.node_address(i), METRICS_PORT) for i in range(NODES)]
        scraper = Scraper(network, work, scrape_config(document_config, targets))
        started = time.time()
        runs = start_nodes(network, zodiva, newsd.address, work)
        try:
            return measure(scraper, newsd, runs, queries, started)
        finally:
            for _, _, proc in runs:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()
            stop_process(scraper.proc, 30)
    finally:
        os.kill(newsd.proc.pid, signal.SIGCONT)
        newsd.stop()


def measure(scraper, newsd, runs, queries, started):
    nodes = {node for node, _, _ in runs}

    def every_node(promql, condition):
        def probe():
            found = scraper.by_instance(promql)
            return found if set(found) == nodes and all(map(condition, found.values())) \
                else None
        return probe

    # With honor_labels the series carry zodiva's own instance names, not the addresses.
    wait_for("two scrapes of node1..node%d" % NODES, every_node(
        "count_over_time(zodiva_received_bytes_total[1m])", lambda n: n >= 2))
    if any(scraper.by_instance("zodiva_received_bytes_total").values()):
        raise Failure("bytes were counted while newsd was paused")
    print("scraped %s before any byte arrived" % sorted(nodes), flush=True)

    os.kill(newsd.proc.pid, signal.SIGCONT)
    time.sleep(FLOW_SECONDS / 2)
    states = scraper.query(queries["states"])
    in_states = sum(value for _, value in states)
    print("%s: %s" % (queries["states"], {l.get("state"): v for l, v in states if v}),
          flush=True)
    if in_states != NODES * CONNECTIONS:
        raise Failure("%d connections in the states, not %d" % (in_states, NODES * CONNECTIONS))
    time.sleep(FLOW_SECONDS / 2)
    os.kill(newsd.proc.pid, signal.SIGSTOP)
    paused = time.monotonic()

    # Every node's counters unchanged over two ticks, in scrapes made after the pause (at
    # least one a second, so that no change can hide between them).
    time.sleep(QUIET_SECONDS)
    still = ("max by (instance) (changes(zodiva_received_bytes_total[{0}s]))"
             " + max by (instance) (changes(zodiva_failures_total[{0}s]))").format(QUIET_SECONDS)
    scrapes = "count_over_time(zodiva_received_bytes_total[%ds])" % QUIET_SECONDS

    def quiet():
        changes, counts = scraper.by_instance(still), scraper.by_instance(scrapes)
        return set(changes) == nodes and set(counts) == nodes and \
            all(changes[n] == 0 and counts[n] >= QUIET_SECONDS for n in nodes)

    wait_for("every node's counters to stay still after the pause", quiet)

    # One window over all of every run: it opens before the first scrape (a zero) and closes
    # after the last bytes, so rate() times the window is the counter's growth over the run.
    # The one estimate left is Prometheus extrapolating from the last sample to the window's
    # end, at most one scrape interval at the run's average slope: under 3 % of a run of
    # 20 s scraped twice a second.
    at = time.time()
    window = int(math.ceil(at - started)) + 2
    total_query = over_window(queries["total"], window)
    total = sum(value for _, value in scraper.query(total_query, at)) * window
    p99 = scraper.query(over_window(queries["p99"], window), at)
    failures = {labels["kind"]: value for labels, value in
                scraper.query(over_window(queries["failures"], window), at)}
    print("%s x %d s = %.0f bytes, %.1f s after the pause"
          % (total_query, window, total, time.monotonic() - paused), flush=True)

    summaries = stop_runs(runs)
    summed = add_up([output for _, output, _ in runs])
    check_within("bytes of the run", total, summed["bytes_received"])
    check_failures(failures, summed.get("failures", {}))
    check_p99(p99, [s["latency"]["body"]["p99_ms"] for s in summaries])
    return 0


def stop_runs(runs):
    for _, _, proc in runs:
        proc.send_signal(signal.SIGTERM)
    summaries = []
    for node, output, proc in runs:
        if proc.wait(timeout=60) != 0:
            raise Failure("%s: zodiva exited with %d after SIGTERM" % (node, proc.returncode))
        with open(output) as handle:
            lines = [json.loads(l) for l in handle if '"summary":true' in l]
        if not lines or lines[-1]["bytes_received"] == 0:
            raise Failure("%s: no summary, or nothing received: %s" % (node, lines))
        summaries.append(lines[-1])
        print("%s: %d bytes, %d articles, failures %s" % (
            node, lines[-1]["bytes_received"], lines[-1]["articles_completed"],
            {k: v for k, v in lines[-1]["failures"].items() if v}), flush=True)
    return summaries


def add_up(outputs):
    result = subprocess.run([sys.executable, SUM_SUMMARIES, "--json"] + outputs,
                            capture_output=True, text=True)
    if result.returncode != 0:
        raise Failure("sum-summaries exited %d: %s" % (result.returncode, result.stderr))
    return json.loads(result.stdout)


def check_failures(scraped, summed):
    """Every kind the summaries name, with the same count; increase() extrapolates as rate()
    does, so a count may be off by the same few per cent, and by less than one."""
    if set(scraped) != set(summed):
        raise Failure("failure kinds: scraper %s, summaries %s" % (sorted(scraped), sorted(summed)))
    for kind, count in summed.items():
        if abs(scraped[kind] - count) > max(0.5, TOLERANCE * count):
            raise Failure("failures of kind %s: scraper %.2f, summaries %d"
                          % (kind, scraped[kind], count))
    print("failures by kind agree: %s" % {k: v for k, v in summed.items() if v}, flush=True)


def check_p99(result, run_p99s_ms):
    """The p99 over all runs lies between the runs' own p99s; the scraper's estimate lies in
    the bucket holding it, whose bounds are 2 (up to 65.5 ms) or 4 times apart."""
    if len(result) != 1 or not math.isfinite(result[0][1]):
        raise Failure("p99 of BODY: %s" % result)
    p99_ms = result[0][1] * 1000
    low, high = min(run_p99s_ms) / 4, max(run_p99s_ms) * 4
    print("p99 of BODY: scraper %.2f ms, the runs' own %s ms" % (p99_ms, run_p99s_ms), flush=True)
    if not low <= p99_ms <= high or p99_ms <= 0:
        raise Failure("p99 of BODY %.2f ms is outside %.2f..%.2f ms" % (p99_ms, low, high))


def main():
    newsd_path, zodiva = binaries(sys.argv[1])
    if shutil.which("prometheus") is None:
        message = "the prometheus program is not installed (scripts/install-deps installs it)"
        if os.environ.get("ZODIVA_REQUIRE_SERVICES") == "1":
            print("FAIL: " + message, flush=True)
            return 1
        print("SKIP: " + message, flush=True)
        return SKIP
    if shutil.which("ip") is None:
        print("SKIP: the ip program (iproute2) is not installed", flush=True)
        return SKIP
    # A stop from outside (ctest's time-out, ^C) still removes the namespaces.
    for number in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, lambda *_: sys.exit("stopped by a signal"))
    network = Network(NODES)
    work = tempfile.mkdtemp(prefix="zodiva-scale-out-")
    try:
        return run_test(network, work, newsd_path, zodiva)
    except Skip as skip:
        print("SKIP: %s" % skip, flush=True)
        return SKIP
    except Failure as failure:
        print("FAIL: %s" % failure, flush=True)
        for name in sorted(os.listdir(work)):
            if name.endswith((".err", ".log")):
                with open(os.path.join(work, name), errors="replace") as handle:
                    print("--- %s (last lines)\n%s" % (name, "".join(handle.readlines()[-10:])))
        return 1
    finally:
        network.remove()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
