"""quilltap-web on a private dummy server: starts it with the real quilltap behind a wrapper
that copies quilltap's stdout to a file (tee), so that a test can hold what quilltap said
against what quilltap-web relayed."""

import http.client
import json
import os
import subprocess
import sys
import threading
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "process"))
import rig  # noqa: E402

WEB_BIN = os.environ.get("QUILLTAP_WEB_BIN") or os.path.join(
    os.path.dirname(rig.QUILLTAP_BIN), "quilltap-web")

# Runs as quilltap (exec keeps the pid); tee writes quilltap's stdout to <pid>.events and on.
WRAPPER = """#!/bin/bash
exec "%s" "$@" > >(exec tee "%s/$$.events")
"""


class Web:
    def __init__(self, server, *args, takes=None):
        self.logs = server.scratch_dir("events-")
        self.takes = takes or os.path.join(server.tmpdir, "takes-%s" % os.path.basename(self.logs))
        wrapper = os.path.join(self.logs, "quilltap")
        with open(wrapper, "w") as f:
            f.write(WRAPPER % (rig.QUILLTAP_BIN, self.logs))
        os.chmod(wrapper, 0o755)
        self.proc = subprocess.Popen(
            [WEB_BIN, "--listen", "127.0.0.1:0", "--takes", self.takes, "--recorder", wrapper]
            + list(args), env=server.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.first_line = self.proc.stdout.readline().decode()
        url = urllib.parse.urlsplit(self.first_line.split()[-1])
        self.port, self.token = url.port, url.query.split("=")[1]

    def request(self, method, path, body=None, token=True, headers=None):
        """(status, body bytes, response); `path` goes out exactly as given."""
        if token:
            path += ("&" if "?" in path else "?") + "token=" + self.token
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        conn.request(method, path, body=body, headers=headers or {})
        response = conn.getresponse()
        data = response.read()
        conn.close()
        return response.status, data, response

    def post(self, path, body):
        status, data, _ = self.request("POST", path, json.dumps(body).encode())
        return status, json.loads(data)

    def quilltap_lines(self, first_event="started"):
        """The stdout lines of the latest quilltap run whose first line is `first_event`, and
        its pid."""
        names = [n for n in os.listdir(self.logs) if n.endswith(".events")]
        for name in sorted(names, key=lambda n: -os.path.getmtime(os.path.join(self.logs, n))):
            with open(os.path.join(self.logs, name), "rb") as f:
                lines = f.read().decode().splitlines()
            if lines and json.loads(lines[0])["event"] == first_event:
                return lines, int(name.split(".")[0])
        return [], None

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()


class EventStream:
    """Follows GET /api/events on a thread: `lines` gets every message's data as sent,
    `ends` every "end" notice."""

    def __init__(self, web):
        self.lines, self.ends = [], []
        self.cond = threading.Condition()
        conn = http.client.HTTPConnection("127.0.0.1", web.port, timeout=60)
        conn.request("GET", "/api/events?token=" + web.token)
        self.response = conn.getresponse()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        kind = "message"
        for raw in iter(self.response.readline, b""):
            line = raw.decode().rstrip("\n")
            with self.cond:
                if line.startswith("event: "):
                    kind = line[7:]
                elif line.startswith("data: "):
                    (self.lines if kind == "message" else self.ends).append(line[6:])
                    self.cond.notify_all()
                elif line == "":
                    kind = "message"

    def wait(self, predicate, timeout=30):
        with self.cond:
            if not self.cond.wait_for(lambda: predicate(self), timeout):
                raise AssertionError("event stream: %s, ends %s" % (self.lines[-3:], self.ends))
