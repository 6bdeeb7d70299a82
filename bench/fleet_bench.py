#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""The fleet feed measured from outside, with the real executables: each
daemon runs under a simulation root of its own, its receiver replayed by
gnssd-sim at 1 Hz, and publishes through its fleet process to a mosquitto
broker on the loopback.

scale   N daemons publishing every cycle to one broker: the broker's
        messages and bytes per second ($SYS), its CPU and RSS, and each
        daemon's CPU and RSS (the service and its fleet process apart);
        before that, a few daemons per dialect (native, owntracks, native
        with Home Assistant discovery) for the bytes per position on the
        wire, from the broker's $SYS/broker/bytes/received.
flash   four daemons side by side for --seconds: no fleet output; MQTT
        connected (store on); broker unreachable with the store on; broker
        unreachable with MOD_GPS_STORE_SIZE=0. For each: flash written by the
        service and its fleet process (/proc/PID/io write_bytes less
        cancelled_write_bytes), extrapolated to an hour, and the RSS, PSS and
        private dirty memory of each process. The roots go below --dir, which
        must be on a disk-backed file system (tmpfs counts nothing).

usage: bench/fleet_bench.py scale [-n 50] [--seconds 60] [--per-dialect 3] [--dialect-seconds 30]
       bench/fleet_bench.py flash [--seconds 300] [--dir /var/tmp]
       common: [--build BUILD] [--capture FILE]
"""
import argparse, contextlib, os, shutil, signal, subprocess, sys, tempfile, time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from vs_gpsd import HZ, cpu_seconds, free_port  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_CAPTURE = os.path.join(HERE, "..", "tests", "data", "gpsd-ublox-neo-m9n-nmea.nmea")


def proc_fields(pid, name, keys):
    """The kB (or byte) figures of /proc/PID/<name> for the keys given."""
    out = dict.fromkeys(keys, 0)
    try:
        with open(f"/proc/{pid}/{name}") as f:
            for line in f:
                k, _, v = line.partition(":")
                if k in out:
                    out[k] = int(v.split()[0])
    except OSError:
        pass
    return out


def memory(pid):
    m = proc_fields(pid, "status", ("VmRSS", "VmHWM"))
    m.update(proc_fields(pid, "smaps_rollup", ("Pss", "Private_Dirty")))
    return m


def flash_bytes(pid):
    io = proc_fields(pid, "io", ("write_bytes", "cancelled_write_bytes"))
    return io["write_bytes"] - io["cancelled_write_bytes"]


def children(pid):
    """Children of any thread of pid: the fleet process is started by one of
    the service's threads, not necessarily the main one."""
    out = []
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/children") as f:
                out += [int(c) for c in f.read().split()]
    except OSError:
        pass
    return out


def wait_for(what, timeout):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if what():
            return True
        time.sleep(0.2)
    return False


class Broker:
    """A plain mosquitto on a free loopback port that reports its $SYS
    figures every second, and a subscriber that records them."""

    def __init__(self, workdir):
        self.port = free_port()
        self.dir = workdir
        conf = os.path.join(workdir, "mosquitto.conf")
        with open(conf, "w") as f:
            f.write(f"listener {self.port} 127.0.0.1\nallow_anonymous true\nsys_interval 1\n"
                    f"persistence false\nlog_dest none\nmax_queued_messages 100000\n"
                    f"user {'root' if os.getuid() == 0 else 'mosquitto'}\n")
        self.proc = subprocess.Popen(["mosquitto", "-c", conf])
        if not wait_for(lambda: self._connectable(), 10):
            sys.exit("mosquitto did not start")
        self.sys_log = os.path.join(workdir, "sys.out")
        self.sys_sub = subprocess.Popen(["mosquitto_sub", "-p", str(self.port), "-v", "-t", "$SYS/broker/#"],
                                        stdout=open(self.sys_log, "w"))
        # The fleet's backend: one subscriber to everything the routers publish,
        # so that the broker does the fan-out work of a real fleet; at QoS 0, so
        # that what the broker receives is the routers' traffic alone.
        self.backend = subprocess.Popen(["mosquitto_sub", "-p", str(self.port), "-q", "0", "-t", "gnss/#", "-t",
                                         "owntracks/#", "-t", "homeassistant/#"], stdout=subprocess.DEVNULL)

    def _connectable(self):
        import socket
        try:
            socket.create_connection(("127.0.0.1", self.port), 0.2).close()
            return True
        except OSError:
            return False

    def sys_value(self, topic):
        """The latest value the broker gave for $SYS/broker/<topic>."""
        value = None
        with open(self.sys_log) as f:
            for line in f:
                t, _, v = line.rstrip("\n").partition(" ")
                if t == "$SYS/broker/" + topic:
                    value = v
        return float(value.split()[0]) if value else 0.0

    def close(self):
        for p in (self.backend, self.sys_sub, self.proc):
            p.terminate()
            p.wait(5)


class Daemon:
    """gnssd-sim laying out a router below a root of its own and replaying the
    capture at 1 Hz in a loop, and gnssd running against it."""

    def __init__(self, build, capture, parent, name, settings):
        self.root = os.path.join(parent, name)
        os.makedirs(self.root, exist_ok=True)
        self.build = build
        self.sim = subprocess.Popen(
            [os.path.join(build, "gnssd-sim"), "--root", self.root, "--family", "gpsstart", "--capture", capture,
             "--loop"] + [w for s in settings for w in ("--set", s)],
            stdout=subprocess.DEVNULL, stderr=open(os.path.join(self.root, "..", name + ".sim.log"), "w"))
        self.proc = None

    def ready(self):
        return os.path.exists(os.path.join(self.root, "sim", "ready"))

    def start(self, run_in_ram=False):
        if run_in_ram:
            # The router keeps /run (the status files, rewritten every cycle) in
            # RAM: so does this root, so that only the flash the router writes counts.
            ram = tempfile.mkdtemp(prefix="fleet-run-", dir="/dev/shm")
            os.chmod(ram, 0o755)
            run = os.path.join(self.root, "run")
            for entry in os.listdir(run):
                shutil.move(os.path.join(run, entry), ram)
            os.rmdir(run)
            os.symlink(ram, run)
            self.ram = ram
        self.log = os.path.join(self.root, "..", os.path.basename(self.root) + ".log")
        self.proc = subprocess.Popen([os.path.join(self.build, "gnssd")], env=dict(os.environ, GNSSD_ROOT=self.root),
                                     stdout=subprocess.DEVNULL, stderr=open(self.log, "w"))

    def running(self):
        with open(self.log) as f:
            return "gps: notice: running..." in f.read()

    def fleet_pid(self):
        c = children(self.proc.pid)
        return c[0] if c else None

    def close(self):
        if self.proc:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.sim.terminate()
        self.sim.wait(10)
        if getattr(self, "ram", None):
            shutil.rmtree(self.ram, ignore_errors=True)


def start_fleet(build, capture, parent, count, settings_of, daemons, fleet=True, run_in_ram=False):
    """Adds count daemons to daemons (the caller stops them, also after a
    failure here)."""
    group = [Daemon(build, capture, parent, f"r{i:03d}", settings_of(i)) for i in range(count)]
    daemons += group
    if not wait_for(lambda: all(d.ready() for d in group), 60 + count):
        raise SystemExit("a simulator did not lay out its root: see " + parent)
    for d in group:
        d.start(run_in_ram)
    if not wait_for(lambda: all(d.running() for d in group), 60 + count):
        raise SystemExit("a daemon did not start: see " + parent)
    if fleet and not wait_for(lambda: all(d.fleet_pid() for d in group), 30):
        raise SystemExit("a fleet process did not start: see " + parent)


def mqtt_settings(port, router, more=()):
    return ["MOD_GPS_MQTT_ENABLED=1", "MOD_GPS_MQTT_HOST=127.0.0.1", f"MOD_GPS_MQTT_PORT={port}",
            "MOD_GPS_MQTT_PERIOD=1", "MOD_GPS_MQTT_PERIOD_HALT=1", f"MOD_GPS_ROUTER_ID_STRING={router}"] + list(more)


DIALECTS = {
    "native": [],
    "owntracks": ["MOD_GPS_MQTT_FORMAT=owntracks"],
    "native + Home Assistant": ["MOD_GPS_MQTT_HA_DISCOVERY=1"],
}


def window(broker, seconds, daemons=()):
    """Broker counters and each process's CPU over the next seconds."""
    # messages/received counts every packet (PUBLISH, and a PINGREQ per keep-alive);
    # this broker leaves publish/messages/received at 0.
    counters = ("messages/received", "bytes/received", "publish/bytes/received", "bytes/sent")
    time.sleep(1.5)  # a fresh $SYS round
    pids = [(d.proc.pid, d.fleet_pid()) for d in daemons]
    b0 = {c: broker.sys_value(c) for c in counters}
    cpu0 = [(cpu_seconds(s), cpu_seconds(f) if f else 0) for s, f in pids]
    bcpu0, t0 = cpu_seconds(broker.proc.pid), time.monotonic()
    time.sleep(seconds)
    b1 = {c: broker.sys_value(c) for c in counters}
    cpu1 = [(cpu_seconds(s), cpu_seconds(f) if f else 0) for s, f in pids]
    elapsed = time.monotonic() - t0
    rate = {c: (b1[c] - b0[c]) / elapsed for c in counters}
    rate["broker_cpu"] = (cpu_seconds(broker.proc.pid) - bcpu0) / elapsed
    cpu = [((a1 - a0) / elapsed, (f1 - f0) / elapsed) for (a0, f0), (a1, f1) in zip(cpu0, cpu1)]
    return rate, cpu, pids


@contextlib.contextmanager
def workplace(args, prefix, parent=None):
    """A folder, a broker and the daemons of one run (a list the run fills),
    all stopped and removed at its end, also after a failure."""
    work = tempfile.mkdtemp(prefix=prefix, dir=parent)
    os.chmod(work, 0o755)  # the fleet process's user reaches its store below, as below / on the router
    broker = Broker(work)
    daemons = []
    try:
        yield work, broker, daemons
    finally:
        for d in daemons:
            d.close()
        broker.close()
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


def spread(values, digits=0):
    values = sorted(values)
    return f"{values[len(values) // 2]:.{digits}f} (max {values[-1]:.{digits}f})" if values else "-"


def scale(args):
    with workplace(args, "fleet-scale-") as (work, broker, daemons):
        print(f"bytes per position on the wire ({args.per_dialect} daemons per dialect, "
              f"{args.dialect_seconds} s, QoS 1, plain MQTT):")
        print("| Dialect | Messages per position | Bytes per position on the wire | of which payload |")
        print("|---|---:|---:|---:|")
        for dialect, extra in DIALECTS.items():
            group = os.path.join(work, dialect.replace(" ", "").replace("+", "-"))
            os.makedirs(group)
            start_fleet(args.build, args.capture, group, args.per_dialect,
                        lambda i: mqtt_settings(broker.port, f"van{i}", extra), daemons)
            time.sleep(3)  # past the connects and the retained status and discovery messages
            rate, _, _ = window(broker, args.dialect_seconds)
            positions = args.per_dialect  # one paced position per daemon and second
            print(f"| {dialect} | {rate['messages/received'] / positions:.2f} "
                  f"| {rate['bytes/received'] / positions:.0f} | {rate['publish/bytes/received'] / positions:.0f} |")
            for d in daemons:
                d.close()
            daemons.clear()
        print(f"\n{args.n} daemons (native, every cycle at 1 Hz), {args.seconds} s:")
        start_fleet(args.build, args.capture, os.path.join(work, "fleet"), args.n,
                    lambda i: mqtt_settings(broker.port, f"r{i:03d}"), daemons)
        time.sleep(3)
        rate, cpu, pids = window(broker, args.seconds, daemons)
        mem = [(memory(s), memory(f)) for s, f in pids]
        bmem = memory(broker.proc.pid)
        print(f"broker: {rate['messages/received']:.1f} messages/s in, "
              f"{rate['bytes/received'] / 1024:.1f} KiB/s in, {rate['bytes/sent'] / 1024:.1f} KiB/s out "
              "(to the backend and $SYS), "
              f"CPU {100 * rate['broker_cpu']:.1f} % of a core, RSS {bmem['VmRSS'] / 1024:.1f} MB")
        print("| Per daemon (median, max) | Service | Fleet process |")
        print("|---|---|---|")
        print(f"| CPU, ms per second | {spread([1000 * s for s, _ in cpu], 2)} "
              f"| {spread([1000 * f for _, f in cpu], 2)} |")
        print(f"| CPU of all {args.n}, % of a core | {100 * sum(s for s, _ in cpu):.1f} "
              f"| {100 * sum(f for _, f in cpu):.1f} |")
        for key, label in (("VmRSS", "RSS, kB"), ("Pss", "PSS, kB"), ("Private_Dirty", "private dirty, kB")):
            print(f"| {label} | {spread([s[key] for s, _ in mem])} | {spread([f[key] for _, f in mem])} |")
        print(f"(CPU in clock ticks of {1000 // HZ} ms over the window)")


def flash(args):
    os.makedirs(args.dir, exist_ok=True)
    with workplace(args, "fleet-flash-", args.dir) as (work, broker, daemons):
        away = free_port()  # nothing listens there: the backend is away
        cases = [
            ("no fleet output", []),
            ("MQTT connected, store on", mqtt_settings(broker.port, "r1")),
            ("broker away, store on (8192 KiB, SYNC 5)", mqtt_settings(away, "r2")),
            ("broker away, MOD_GPS_STORE_SIZE=0", mqtt_settings(away, "r3", ["MOD_GPS_STORE_SIZE=0"])),
        ]
        for i, (_, settings) in enumerate(cases):
            start_fleet(args.build, args.capture, os.path.join(work, f"case{i}"), 1, lambda _: settings, daemons,
                        fleet=bool(settings), run_in_ram=True)
        time.sleep(10)  # past the creation of the stores
        pids = [(d.proc.pid, d.fleet_pid()) for d in daemons]
        w0 = [(flash_bytes(s), flash_bytes(f) if f else 0) for s, f in pids]
        t0 = time.monotonic()
        time.sleep(args.seconds)
        os.sync()  # what the kernel still holds counts as written already (at dirtying)
        w1 = [(flash_bytes(s), flash_bytes(f) if f else 0) for s, f in pids]
        hour = 3600 / (time.monotonic() - t0)
        print(f"{args.seconds} s at 1 Hz below {work}, extrapolated to an hour:")
        print("| Case | Flash per hour: service | fleet process | together | Service RSS / PSS / private dirty, kB "
              "| Fleet process RSS / PSS / private dirty, kB |")
        print("|---|---:|---:|---:|---|---|")
        for (name, _), (s, f), (s0, f0), (s1, f1) in zip(cases, pids, w0, w1):
            ws, wf = (s1 - s0) * hour, (f1 - f0) * hour

            def m(pid):
                if not pid:
                    return "-"
                x = memory(pid)
                return f"{x['VmRSS']} / {x['Pss']} / {x['Private_Dirty']}"

            print(f"| {name} | {ws / 1e6:.2f} MB | {wf / 1e6:.2f} MB | {(ws + wf) / 1e6:.2f} MB | {m(s)} | {m(f)} |")


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("what", choices=("scale", "flash"))
    p.add_argument("--build", default=os.path.join(HERE, "..", "build"), help="folder with gnssd, gnssd-fleet, gnssd-sim")
    p.add_argument("--capture", default=DEFAULT_CAPTURE)
    p.add_argument("-n", type=int, default=50)
    p.add_argument("--seconds", type=int)
    p.add_argument("--per-dialect", type=int, default=3)
    p.add_argument("--dialect-seconds", type=int, default=30)
    p.add_argument("--dir", default="/var/tmp")
    p.add_argument("--keep", action="store_true", help="keep the roots and logs")
    args = p.parse_args()
    args.build, args.capture = os.path.abspath(args.build), os.path.abspath(args.capture)
    if args.seconds is None:
        args.seconds = 60 if args.what == "scale" else 300
    return scale(args) if args.what == "scale" else flash(args)


if __name__ == "__main__":
    sys.exit(main())
