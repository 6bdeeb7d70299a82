#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Runs the README's fleet backend recipes as far as this machine allows and
checks what each backend gets against the format that backend documents.

Three simulated routers publish to one mosquitto broker: van7 in the native
format with the HTTP output on (OsmAnd, to an HTTPS server of this script
with a CA made here by openssl) and a remote TCP stream with "$GPFID," (to a
TCP server of this script); van8 in the OwnTracks format; van9 with Home
Assistant discovery. Checked, per recipe:

- Traccar, OsmAnd over HTTPS: every request is a GET with the query
  parameters Traccar's OsmAnd port reads (id, lat, lon, timestamp in epoch
  seconds, speed in knots, bearing, altitude, accuracy, hdop, valid), over a
  verified TLS connection.
- Traccar, raw TCP: every RMC of the stream is followed by "$GPFID,<id>",
  the line Traccar's T55 decoder takes as the device's identity.
- OwnTracks recorder: location objects on owntracks/<user>/<device> with
  the types of the OwnTracks JSON format (_type, lat, lon, tst integer, tid of
  one or two characters, vel, cog, alt, acc integers).
- Home Assistant: a retained device_tracker discovery config (unique_id,
  source_type gps, device identifiers, availability of the status topic,
  json_attributes_topic), attributes with latitude, longitude, gps_accuracy.
- Node-RED and Telegraf: the native object carries "id" (the tag) and a
  "seq" that grows; "time" parses with the Go layout of the Telegraf recipe
  (RFC 3339; Go takes the fraction after the seconds when parsing).
- Node-RED itself, where --node-red names a folder with node-red installed
  (npm install node-red): the recipe's flow (mqtt in, parsed JSON) runs and
  writes msg.payload.id and msg.payload.seq of what it got.

usage: bench/fleet_recipes.py [--build BUILD] [--seconds 20] [--node-red DIR]
"""
import argparse, http.server, json, os, shutil, socket, socketserver, ssl, subprocess, sys, tempfile, threading, time
from datetime import datetime
from urllib.parse import parse_qs, urlsplit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fleet_bench import DEFAULT_CAPTURE, HERE, Broker, mqtt_settings, start_fleet, wait_for  # noqa: E402
from vs_gpsd import free_port  # noqa: E402

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)
    return ok


def make_certificates(d):
    """A CA and a server certificate for localhost signed by it."""
    def sh(*argv):
        subprocess.run(argv, cwd=d, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    sh("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
       "-subj", "/CN=fleet test CA")
    sh("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out", "server.csr", "-subj",
       "/CN=localhost")
    with open(os.path.join(d, "ext"), "w") as f:
        f.write("subjectAltName=DNS:localhost\n")
    sh("openssl", "x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial", "-out",
       "server.pem", "-days", "2", "-extfile", "ext")


class OsmAnd(http.server.BaseHTTPRequestHandler):
    requests = []

    def do_GET(self):
        OsmAnd.requests.append((self.command, self.path))
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()

    do_POST = do_GET

    def log_message(self, *args):
        pass


class Stream(socketserver.StreamRequestHandler):
    lines = []

    def handle(self):
        for line in self.rfile:
            Stream.lines.append(line.decode("ascii", "replace").rstrip("\r\n"))


def serve(server):
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def parse(payload, what):
    """The JSON object a consumer's parser would get, None (and a failure) when
    it would reject the payload."""
    try:
        return json.loads(payload)
    except ValueError as e:
        check(False, f"{what}: not JSON ({e}): {payload!r}")
        return None


def number(v):
    return isinstance(v, (int, float)) and not isinstance(v, bool)


def check_osmand():
    got = OsmAnd.requests
    check(len(got) >= 5, f"OsmAnd: {len(got)} requests")
    for method, path in got:
        q = {k: v[0] for k, v in parse_qs(urlsplit(path).query).items()}
        check(method == "GET", "OsmAnd: " + method)
        for k in ("id", "lat", "lon", "timestamp", "valid"):  # the rest only where the receiver gave them
            check(k in q, f"OsmAnd: no {k} in {path}")
        check(q.get("id") == "van7", "OsmAnd: id " + path)
        check(q.get("timestamp", "").isdigit() and int(q["timestamp"]) > 1e9, "OsmAnd: timestamp " + path)
        for k in ("lat", "lon", "speed", "bearing", "altitude", "accuracy", "hdop"):
            if k in q:
                check(float(q[k]) == float(q[k]), f"OsmAnd: {k} " + path)
        check(q.get("valid") in ("true", "false"), "OsmAnd: valid " + path)
    return len(got)


def check_stream():
    lines = Stream.lines
    rmc = [i for i, l in enumerate(lines) if l[3:6] == "RMC" and l.startswith("$")]
    check(len(rmc) >= 3, f"stream: {len(rmc)} RMC")
    for i in rmc:
        check(i + 1 < len(lines) and lines[i + 1] == "$GPFID,van7" or i + 1 == len(lines),
              f"stream: RMC not followed by $GPFID,van7: {lines[i + 1:i + 2]}")
    return len(rmc)


def messages(path):
    out = []
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            topic, _, payload = line.rstrip("\n").partition(" ")
            out.append((topic, payload))
    return out


def check_owntracks(msgs):
    locs = [json.loads(p) for t, p in msgs if t == "owntracks/fleet/van8" and '"location"' in p]
    check(len(locs) >= 5, f"owntracks: {len(locs)} locations")
    for o in locs:
        check(o["_type"] == "location" and number(o["lat"]) and number(o["lon"]), f"owntracks: {o}")
        check(isinstance(o["tst"], int) and o["tst"] > 1e9, f"owntracks: tst {o}")
        check(isinstance(o["tid"], str) and 1 <= len(o["tid"]) <= 2, f"owntracks: tid {o}")
        for k in ("vel", "cog", "alt", "acc"):
            check(k not in o or isinstance(o[k], int), f"owntracks: {k} not an integer: {o}")
    return len(locs)


def check_home_assistant(msgs, retained_config):
    configs = [json.loads(p) for t, p in msgs if t == "homeassistant/device_tracker/van9/config"]
    check(configs and retained_config, "home assistant: no retained device_tracker config")
    attrs_topic = None
    for c in configs:
        for k in ("unique_id", "name", "json_attributes_topic", "availability_topic", "device"):
            check(k in c, f"home assistant: no {k} in {c}")
        check(c.get("source_type") == "gps", "home assistant: source_type")
        check(isinstance(c["device"].get("identifiers"), list) and c["device"]["identifiers"],
              "home assistant: device identifiers")
        attrs_topic = c["json_attributes_topic"]
        status = [json.loads(p) for t, p in msgs if t == c["availability_topic"]]
        check(status and status[-1].get("state") == c.get("payload_available", "online") and
              "value_json.state" in c.get("availability_template", ""), "home assistant: availability")
    attrs = [parse(p, "home assistant attributes") for t, p in msgs if t == attrs_topic]
    check(len(attrs) >= 5, f"home assistant: {len(attrs)} attribute messages")
    for a in filter(None, attrs):
        check(number(a.get("latitude")) and number(a.get("longitude")) and number(a.get("gps_accuracy")),
              f"home assistant: attributes {a}")
    return len(attrs)


def check_native(msgs):
    pos = [json.loads(p) for t, p in msgs if t == "gnss/van7/position"]
    check(len(pos) >= 5, f"native: {len(pos)} positions")
    seqs = [p.get("seq") for p in pos]
    check(all(isinstance(s, int) for s in seqs) and seqs == sorted(set(seqs)), f"native: seq {seqs}")
    for p in pos:
        check(p.get("id") == "van7", f"native: id {p}")
        # Go's time.Parse with "2006-01-02T15:04:05Z07:00" takes an optional
        # fraction after the seconds: the same as ISO 8601 with a Z zone.
        try:
            datetime.fromisoformat(p["time"].replace("Z", "+00:00"))
        except (KeyError, ValueError):
            check(False, f"native: time {p}")
    return len(pos)


def run_node_red(folder, port, work, seconds):
    """The recipe's flow in a real Node-RED: mqtt in on gnss/+/position as a
    parsed JSON object, and a function writing id and seq to a file."""
    out = os.path.join(work, "node-red.out")
    flow = [
        {"id": "f1ee7b0000000001", "type": "tab", "label": "fleet"},
        {"id": "f1ee7b0000000002", "type": "mqtt-broker", "broker": "127.0.0.1", "port": str(port),
         "clientid": "node-red", "protocolVersion": "4", "keepalive": "60", "cleansession": True},
        {"id": "f1ee7b0000000003", "type": "mqtt in", "z": "f1ee7b0000000001", "topic": "gnss/+/position",
         "qos": "1", "datatype": "json", "broker": "f1ee7b0000000002", "x": 100, "y": 100,
         "wires": [["f1ee7b0000000004"]]},
        {"id": "f1ee7b0000000004", "type": "function", "z": "f1ee7b0000000001", "x": 300, "y": 100,
         "func": "msg.payload = msg.payload.id + ' ' + msg.payload.seq;\nreturn msg;", "outputs": 1,
         "wires": [["f1ee7b0000000005"]]},
        {"id": "f1ee7b0000000005", "type": "file", "z": "f1ee7b0000000001", "filename": out,
         "filenameType": "str", "appendNewline": True, "createDir": False, "overwriteFile": "false",
         "encoding": "none", "x": 500, "y": 100, "wires": []},
    ]
    user = os.path.join(work, "node-red")
    os.makedirs(user)
    with open(os.path.join(user, "flows.json"), "w") as f:
        json.dump(flow, f)
    red = subprocess.Popen([os.path.join(folder, "node_modules", ".bin", "node-red"), "-u", user, "-p",
                            str(free_port()), "flows.json"], stdout=open(os.path.join(work, "node-red.log"), "w"),
                           stderr=subprocess.STDOUT)
    try:
        wait_for(lambda: os.path.exists(out) and os.path.getsize(out) > 0, 60)
        time.sleep(seconds)
    finally:
        red.terminate()
        red.wait(10)
    rows = [l.split() for l in open(out)] if os.path.exists(out) else []
    check(len(rows) >= 3, f"node-red: {len(rows)} positions (see {work}/node-red.log)")
    check(all(r[0] in ("van7", "van9") and r[1].isdigit() for r in rows), f"node-red: {rows[:3]}")
    for router in ("van7", "van9"):
        seqs = [int(r[1]) for r in rows if r[0] == router]
        check(seqs and seqs == sorted(set(seqs)), f"node-red: {router} seq {seqs}")
    return len(rows)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    p.add_argument("--capture", default=DEFAULT_CAPTURE)
    p.add_argument("--seconds", type=int, default=20)
    p.add_argument("--node-red", help="a folder where `npm install node-red` was run")
    args = p.parse_args()
    build, capture = os.path.abspath(args.build), os.path.abspath(args.capture)
    work = tempfile.mkdtemp(prefix="fleet-recipes-")
    os.chmod(work, 0o755)
    make_certificates(work)
    broker = Broker(work)
    tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    tls.load_cert_chain(os.path.join(work, "server.pem"), os.path.join(work, "server.key"))
    https = serve(http.server.ThreadingHTTPServer(("127.0.0.1", 0), OsmAnd))
    https.socket = tls.wrap_socket(https.socket, server_side=True)
    stream = serve(socketserver.ThreadingTCPServer(("127.0.0.1", 0), Stream))
    everything = os.path.join(work, "all.out")
    sub = subprocess.Popen(["mosquitto_sub", "-p", str(broker.port), "-q", "1", "-F", "%t %p", "-t", "gnss/#", "-t",
                            "owntracks/#", "-t", "homeassistant/#"], stdout=open(everything, "w"))
    ca = open(os.path.join(work, "ca.pem")).read()
    settings = [
        mqtt_settings(broker.port, "van7", [
            "MOD_GPS_HTTP_ENABLED=1", f"MOD_GPS_HTTP_URL=https://localhost:{https.server_address[1]}/",
            "MOD_GPS_HTTP_CAFILE=/opt/gps/etc/fleet-ca.pem", "MOD_GPS_HTTP_PERIOD=1", "MOD_GPS_HTTP_PERIOD_HALT=1",
            "MOD_GPS_SRI_ENABLED=1", "MOD_GPS_RSOCK1_ENABLED=1", "MOD_GPS_RSOCK1_IPADDR=127.0.0.1",
            "MOD_GPS_RSOCK1_PROTOCOL=0", f"MOD_GPS_RSOCK1_PORT={stream.server_address[1]}", "MOD_GPS_RSOCK1_PERIOD=2",
            "MOD_GPS_RSOCK1_PERIOD_HALT=2"]),
        mqtt_settings(broker.port, "van8", ["MOD_GPS_MQTT_FORMAT=owntracks", "MOD_GPS_MQTT_TOPIC=owntracks/fleet/van8",
                                            "MOD_GPS_MQTT_TID=v8"]),
        mqtt_settings(broker.port, "van9", ["MOD_GPS_MQTT_HA_DISCOVERY=1"]),
    ]
    daemons = []
    try:
        for i, s in enumerate(settings):
            os.makedirs(os.path.join(work, f"v{i}", "r000", "opt", "gps", "etc"))
            with open(os.path.join(work, f"v{i}", "r000", "opt", "gps", "etc", "fleet-ca.pem"), "w") as f:
                f.write(ca)
            start_fleet(build, capture, os.path.join(work, f"v{i}"), 1, lambda _: s, daemons)
        if args.node_red:
            counts = {"Node-RED flow": run_node_red(args.node_red, broker.port, work, args.seconds)}
        else:
            time.sleep(args.seconds)
            counts = {}
        # A late subscriber gets the discovery config only if it was retained.
        retained = subprocess.run(["mosquitto_sub", "-p", str(broker.port), "-C", "1", "-W", "5", "-t",
                                   "homeassistant/device_tracker/van9/config"], capture_output=True).returncode == 0
        msgs = messages(everything)
        counts.update({
            "OsmAnd requests (HTTPS)": check_osmand(),
            "RMC with $GPFID (TCP)": check_stream(),
            "OwnTracks locations": check_owntracks(msgs),
            "Home Assistant attributes": check_home_assistant(msgs, retained),
            "native positions (Node-RED, Telegraf)": check_native(msgs),
        })
        for k, v in counts.items():
            print(f"{k}: {v} checked")
    finally:
        for d in daemons:
            d.close()
        sub.terminate()
        broker.close()
        https.shutdown()
        stream.shutdown()
    print("FAILED: " + str(len(failures)) if failures else "all recipes: payloads as their consumers read them")
    if not failures:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
