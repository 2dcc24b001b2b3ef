#!/usr/bin/env python3
"""The fleet at scale: one mosquitto on a free loopback port, SERVERS lamp
servers of MACHINES lamps each (bench/fleet_lamps.cc), and one more server with the web panel whose
fleet view follows them all. Drives RATE state changes a second (a
`switch:*` write through each server's own socket, round robin over every
lamp) and times each change from the write, and from the state's entry time,
to the first text of the fleet view's live stream (/api/fleet/live) that
shows it; reports the broker's and the servers' CPU (from /proc) and
resident memory, then kills one lamp server (SIGKILL) and freezes another
(SIGSTOP, as a host cut off) and times until the fleet view shows each
offline. bench/fleet_scale.sh builds the programs and runs this; see
bench/README.md."""

import argparse
import http.client
import json
import os
import pwd
import re
import resource
import signal
import socket
import subprocess
import sys
import threading
import time

FACILITY = "BENCH.FLEET"
SINCE = re.compile(rb',"since_ms":(\d+)')


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_mib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def percentile(sorted_values, p):
    if not sorted_values:
        return float("nan")
    rank = max(0, min(len(sorted_values) - 1, int(round(p / 100 * len(sorted_values) + 0.5)) - 1))
    return sorted_values[rank]


class Fleet:
    """The processes, by name, and where they write their output."""

    def __init__(self, run):
        self.run = run
        self.procs = {}

    def start(self, name, text, argv, limit=20):
        out = open(os.path.join(self.run, name + ".out"), "wb")
        self.procs[name] = subprocess.Popen(argv, cwd=self.run, stdout=out, stderr=subprocess.STDOUT)
        until = time.time() + limit
        while time.time() < until:
            with open(os.path.join(self.run, name + ".out"), "rb") as f:
                for line in f:
                    if text in line:
                        return line.decode(errors="replace")
            if self.procs[name].poll() is not None:
                break
            time.sleep(0.05)
        sys.exit(f"{name} did not start; see {self.run}/{name}.out")

    def stop(self):
        for p in self.procs.values():
            if p.poll() is None:
                p.kill()  # a stopped one too
                p.wait()


class Stream:
    """Follows the fleet view's live stream on a thread of its own: each
    text is searched for the changes that wait to be seen."""

    def __init__(self, host, port):
        self.lock = threading.Lock()
        self.pending = {}  # location -> (expected state, write time)
        self.seen = []  # (write to view, entry to view), in ms
        self.texts = 0
        self.watch = None  # (server, callback) for one whole text
        self.conn = http.client.HTTPConnection(host, port, timeout=30)
        self.conn.request("GET", "/api/fleet/live")
        self.response = self.conn.getresponse()
        threading.Thread(target=self.follow, daemon=True).start()

    def follow(self):
        while True:
            line = self.response.readline()
            if not line:
                return
            if not line.startswith(b"data: "):
                continue
            now = time.time()
            with self.lock:
                self.texts += 1
                for location, (state, written) in list(self.pending.items()):
                    needle = b'"path":"%s/%s"' % (location.encode(), state.encode())
                    at = line.find(needle)
                    if at < 0:
                        continue
                    since = SINCE.match(line, at + len(needle))
                    entry = now * 1000 - int(since.group(1)) if since else float("nan")
                    self.seen.append(((now - written) * 1000, entry))
                    del self.pending[location]
                watch = self.watch
            if watch is not None:
                watch(json.loads(line[6:]), now)


def main():
    a = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    a.add_argument("--bin", required=True, help="the build folder (bench/fleet_lamps)")
    a.add_argument("--run", required=True, help="a folder for the configurations and outputs")
    a.add_argument("--servers", type=int, default=50)
    a.add_argument("--machines", type=int, default=20)
    a.add_argument("--rate", type=float, default=100, help="state changes a second")
    a.add_argument("--seconds", type=float, default=30, help="of driving")
    a.add_argument("--update", type=int, default=100, help="the servers' update period, ms")
    a.add_argument("--keepalive", type=int, default=5)
    o = a.parse_args()
    o.run = os.path.abspath(o.run)
    os.makedirs(o.run, exist_ok=True)
    fleet = Fleet(o.run)
    try:
        run(o, fleet)
    finally:
        fleet.stop()


def run(o, fleet):
    port = free_port()
    with open(os.path.join(o.run, "broker.conf"), "w") as f:
        # As this user: run as root, it would change to another.
        f.write(f"user {pwd.getpwuid(os.getuid()).pw_name}\nlistener {port} 127.0.0.1\n"
                "allow_anonymous true\npersistence false\nlog_dest stderr\n")
    os.environ["PATH"] += ":/usr/sbin"
    fleet.start("broker", b" running", ["mosquitto", "-c", "broker.conf"])
    lamp = os.path.join(os.path.abspath(o.bin), "bench", "fleet_lamps")

    def conf(name, machines, extra=""):
        text = (f"server {FACILITY} {name}\nlisten unix:{name}.sock\nupdate {o.update}\n"
                f"mqtt mqtt://127.0.0.1:{port}\nmqtt_keepalive {o.keepalive}\n{extra}")
        for i, m in enumerate(machines):
            text += f"location {m} 100 lamp{i:02d}\n"
        with open(os.path.join(o.run, name + ".conf"), "w") as f:
            f.write(text)

    names = ["S%02d" % s for s in range(1, o.servers + 1)]
    lamps = {n: ["L%s_%02d" % (n[1:], m) for m in range(o.machines)] for n in names}
    conf("VIEW", ["VIEW_00"], "http 127.0.0.1:0\n")
    line = fleet.start("VIEW", b"web panel listening on", [lamp, "VIEW.conf"])
    host, view_port = re.search(r"http://([0-9.]+):(\d+)/", line).groups()
    began = time.time()
    for n in names:
        conf(n, lamps[n])
        fleet.start(n, b"listening on", [lamp, n + ".conf"])
    started = time.time() - began

    # Every lamp in the fleet view, every server online.
    total = o.servers * o.machines + 1
    until = time.time() + 120
    while True:
        c = http.client.HTTPConnection(host, int(view_port), timeout=10)
        c.request("GET", "/api/fleet")
        view = json.loads(c.getresponse().read())
        c.close()
        shown = sum(len(s["machines"]) for s in view["servers"] if s["online"])
        if shown == total:
            break
        if time.time() > until:
            sys.exit(f"the fleet view shows {shown} of {total} machines online")
        time.sleep(0.2)
    converged = time.time() - began

    stream = Stream(host, int(view_port))
    socks = {}
    for n in names:
        s = socket.socket(socket.AF_UNIX)
        s.connect(os.path.join(o.run, n + ".sock"))
        socks[n] = s.makefile("rwb")
    order = [(n, lamps[n][m]) for m in range(o.machines) for n in names]
    state = {}
    lost = 0
    refused = 0
    pids = {n: fleet.procs[n].pid for n in ["broker", "VIEW"] + names}
    load_before = os.getloadavg()
    cpu_before = {n: cpu_seconds(p) for n, p in pids.items()}
    self_before = resource.getrusage(resource.RUSAGE_SELF)
    t0 = time.time()
    writes = int(o.rate * o.seconds)
    for i in range(writes):
        wait = t0 + i / o.rate - time.time()
        if wait > 0:
            time.sleep(wait)
        server, location = order[i % len(order)]
        state[location] = "off" if state.get(location) == "on" else "on"
        with stream.lock:
            if location in stream.pending:
                lost += 1  # its last change never showed: the next one undoes it
                del stream.pending[location]
            stream.pending[location] = (state[location], time.time())
        f = socks[server]
        f.write(b"set %s/%s/%s/EVENT 3 switch:*\n" % (FACILITY.encode(), server.encode(),
                                                      location.encode()))
        f.flush()
        answer = f.readline()
        if not answer.startswith(b"ok "):
            refused += 1
            with stream.lock:
                stream.pending.pop(location, None)
    driven = time.time() - t0
    until = time.time() + 5
    while time.time() < until:
        with stream.lock:
            if not stream.pending:
                break
        time.sleep(0.05)
    elapsed = time.time() - t0
    cpu = {n: (cpu_seconds(p) - cpu_before[n]) / elapsed for n, p in pids.items()}
    rss = {n: rss_mib(p) for n, p in pids.items()}
    self_after = resource.getrusage(resource.RUSAGE_SELF)
    load_after = os.getloadavg()
    with stream.lock:
        lost += len(stream.pending)
        seen = list(stream.seen)
        texts = stream.texts
    from_write = sorted(s[0] for s in seen)
    from_entry = sorted(s[1] for s in seen)
    lamp_cpu = [cpu[n] for n in names]
    lamp_rss = [rss[n] for n in names]

    # Offline: one server killed, one frozen.
    def offline_after(server, sig):
        done = threading.Event()
        when = []
        start = time.time()

        def check(view, now):
            for s in view["servers"]:
                if s["server"] == f"{FACILITY}/{server}" and not s["online"] and not done.is_set():
                    when.append(now - start)
                    done.set()

        stream.watch = check
        os.kill(fleet.procs[server].pid, sig)
        done.wait(60)
        stream.watch = None
        return when[0] if when else float("nan")

    killed = offline_after(names[-1], signal.SIGKILL)
    frozen = offline_after(names[-2], signal.SIGSTOP)

    out = []
    out.append(f"fleet_scale {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, "
               f"{os.cpu_count()} cores, load average {load_before[0]:.2f} before driving, "
               f"{load_after[0]:.2f} after")
    out.append(f"{o.servers} servers x {o.machines} lamps (+1 server with the fleet view), "
               f"update {o.update} ms, keepalive {o.keepalive} s")
    out.append(f"started in {started:.1f} s; all {total} machines online in the view after "
               f"{converged:.1f} s")
    out.append(f"driven: {writes} changes in {driven:.1f} s ({writes / driven:.0f}/s), "
               f"{len(seen)} seen, {lost} not seen within 5 s or before the next change, "
               f"{refused} refused; {texts} live texts")
    for label, values in (("write to fleet view", from_write), ("entry to fleet view", from_entry)):
        out.append(f"{label}: p50 {percentile(values, 50):.0f} ms, p99 "
                   f"{percentile(values, 99):.0f} ms, max {values[-1] if values else 0:.0f} ms")
    out.append(f"CPU (cores) broker {cpu['broker']:.3f}, lamp servers {sum(lamp_cpu):.3f} in all "
               f"({sum(lamp_cpu) / len(lamp_cpu):.4f} mean, {max(lamp_cpu):.4f} max), "
               f"fleet-view server {cpu['VIEW']:.3f}, this driver "
               f"{(self_after.ru_utime + self_after.ru_stime - self_before.ru_utime - self_before.ru_stime) / elapsed:.3f}")
    out.append(f"RSS (MiB) broker {rss['broker']:.1f}, lamp server {sum(lamp_rss) / len(lamp_rss):.1f} "
               f"mean ({max(lamp_rss):.1f} max, {sum(lamp_rss):.0f} in all), "
               f"fleet-view server {rss['VIEW']:.1f}")
    out.append(f"offline in the fleet view: killed (SIGKILL) after {killed:.2f} s, frozen (SIGSTOP) "
               f"after {frozen:.2f} s")
    text = "\n".join(out)
    print(text)
    with open(os.path.join(o.run, "results.txt"), "w") as f:
        f.write(text + "\n")


if __name__ == "__main__":
    main()
