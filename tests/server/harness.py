"""What the server's tests share: a real qvstats started on loopback (each
test runs in a network namespace of its own, so fixed ports are free), signed
report bodies as the installer makes them, and plain-socket clients.

QVSTATS names the server binary.
"""
import hashlib
import os
import re
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

KEY = b"pR4vNd8sYk"
INTAKE = ("127.0.0.1", 80)
DASHBOARD = ("127.0.0.1", 8080)


class Checks:
    def __init__(self):
        self.failures = 0

    def check(self, what, condition, detail=""):
        print(("ok: " if condition else "FAIL: ") + what + (" (%s)" % (detail,) if detail else ""), flush=True)
        if not condition:
            self.failures += 1
        return condition

    def finish(self):
        # Every server this test started has ended, and none of them met a
        # fault the sanitizers saw (at its shutdown too, which no check sees).
        for server in SERVERS:
            server.stop()
            found = re.search(r"(ERROR: \w+Sanitizer.*|runtime error: .*)", server.output())
            self.check("server %d ran without a sanitizer's report" % server.process.pid, found is None,
                       found.group(1) if found else "")
        print("%d check(s) failed" % self.failures if self.failures else "all checks passed")
        sys.exit(1 if self.failures else 0)


def body(game=b"3", guid=b"0a1b2c3d4e5f20100101080000", when=b"1796795383", version=b"1.0.0.0",
         system="Microsoft Windows 7 Ultimate Edition, 64-bit Service Pack 1 (build 7601)".encode("gbk"),
         flash=b"", osmajor=b"6", osminor=b"1", sign=None):
    sign = sign or hashlib.md5(game + guid + when + KEY).hexdigest().upper().encode()
    return (b"game_id=" + game + b"&version=" + version + b"&guid=" + guid + b"&time=" + when + b"&sign=" + sign +
            b"&osmajor=" + osmajor + b"&osminor=" + osminor + b"&system=" + system + b"&flash=" + flash)


def days_reports(hexes):
    """The reports of machines' days (hexadecimal blobs of zigzag varints:
    each day's step from the one before, then its reports), summed."""
    total = 0
    for days in hexes:
        numbers, value, shift = [], 0, 0
        for byte in bytes.fromhex(days):
            value |= (byte & 0x7f) << shift
            shift += 7
            if not byte & 0x80:
                numbers.append((value >> 1) ^ -(value & 1))
                value, shift = 0, 0
        total += sum(numbers[1::2])
    return [str(total)]


def request(data, address=INTAKE, timeout=15, source=None):
    """Sends raw bytes (from the local address source, if given), reads to
    the end; (status, whole answer, seconds)."""
    t0 = time.time()
    with socket.create_connection(address, timeout=timeout,
                                  source_address=(source, 0) if source else None) as s:
        s.sendall(data)
        answer = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            answer += chunk
    line = answer.split(b"\r\n", 1)[0].split(b" ")
    return (int(line[1]) if len(line) > 1 and line[1].isdigit() else 0), answer, time.time() - t0


def post(payload, version="1.0", path="/micro_stats", method="POST", address=INTAKE):
    """The installer's request: WinINet's headers, HTTP/1.0."""
    head = "%s %s HTTP/%s\r\nAccept: */*\r\nHost: 127.0.0.1\r\nContent-Length: %d\r\nCache-Control: no-cache\r\n\r\n" % (
        method, path, version, len(payload))
    return request(head.encode() + payload, address)


def get(path, address=DASHBOARD):
    return request(("GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n" % path).encode(), address)


def wait_port(address, seconds=20):
    end = time.time() + seconds
    while time.time() < end:
        try:
            socket.create_connection(address, timeout=1).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


# Every server started, for Checks.finish.
SERVERS = []


def _fail_at_once(kind, value, trace):
    """A test that ends in a traceback ends there: its servers killed, and
    no wait for the threads it left sending (which would run until ctest's
    time-out)."""
    sys.__excepthook__(kind, value, trace)
    for server in SERVERS:
        if server.process.poll() is None:
            server.process.kill()
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(1)


sys.excepthook = _fail_at_once


class Server:
    """One qvstats process; stop() sends SIGTERM and returns its exit code."""

    def __init__(self, db, *extra, listen="127.0.0.1:80", dashboard="127.0.0.1:8080", files=None, limits=False):
        """limits: the per-source limits as an operator gets them; off by
        default, since a test's load all comes from one address."""
        self.log = tempfile.NamedTemporaryFile(prefix="qvstats-", suffix=".log", delete=False)
        args = [os.environ["QVSTATS"], "serve", "--db", db, "--listen", listen, "--dashboard", dashboard] + \
            ([] if limits else ["--source-rate", "0"]) + list(extra)
        limit = (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (files, files))) if files else None
        self.process = subprocess.Popen(args, stdout=self.log, stderr=subprocess.STDOUT, preexec_fn=limit)
        SERVERS.append(self)
        host, port = listen.rsplit(":", 1)
        self.ready = wait_port((host, int(port)))

    def stop(self, sig=signal.SIGTERM, timeout=30):
        if self.process.poll() is None:
            self.process.send_signal(sig)
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            return None

    def cpu_seconds(self):
        fields = open("/proc/%d/stat" % self.process.pid).read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def output(self):
        with open(self.log.name, "rb") as f:
            return f.read().decode("utf-8", "replace")


def run_briefly(*args, timeout=20):
    """qvstats started for a start-up error: (exit code, stderr)."""
    p = subprocess.run([os.environ["QVSTATS"]] + list(args), capture_output=True, timeout=timeout)
    return p.returncode, p.stderr.decode("utf-8", "replace")


def workdir():
    folder = tempfile.mkdtemp(prefix="qvstats-test-")
    os.chmod(folder, 0o755)  # PostgreSQL runs as another user below it
    return folder


def remove(folder):
    shutil.rmtree(folder, ignore_errors=True)
