#!/usr/bin/env python3
"""Compares gnssd with gpsd on the same work: each reads the same NMEA
capture from a pseudo-terminal as fast as it can, and the script prints the
CPU time per sentence of each, their ratio and each one's peak RSS.

gnssd runs under a simulation root with the $GPS_START module (no AT start-up
sequence to wait for beyond its fixed delay), its pseudo-terminal /dev/nmea
and the ttyS0 output on, both drained by this script. gpsd runs with -n (poll
the device without waiting for a client) and one watching client in raw NMEA
mode. CPU time is user + system time of the daemon process only, read from
/proc when the last sentence has come out of it.

usage: bench/vs_gpsd.py [--gnssd BUILD/gnssd] [--capture FILE] [--repeat N]
"""
import argparse, os, pty, select, shutil, signal, socket, subprocess, sys, tempfile, termios, time, tty

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


def run_gnssd(binary, data, want):
    root = tempfile.mkdtemp(prefix="gnssd-bench-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    for d in ("dev", "proc/tty/driver", "run/lock", "run/gps", "opt/gps/etc", "usr/bin"):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    with open(os.path.join(root, "proc/tty/driver/usbserial"), "w") as f:
        f.write('usbserinfo:1.0 driver:2.0\n8: name:"GSM modem" vendor:1410 product:a021 '
                'num_ports:1 port:1 path:usb-bench\n')
    with open(os.path.join(root, "opt/gps/etc/settings"), "w") as f:
        f.write("MOD_GPS_PTY_ENABLED=1\nMOD_GPS_EP1_ENABLED=1\n")
    mod_m, mod_s, mod_name = raw_pty()
    out_m, out_s, out_name = raw_pty()
    os.symlink(mod_name, os.path.join(root, "dev/ttyUSB9"))
    os.symlink(out_name, os.path.join(root, "dev/ttyS0"))
    env = dict(os.environ, GNSSD_ROOT=root)
    proc = subprocess.Popen([binary], env=env, stderr=subprocess.DEVNULL)
    try:
        # The module is started by "$GPS_START" on its data port.
        got = b""
        end = time.time() + 30
        while b"$GPS_START" not in got and time.time() < end:
            r, _, _ = select.select([mod_m], [], [], 0.5)
            if r:
                got += os.read(mod_m, 1024)
        nmea = os.path.join(root, "dev/nmea")
        while not os.path.exists(nmea) and time.time() < end:
            time.sleep(0.05)
        pty_fd = os.open(nmea, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
        cpu0 = cpu_seconds(proc.pid)
        t0 = time.time()
        seen = feed(mod_m, data, [pty_fd, out_m], want, pty_fd)
        wall = time.time() - t0
        cpu = cpu_seconds(proc.pid) - cpu0
        rss = peak_rss_kib(proc.pid)
        os.close(pty_fd)
        return seen, cpu, wall, rss
    finally:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(20)
        except subprocess.TimeoutExpired:
            proc.kill()
        for fd in (mod_m, mod_s, out_m, out_s):
            os.close(fd)
        shutil.rmtree(root, ignore_errors=True)


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


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
        rss = peak_rss_kib(proc.pid)
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
        subprocess.run(["ipcrm", "-M", "0x47505345"], stderr=subprocess.DEVNULL)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser()
    ap.add_argument("--gnssd", default=os.path.join(here, "..", "build", "gnssd"))
    ap.add_argument("--capture", default=None)
    ap.add_argument("--repeat", type=int, default=1)
    a = ap.parse_args()
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
    rows = []
    for name, fn in (("gnssd", lambda: run_gnssd(a.gnssd, data, want)), ("gpsd", lambda: run_gpsd(data, want))):
        seen, cpu, wall, rss = fn()
        per = cpu / max(seen, 1) * 1e6
        rows.append((name, seen, cpu, wall, per, rss))
        print(f"{name:6s} sentences out {seen:8d}  cpu {cpu:7.3f} s  wall {wall:7.3f} s  "
              f"cpu/sentence {per:7.2f} us  peak RSS {rss} KiB")
    if rows[0][4] > 0:
        print(f"ratio gpsd/gnssd CPU per sentence: {rows[1][4] / rows[0][4]:.1f}x")


if __name__ == "__main__":
    sys.exit(main())
