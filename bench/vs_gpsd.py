#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Compares gnssd with gpsd on the same work: each reads the same NMEA
capture from a pseudo-terminal as fast as it can, and the script prints the
CPU time per sentence of each, their ratio and each one's peak RSS.

gnssd runs under a simulation root with the $GPS_START module (no AT start-up
sequence to wait for beyond its fixed delay), its pseudo-terminal /dev/nmea
and the ttyS0 output on, both drained by this script; sentences are counted
on ttyS0 (a flood far beyond any receiver's pace outruns the script as a
reader of /dev/nmea, which then drops whole batches to stay current). gpsd runs with -n (poll
the device without waiting for a client) and one watching client in raw NMEA
mode. CPU time is user + system time of the daemon process only, read from
/proc when the last sentence has come out of it.

Then it counts the system calls of gnssd's main thread per receiver cycle at
the real pace: one cycle of 8 sentences arriving in one read once a second,
with all four local outputs (ttyS0, ttyS1, ttyUSB0, /dev/nmea) on, counted
with strace -c on the main thread over --cycles cycles.

With --rounds N the two daemons take turns N times and the script prints the
median of each one's CPU per sentence and their ratio as well: on a shared
machine a single run of either can be off by half.

With --mqtt, gnssd runs a third time publishing every cycle's position and
NMEA to a mosquitto broker over TLS with a password (certificates made with
openssl), and its system calls per cycle are counted with MQTT on as well.

usage: bench/vs_gpsd.py [--gnssd BUILD/gnssd] [--capture FILE] [--repeat N] [--rounds N] [--cycles N] [--mqtt]
"""
import argparse, os, pty, select, shutil, signal, socket, statistics, subprocess, sys, tempfile, termios, time, tty

HZ = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / HZ


def peak_rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def pss_kib(pid):
    """Proportional set size: shared library pages counted once over every
    process that maps them, which RSS counts whole in each."""
    try:
        with open(f"/proc/{pid}/smaps_rollup") as f:
            for line in f:
                if line.startswith("Pss:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def raw_pty():
    master, slave = pty.openpty()
    tty.setraw(slave)
    return master, slave, os.ttyname(slave)


def sentences(data):
    return sum(1 for line in data.split(b"\r\n") if line.startswith(b"$") and b"*" in line)


def feed(master, data, drain_fds, want, counter_fd, timeout=120):
    """Writes data into master as fast as the reader takes it, draining the
    outputs, until `want` sentence line ends came out of counter_fd."""
    os.set_blocking(master, False)
    sent, seen = 0, 0
    end = time.time() + timeout
    while seen < want and time.time() < end:
        wl = [master] if sent < len(data) else []
        r, w, _ = select.select(drain_fds, wl, [], 1.0)
        if w:
            try:
                sent += os.write(master, data[sent:sent + 4096])
            except BlockingIOError:
                pass
        for fd in r:
            try:
                chunk = os.read(fd, 65536)
            except OSError:
                continue
            if fd == counter_fd:
                seen += chunk.count(b"\n")
    return seen


class Gnssd:
    """gnssd under a simulation root with the $GPS_START module on a raw
    pseudo-terminal and the given serial outputs played by raw pseudo-
    terminals; /dev/nmea is on as well."""

    def __init__(self, binary, serial_outputs, settings=None, files=None):
        self.root = tempfile.mkdtemp(prefix="gnssd-bench-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
        for d in ("dev", "proc/tty/driver", "run/lock", "run/gps", "opt/gps/etc", "usr/bin"):
            os.makedirs(os.path.join(self.root, d), exist_ok=True)
        with open(os.path.join(self.root, "proc/tty/driver/usbserial"), "w") as f:
            f.write('usbserinfo:1.0 driver:2.0\n8: name:"GSM modem" vendor:1410 product:a021 '
                    'num_ports:1 port:1 path:usb-bench\n')
        keys = {"ttyS0": "EP1", "ttyS1": "EP2", "ttyUSB0": "USBP"}
        with open(os.path.join(self.root, "opt/gps/etc/settings"), "w") as f:
            f.write("MOD_GPS_PTY_ENABLED=1\n" + "".join(f"MOD_GPS_{keys[o]}_ENABLED=1\n" for o in serial_outputs) +
                    "".join(f"{k}\n" for k in settings or []))
        for path, text in (files or {}).items():
            os.makedirs(os.path.dirname(self.root + path), exist_ok=True)
            with open(self.root + path, "w") as f:
                f.write(text)
        self.fds = []
        self.mod_m, mod_s, mod_name = raw_pty()
        self.fds += [self.mod_m, mod_s]
        os.symlink(mod_name, os.path.join(self.root, "dev/ttyUSB9"))
        self.outputs = []
        for o in serial_outputs:
            m, sl, name = raw_pty()
            os.set_blocking(m, False)
            self.fds += [m, sl]
            self.outputs.append(m)
            os.symlink(name, os.path.join(self.root, "dev", o))
        self.proc = subprocess.Popen([binary], env=dict(os.environ, GNSSD_ROOT=self.root), stderr=subprocess.DEVNULL)
        # The module is started by "$GPS_START" on its data port.
        got = b""
        end = time.time() + 30
        while b"$GPS_START" not in got and time.time() < end:
            r, _, _ = select.select([self.mod_m], [], [], 0.5)
            if r:
                got += os.read(self.mod_m, 1024)
        nmea = os.path.join(self.root, "dev/nmea")
        while not os.path.exists(nmea) and time.time() < end:
            time.sleep(0.05)
        self.pty_fd = os.open(nmea, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
        self.fds.append(self.pty_fd)

    def drain(self):
        for fd in [self.pty_fd] + self.outputs:
            try:
                while os.read(fd, 65536):
                    pass
            except OSError:
                pass

    def close(self):
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
        for fd in self.fds:
            os.close(fd)
        shutil.rmtree(self.root, ignore_errors=True)


def run_gnssd(binary, data, want, broker=None):
    g = Gnssd(binary, ["ttyS0"], *(broker.gnssd_settings() if broker else (None, None)))
    try:
        cpu0 = cpu_seconds(g.proc.pid)
        t0 = time.time()
        seen = feed(g.mod_m, data, [g.pty_fd] + g.outputs, want, g.outputs[0])
        wall = time.time() - t0
        cpu = cpu_seconds(g.proc.pid) - cpu0
        rss = f"{peak_rss_kib(g.proc.pid)} KiB (PSS {pss_kib(g.proc.pid)} KiB)"
        return seen, cpu, wall, rss
    finally:
        g.close()


def cycles_of(data, count):
    """Consecutive receiver cycles of 8 sentences (from one $GPRMC up to the
    next), so that the status files change from one cycle to the next."""
    lines = [l + b"\r\n" for l in data.split(b"\r\n") if l.startswith(b"$")]
    starts = [i for i, l in enumerate(lines) if l.startswith(b"$GPRMC")]
    found = [b"".join(lines[a:b]) for a, b in zip(starts, starts[1:]) if b - a == 8]
    if not found:
        found = [b"".join(lines[i:i + 8]) for i in range(0, 8 * count, 8)]
    return (found * (count // max(len(found), 1) + 1))[:count]


def syscalls_per_cycle(binary, data, cycles, broker=None):
    """System calls of gnssd's main thread per 1 Hz cycle with four local outputs on."""
    strace = shutil.which("strace")
    if not strace:
        return None
    feed_cycles = cycles_of(data, cycles + 2)
    g = Gnssd(binary, ["ttyS0", "ttyS1", "ttyUSB0"], *(broker.gnssd_settings() if broker else (None, None)))
    out = tempfile.mktemp(prefix="gnssd-strace-")
    try:
        # Two cycles first: the serial outputs open (and lock) with the first one.
        for cycle in feed_cycles[:2]:
            os.write(g.mod_m, cycle)
            time.sleep(1.0)
            g.drain()
        # Without -f only the thread given is traced: the main thread.
        tr = subprocess.Popen([strace, "-c", "-o", out, "-p", str(g.proc.pid)], stderr=subprocess.DEVNULL)
        time.sleep(0.5)
        for cycle in feed_cycles[2:]:
            os.write(g.mod_m, cycle)
            time.sleep(1.0)
            g.drain()
        tr.send_signal(signal.SIGINT)
        tr.wait(10)
        total = 0
        with open(out) as f:
            for line in f:
                cols = line.split()
                if cols and cols[-1] == "total":
                    total = int(cols[3])
        return total / cycles, feed_cycles[0].count(b"\n")
    finally:
        g.close()
        if os.path.exists(out):
            os.unlink(out)


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Broker:
    """mosquitto on a free loopback port with a TLS listener whose CA and
    server certificate are made here with openssl, and a password file: the
    fleet feed as a router would run it."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="gnssd-broker-")
        self.port = free_port()
        d, ec = self.dir, "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
        subprocess.run(f"cd {d} && openssl req -x509 {ec} -keyout ca.key -out ca.pem -days 2 -subj /CN=bench-ca"
                       f" && openssl req {ec} -keyout server.key -out server.csr -subj /CN=localhost"
                       " && printf 'subjectAltName=DNS:localhost\\n' >ext"
                       " && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2"
                       " -extfile ext -out server.pem && mosquitto_passwd -b -c passwd fleet s3cret",
                       shell=True, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(os.path.join(d, "mosquitto.conf"), "w") as f:
            f.write(f"listener {self.port} 127.0.0.1\nallow_anonymous false\npassword_file {d}/passwd\n"
                    f"cafile {d}/ca.pem\ncertfile {d}/server.pem\nkeyfile {d}/server.key\n"
                    f"user {'root' if os.getuid() == 0 else 'mosquitto'}\n")
        self.proc = subprocess.Popen(["/usr/sbin/mosquitto", "-c", os.path.join(d, "mosquitto.conf")],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        end = time.time() + 10
        while time.time() < end:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                break
            except OSError:
                time.sleep(0.1)

    def gnssd_settings(self):
        with open(os.path.join(self.dir, "ca.pem")) as f:
            ca = f.read()
        return ([
            "MOD_GPS_MQTT_ENABLED=1", "MOD_GPS_MQTT_HOST=localhost", f"MOD_GPS_MQTT_PORT={self.port}",
            "MOD_GPS_MQTT_TLS=1", "MOD_GPS_MQTT_CAFILE=/etc/bench-ca.pem", "MOD_GPS_MQTT_USERNAME=fleet",
            "MOD_GPS_MQTT_PASSWORD=s3cret", "MOD_GPS_MQTT_PERIOD=1", "MOD_GPS_MQTT_PERIOD_HALT=1",
            "MOD_GPS_MQTT_NMEA=1"], {"/etc/bench-ca.pem": ca})

    def close(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
        shutil.rmtree(self.dir, ignore_errors=True)


def shm_segments():
    """shmid -> creator pid of every SysV shared memory segment."""
    segs = {}
    try:
        with open("/proc/sysvipc/shm") as f:
            next(f)
            for line in f:
                cols = line.split()
                segs[int(cols[1])] = int(cols[4])
    except OSError:
        pass
    return segs


def run_gpsd(data, want):
    gpsd = shutil.which("gpsd") or "/usr/sbin/gpsd"
    tmp = tempfile.mkdtemp(prefix="gpsd-bench-")
    mod_m, mod_s, mod_name = raw_pty()
    port = free_port()
    env = dict(os.environ, GPSD_SHM_KEY="0x47505345")
    proc = subprocess.Popen([gpsd, "-N", "-n", "-b", "-S", str(port), "-F", os.path.join(tmp, "sock"),
                             "-P", os.path.join(tmp, "pid"), mod_name], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    client = None
    try:
        end = time.time() + 20
        while time.time() < end:
            try:
                client = socket.create_connection(("127.0.0.1", port), timeout=1)
                break
            except OSError:
                time.sleep(0.1)
        client.sendall(b'?WATCH={"enable":true,"raw":1};\n')
        client.setblocking(False)
        time.sleep(1.0)  # let gpsd open the device
        cpu0 = cpu_seconds(proc.pid)
        t0 = time.time()
        seen = feed(mod_m, data, [client.fileno()], want, client.fileno())
        wall = time.time() - t0
        cpu = cpu_seconds(proc.pid) - cpu0
        rss = f"{peak_rss_kib(proc.pid)} KiB (PSS {pss_kib(proc.pid)} KiB)"
        return seen, cpu, wall, rss
    finally:
        if client:
            client.close()
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
        os.close(mod_m)
        os.close(mod_s)
        shutil.rmtree(tmp, ignore_errors=True)
        # gpsd leaves its shared memory segments (its own and the time
        # service ones) behind: remove every one it created.
        for shmid, cpid in shm_segments().items():
            if cpid == proc.pid:
                subprocess.run(["ipcrm", "-m", str(shmid)], stderr=subprocess.DEVNULL)


def main():
    sys.stdout.reconfigure(line_buffering=True)
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser()
    ap.add_argument("--gnssd", default=os.path.join(here, "..", "build", "gnssd"))
    ap.add_argument("--capture", default=None)
    ap.add_argument("--repeat", type=int, default=1)
    ap.add_argument("--rounds", type=int, default=1)
    ap.add_argument("--cycles", type=int, default=10)
    ap.add_argument("--mqtt", action="store_true", help="also run gnssd publishing to a TLS broker")
    a = ap.parse_args()
    broker = None
    if a.mqtt:
        if not (shutil.which("mosquitto") or os.path.exists("/usr/sbin/mosquitto")) or not shutil.which("openssl"):
            print("--mqtt: mosquitto or openssl is not installed (scripts/install-deps.sh)")
            return 1
        broker = Broker()
    if a.capture is None:
        # The throughput capture is rebuilt, byte for byte, from tests/data.
        a.capture = os.path.join(tempfile.gettempdir(), "gnssd-big.nmea")
        subprocess.run([sys.executable, os.path.join(here, "make_big.py"), a.capture], check=True)
    with open(a.capture, "rb") as f:
        data = f.read() * a.repeat
    # Only well-formed lines: both daemons pass exactly these on.
    data = b"".join(l + b"\r\n" for l in data.split(b"\r\n") if l.startswith(b"$") and b"*" in l)
    n = sentences(data)
    # Stop counting a little short of the end: gpsd may hold back the last
    # partial cycle and gnssd's last sentence needs the next read to frame.
    want = int(n * 0.98)
    print(f"capture: {a.capture} x{a.repeat}: {n} sentences, counting {want}")
    per = {"gnssd": [], "gpsd": []}
    ratios = []
    for _ in range(max(a.rounds, 1)):
        rows = []
        runs = [("gnssd", lambda: run_gnssd(a.gnssd, data, want)), ("gpsd", lambda: run_gpsd(data, want))]
        if broker:
            runs.append(("gnssd+mqtt/tls", lambda: run_gnssd(a.gnssd, data, want, broker)))
        for name, fn in runs:
            seen, cpu, wall, rss = fn()
            us = cpu / max(seen, 1) * 1e6
            rows.append(us)
            per.setdefault(name, []).append(us)
            print(f"{name:6s} sentences out {seen:8d}  cpu {cpu:7.3f} s  wall {wall:7.3f} s  "
                  f"cpu/sentence {us:7.2f} us  {seen / max(wall, 1e-9):9.0f} sentences/s  peak RSS {rss}")
        if rows[0] > 0 and rows[1] > 0:
            ratios.append(rows[0] / rows[1])
            print(f"ratio gnssd/gpsd CPU per sentence: {ratios[-1]:.2f} (gpsd/gnssd {1 / ratios[-1]:.1f}x)")
    if a.rounds > 1 and ratios:
        g, d = statistics.median(per["gnssd"]), statistics.median(per["gpsd"])
        print(f"median of {a.rounds} rounds: gnssd {g:.2f} us, gpsd {d:.2f} us, ratio {g / d:.2f} "
              f"(rounds {min(ratios):.2f} to {max(ratios):.2f})")
    if a.rounds > 1 and broker:
        print(f"median of {a.rounds} rounds: gnssd with MQTT over TLS {statistics.median(per['gnssd+mqtt/tls']):.2f} us")
    for label, b in [("", None)] + ([(", MQTT over TLS", broker)] if broker else []):
        if a.cycles <= 0:
            break
        got = syscalls_per_cycle(a.gnssd, data, a.cycles, b)
        if got is None:
            print("system calls per cycle: strace not found")
            break
        per_cycle, n = got
        print(f"gnssd main thread at 1 Hz, {n} sentences per cycle, four local outputs{label}: "
              f"{per_cycle:.1f} system calls per cycle ({a.cycles} cycles)")
    if broker:
        broker.close()


if __name__ == "__main__":
    sys.exit(main())
