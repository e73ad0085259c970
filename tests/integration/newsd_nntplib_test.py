"""Reads newsd with Python's nntplib, a client nobody here wrote, and, when the INN2 test
service is running, reads INN2 the same way: both servers must pass the same checks.

Usage: python3 newsd_nntplib_test.py PATH-OF-NEWSD
Exits non-zero on the first failed check.
"""

import os
import subprocess
import sys
import time

import nntplib

GROUP = "alt.binaries.test"
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)
    return condition


def start_newsd(binary, *args):
    process = subprocess.Popen([binary, "--port", "0", *args], stdout=subprocess.PIPE, text=True)
    banner = process.stdout.readline()
    # "newsd listening on 127.0.0.1:PORT, ..."
    try:
        port = int(banner.split(":")[1].split(",")[0])
    except (IndexError, ValueError):
        process.kill()
        raise SystemExit("newsd did not report its port: %r" % banner)
    return process, port


def stop(process):
    process.terminate()
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
    return process.returncode


def read_group(name, host, port, user=None, password=None):
    """The reader's round trip; returns what both servers are compared on."""
    print("--", name, "%s:%d" % (host, port))
    seen = {}
    with nntplib.NNTP(host, port, user=user, password=password, timeout=30) as server:
        check(server.getwelcome()[:1] == "2", name + ": welcome is a 2xx status")
        _, count, first, last, group = server.group(GROUP)
        check(group == GROUP and count > 0 and first <= last, name + ": GROUP numbers")
        low = max(first, last - 4)
        _, overviews = server.over((low, last))
        check(len(overviews) >= 1, name + ": OVER lists articles")
        numbers = [number for number, _ in overviews]
        check(numbers == sorted(numbers) and all(low <= n <= last for n in numbers),
              name + ": OVER numbers ascending and in range")
        number, fields = overviews[-1]
        for key in ("subject", "from", "date", "message-id", ":bytes", ":lines"):
            check(key in fields, name + ": overview has " + key)
        message_id = fields["message-id"]

        _, head = server.head(number)
        check(head.number == number, name + ": HEAD number")
        head_text = b"\n".join(head.lines).decode("latin-1")
        check(("Message-ID: " + message_id) in head_text or
              ("Message-Id: " + message_id) in head_text, name + ": HEAD has the message-id")
        check(all(line for line in head.lines), name + ": no empty line inside the header")

        _, body = server.body(number)
        check(len(body.lines) == int(fields[":lines"]),
              name + ": BODY has :lines lines (%d vs %s)" % (len(body.lines), fields[":lines"]))

        _, article = server.article(message_id)
        check(article.lines == head.lines + [b""] + body.lines,
              name + ": ARTICLE by message-id is head, blank line, body")
        check(article.message_id == message_id, name + ": ARTICLE names the message-id")

        try:
            server.stat(last + 1000)
            check(False, name + ": STAT beyond the last article fails")
        except nntplib.NNTPTemporaryError as error:
            check(str(error)[:3] == "423", name + ": STAT beyond the last article is 423")
        seen = {"overview keys": sorted(k for k in fields if k in
                                        ("subject", "from", "date", "message-id", ":bytes",
                                         ":lines")),
                "head fields": sorted(line.split(b":")[0].decode().lower() for line in head.lines
                                      if line.split(b":")[0] in
                                      (b"From", b"Subject", b"Newsgroups", b"Message-ID",
                                       b"Date", b"Path"))}
        seen["body"] = body.lines
        seen["article"] = article.lines
        seen["overview"] = fields
        seen["last"] = last
    return seen


def newsd_checks(binary):
    for args, code in ((["--bogus"], 2), (["--port", "70000"], 2), (["--articles", "x"], 2),
                       (["--help"], 0)):
        result = subprocess.run([binary, *args], capture_output=True, text=True, timeout=30)
        check(result.returncode == code, "newsd %s exits %d (got %d)" %
              (" ".join(args), code, result.returncode))
        if code == 2:
            check(result.stderr.startswith("newsd: "), "newsd %s explains itself" % args[0])

    process, port = start_newsd(binary, "--articles", "30", "--body-bytes", "6000",
                                "--line-length", "60", "--missing", "29")
    try:
        seen = read_group("newsd", "127.0.0.1", port)
        body = seen["body"]
        check(body[0] == b"newsd article 30 in " + GROUP.encode(),
              "newsd: first body line names the article")
        check(b"." in body, "newsd: a lone-dot content line survives unstuffing")
        check(any(l.startswith(b"..") for l in body), "newsd: a double-dot line survives")
        check(any(l.startswith(b".") and not l.startswith(b"..") and l != b"." for l in body),
              "newsd: a single-dot line survives")
        octets = sum(len(line) + 2 for line in seen["article"])
        check(int(seen["overview"][":bytes"]) == octets, "newsd: :bytes is the article's size")
        with nntplib.NNTP("127.0.0.1", port) as server:
            server.group(GROUP)
            try:
                server.head(29)
                check(False, "newsd: a missing article fails")
            except nntplib.NNTPTemporaryError as error:
                check(str(error)[:3] == "423", "newsd: a missing article is 423")
    finally:
        check(stop(process) == 0, "newsd exits 0 on SIGTERM")

    process, port = start_newsd(binary, "--require-auth", "reader:open sesame")
    try:
        read_group("newsd with AUTHINFO", "127.0.0.1", port, "reader", "open sesame")
        try:
            nntplib.NNTP("127.0.0.1", port, user="reader", password="wrong").quit()
            check(False, "newsd: a wrong password is refused")
        except nntplib.NNTPError as error:
            check(str(error)[:3] == "481", "newsd: a wrong password is 481 (%s)" % error)
        with nntplib.NNTP("127.0.0.1", port) as anonymous:
            try:
                anonymous.group(GROUP)
                check(False, "newsd: reading without AUTHINFO is refused")
            except nntplib.NNTPError as error:
                check(str(error)[:3] == "480", "newsd: reading without AUTHINFO is 480")
    finally:
        stop(process)
    return seen


def read_peer(name, host, port, user=None, password=None):
    """read_group against a server we do not run: a "400" greeting (INN2 refuses readers
    while the machine's load is high) is retried for a while, other errors are failures."""
    for attempt in range(10):
        try:
            return read_group(name, host, port, user, password)
        except nntplib.NNTPTemporaryError as error:
            if not str(error).startswith("400") or attempt == 9:
                check(False, "%s: %s" % (name, error))
                return None
            print("   %s refused a reader (%s); retrying" % (name, error))
            time.sleep(3)
        except (nntplib.NNTPError, OSError) as error:
            check(False, "%s: %s" % (name, error))
            return None


def inn_checks(newsd_seen):
    host = os.environ.get("ZODIVA_INN_HOST", "")
    port = os.environ.get("ZODIVA_INN_PORT", "")
    if not host or not port:
        if os.environ.get("ZODIVA_REQUIRE_SERVICES") == "1":
            check(False, "ZODIVA_INN_HOST/ZODIVA_INN_PORT not set: is INN2 running?")
        else:
            print("-- INN2 not configured (ZODIVA_INN_HOST/ZODIVA_INN_PORT); skipped")
        return
    seen = read_peer("INN2", host, int(port))
    if seen is None:
        return
    for key in ("overview keys", "head fields"):
        check(seen[key] == newsd_seen[key],
              "INN2 and newsd give nntplib the same %s: %s vs %s" %
              (key, seen[key], newsd_seen[key]))
    auth_port = os.environ.get("ZODIVA_INN_AUTH_PORT", "")
    if auth_port:
        read_peer("INN2 with AUTHINFO", host, int(auth_port),
                   os.environ.get("ZODIVA_INN_USER"), os.environ.get("ZODIVA_INN_PASS"))


def main():
    if len(sys.argv) != 2:
        raise SystemExit(__doc__)
    newsd_seen = newsd_checks(sys.argv[1])
    inn_checks(newsd_seen)
    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
