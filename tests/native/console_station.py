"""What the console tests share: simulated boards and a station with --console.

The boards are k4471-sim processes on pseudo-terminals, each with a control
FIFO; the station is the real k4471-cli, its output kept in a file.
"""
import http.client
import os
import re
import shutil
import subprocess
import tempfile
import time


def wait_until(what, limit, check, pause=0.05):
    """Waits up to `limit` seconds for check() to be true; its last value."""
    end = time.monotonic() + limit
    while True:
        value = check()
        if value or time.monotonic() > end:
            if not value:
                raise AssertionError("waited %s s for %s" % (limit, what))
            return value
        time.sleep(pause)


class Bench:
    """A scratch folder with boards and at most one station."""

    def __init__(self, cli, sim, image):
        self.cli, self.sim, self.image = cli, sim, image
        self.dir = tempfile.mkdtemp(prefix="k4471-console-")
        self.sims = []
        self.station = None
        self.report = os.path.join(self.dir, "report.json")
        self.out = os.path.join(self.dir, "station.txt")

    def board(self, name, *options):
        """A simulated board; its port. Options are strings or bytes."""
        link = os.path.join(self.dir, name + ".tty")
        control = os.path.join(self.dir, name + ".ctl")
        args = [self.sim, "--link", link, "--control", control] + list(options)
        self.sims.append(subprocess.Popen(args, stdin=subprocess.DEVNULL,
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        wait_until("board " + name, 20, lambda: os.path.exists(link) and os.path.exists(control))
        return link

    def control(self, port, line):
        with open(port[:-len(".tty")] + ".ctl", "w") as fifo:
            fifo.write(line + "\n")

    def start_station(self, ports, *options, env=None):
        """Starts the station; the console's URL it printed."""
        args = [self.cli, "program", self.image, "--report", self.report, "--loop",
                "--swap-seconds", "0.3"]
        for port in ports:
            args += ["--port", port]
        args += list(options)
        environment = dict(os.environ, **(env or {}))
        with open(self.out, "w") as out:
            self.station = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=out,
                                            stderr=subprocess.STDOUT, env=environment)
        found = wait_until("the console's URL", 30, lambda: re.search(
            r"The station's page: (http://\S+)", self.said()))
        return found.group(1)

    def said(self):
        with open(self.out, errors="replace") as f:
            return f.read()

    def end_station(self, limit=60):
        """The station's exit code once it ended by itself."""
        return self.station.wait(timeout=limit)

    def report_lines(self):
        import json
        with open(self.report) as f:
            return [json.loads(line) for line in f if line.strip()]

    def close(self):
        if self.station and self.station.poll() is None:
            self.station.kill()
            self.station.wait()
        for sim in self.sims:
            sim.terminate()
            sim.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


def request(url, path, method="GET", headers=None, timeout=10):
    """(status, headers, body) of one request to the console at `url`."""
    match = re.match(r"http://([^/]+)/", url)
    host, port = match.group(1).rsplit(":", 1)
    connection = http.client.HTTPConnection(host.strip("[]"), int(port), timeout=timeout)
    body = b"" if method == "POST" else None
    all_headers = {"Host": match.group(1)}
    all_headers.update(headers or {})
    connection.request(method, path, body=body, headers=all_headers)
    response = connection.getresponse()
    data = response.read() if "event-stream" not in (response.getheader("Content-Type") or "") \
        else b""
    result = (response.status, dict(response.getheaders()), data)
    connection.close()
    return result
