"""zkbridge end to end: native data servers fed by pushes, a real mosquitto, a real
Prometheus, over loopback TCP. One group of cases per ctest entry."""
import json
import os
import resource
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.parse
import urllib.request

import bridgelib
from zk47test import sockets  # on the path through bridgelib
from zk47test.network import StandIn
from bridgelib import (HOST, TEXTS, Bridge, Broker, Process, Relay, Station, Subscriber,
                       clear_retained, data_line, free_port, publish, retained, state, wait_until)

# Waits for what the bridge publishes: a period of 1 s, with room for a loaded machine.
WAIT = 15.0


class Publishing(unittest.TestCase):
    def test_three_stations_every_reading_once_in_order_and_retained_for_later_subscribers(self):
        broker = Broker(self)
        sub = Subscriber(self, broker, ["zk47/#"])
        names = ("north", "south", "east")
        stations = {n: Station(self) for n in names}
        bridge = Bridge(self, broker, stations.items())
        pushed = {n: [] for n in names}
        for i in range(4):
            for k, n in enumerate(names):
                reading = (100 + 10 * i + k, "%.2f" % (20 + i + k / 4))
                stations[n].push(data_line(reading[0], t1=reading[1]))
                pushed[n].append(reading)
            for n in names:
                sub.wait_payload("zk47/%s/state" % n, state(pushed[n][-1][0], t1=pushed[n][-1][1]),
                                 WAIT)
        for n in names:
            self.assertEqual(sub.payloads("zk47/%s/state" % n),
                             [state(sec, t1=t1) for sec, t1 in pushed[n]])
            self.assertEqual(sub.payloads("zk47/%s/T1" % n), [t1 for _, t1 in pushed[n]])
            for k in range(1, 12):
                self.assertEqual(sub.payloads("zk47/%s/T%d" % (n, k + 1)), [TEXTS[k]] * 4)
            self.assertEqual(sub.payloads("zk47/%s/availability" % n), ["online"])
            self.assertEqual(bridge.metric("zk47_polls_total", station=n, result="ok"), 4)
            self.assertEqual(bridge.metric("zk47_temperature_celsius", station=n, channel="T7"), 22)
            self.assertIsNone(bridge.metric("zk47_temperature_celsius", station=n, channel="T4"))
        self.assertTrue(all(not r for _, r, _ in sub.messages()), "live messages are not stale")

        # A subscriber that comes later gets every topic's last value, and the discovery configs.
        late = retained(broker, "zk47/#", 3 * 14 + 2)
        self.assertEqual(late[bridge.availability()], "online")
        for n in names:
            sec, t1 = pushed[n][-1]
            self.assertEqual(late["zk47/%s/state" % n], state(sec, t1=t1))
            self.assertEqual(late["zk47/%s/T4" % n], "ERROR")
            self.assertEqual(late["zk47/%s/availability" % n], "online")
        configs = retained(broker, "homeassistant/#", 36 + 2)
        self.assertEqual(len(configs), 36 + 2)
        c = json.loads(configs["homeassistant/sensor/zk47_east_t12/config"])
        self.assertEqual((c["state_topic"], c["unit_of_measurement"]), ("zk47/east/state", "°C"))

        # The HTTP view holds the state topic's text as it stands.
        status, body = bridge.get("/api/stations")
        self.assertEqual(status, 200)
        self.assertIn('"last":' + state(pushed["east"][-1][0], t1=pushed["east"][-1][1]), body)
        self.assertEqual([s["name"] for s in json.loads(body)["stations"]], list(names))

    def test_windows_1251_stamp_is_published_as_utf8(self):
        broker = Broker(self)
        sub = Subscriber(self, broker, ["zk47/a/state"])
        station = Station(self)
        Bridge(self, broker, [("a", station)])
        # "штамп" would not fit: "стамп"
        station.push("7 \xF1\xF2\xE0\xEC\xEF 00004521 1.00" + " N/SENS" * 11)
        wait_until(lambda: sub.payloads("zk47/a/state"), WAIT, "a state")
        self.assertTrue(sub.payloads("zk47/a/state")[0].startswith(
            '{"seconds":7,"stamp":"стамп","device_time":"00004521"'))


    def test_without_channel_topics_only_the_state_goes_out_and_discovery_reads_it(self):
        broker = Broker(self)
        sub = Subscriber(self, broker, ["zk47/#", "homeassistant/sensor/#"])
        station = Station(self)
        Bridge(self, broker, [("a", station)], args=["--channel-topics", "no"])
        for sec in (7, 8):
            station.push(data_line(sec))
            sub.wait_payload("zk47/a/state", state(sec), WAIT)
        self.assertEqual({t for t, _, _ in sub.messages() if t.startswith("zk47/a/")},
                         {"zk47/a/state", "zk47/a/availability"})
        c = json.loads(sub.payloads("homeassistant/sensor/zk47_a_t3/config")[0])
        self.assertEqual((c["state_topic"], c["value_template"]),
                         ("zk47/a/state", "{{ value_json.channels.T3.value }}"))


class Availability(unittest.TestCase):
    def test_stopped_station_goes_offline_while_others_publish_and_comes_back_from_zero(self):
        broker = Broker(self)
        sub = Subscriber(self, broker, ["zk47/#"])
        a, b = Station(self), Station(self)
        bridge = Bridge(self, broker, [("a", a), ("b", b)])
        a.push(data_line(500))
        b.push(data_line(500))
        sub.wait_payload("zk47/a/state", state(500), WAIT)
        sub.wait_payload("zk47/b/state", state(500), WAIT)

        a.stop()
        stopped = time.monotonic()
        b.push(data_line(501))
        sub.wait_payload("zk47/b/state", state(501), WAIT)
        sub.wait_payload("zk47/a/availability", "offline", WAIT)
        took = time.monotonic() - stopped
        # Three failed polls a period apart: two periods at least, three and a little at most.
        self.assertGreaterEqual(took, 1.8)
        self.assertLess(took, 3 + 2.5)
        self.assertEqual(bridge.metric("zk47_up", station="a"), 0)
        b.push(data_line(502))
        sub.wait_payload("zk47/b/state", state(502), WAIT)

        # The station restarts: its seconds begin again, and its readings are published again.
        a.start()
        a.push(data_line(2, "2024-05-17-10-00-00"))
        sub.wait_payload("zk47/a/state", state(2, "2024-05-17-10-00-00"), WAIT)
        self.assertEqual(sub.payloads("zk47/a/availability"), ["online", "offline", "online"])
        self.assertEqual(bridge.metric("zk47_up", station="a"), 1)

    def test_sighup_rereads_the_stations_file(self):
        broker = Broker(self)
        sub = Subscriber(self, broker, ["zk47/#"])
        a, b, c = Station(self), Station(self), Station(self)
        for s in (a, b, c):
            s.push(data_line(40))
        folder = tempfile.mkdtemp(prefix="zkbridge-stations-")
        path = os.path.join(folder, "stations")

        def write(*entries):
            with open(path, "w") as f:
                f.write("# the plant\n" + "".join("%s=%s:%d  # hall\n" % (n, HOST, s.port)
                                                   for n, s in entries))

        write(("a", a), ("b", b))
        bridge = Bridge(self, broker, args=["--stations-file", path])
        sub.wait_payload("zk47/b/state", state(40), WAIT)

        write(("b", b), ("c", c))
        bridge.process.send(signal.SIGHUP)
        sub.wait_payload("zk47/c/state", state(40), WAIT)
        sub.wait_payload("zk47/a/availability", "offline", WAIT)
        self.assertEqual([s["name"] for s in bridge.stations()], ["b", "c"])
        self.assertNotIn('station="a"', bridge.get("/metrics")[1])
        self.assertEqual(retained(broker, "homeassistant/sensor/zk47_c_t1/config", 1)
                         ["homeassistant/sensor/zk47_c_t1/config"][:8], '{"name":')

        # A broken file is reported and the stations stay as they were.
        with open(path, "a") as f:
            f.write("d e=%s:1\n" % HOST)
        bridge.process.send(signal.SIGHUP)
        bridge.process.stderr.wait_for("line 4")
        bridge.process.stderr.wait_for("keeping the current stations")
        self.assertEqual([s["name"] for s in bridge.stations()], ["b", "c"])
        os.unlink(path)
        os.rmdir(folder)


class BrokerRestart(unittest.TestCase):
    def test_readings_taken_while_the_broker_is_down_all_arrive_in_order(self):
        broker = Broker(self, persistence=True)
        sub = Subscriber(self, broker, ["zk47/a/state"], client_id="zk47-keeper")
        station = Station(self)
        bridge = Bridge(self, broker, [("a", station)])
        seconds = []

        def push(sec):
            station.push(data_line(sec))
            seconds.append(sec)

        for sec in (1, 2, 3):
            push(sec)
            sub.wait_payload("zk47/a/state", state(sec), WAIT)
        broker.stop()
        down = []
        outage = time.monotonic()
        for sec in range(4, 14):  # ten seconds without a broker, a reading each
            push(sec)
            down.append(sec)
            bridge.wait_metric(sec, "zk47_reading_seconds", WAIT, station="a")
            time.sleep(max(0.0, outage + sec - 3 - time.monotonic()))
        self.assertGreaterEqual(bridge.metric("zk47_bridge_mqtt_queued_messages"), 13 * 10)
        broker.start()
        for sec in (14, 15):
            push(sec)
            sub.wait_payload("zk47/a/state", state(sec), 45)

        # Live deliveries only: the retained copy a resubscription brings is no reading.
        got = [json.loads(p)["seconds"] for _, r, p in sub.messages("zk47/a/state") if not r]
        unique = [s for i, s in enumerate(got) if i == 0 or s != got[i - 1] and s not in got[:i]]
        self.assertEqual(unique, seconds, "every reading, in order")
        repeated = {s for s in got if got.count(s) > 1}
        self.assertTrue(repeated <= set([3] + down + [14]), "duplicates only around the outage: %r"
                        % sorted(repeated))

        # The retained discovery and availability are back.
        self.assertEqual(retained(broker, "zk47/+/availability", 1), {"zk47/a/availability": "online"})
        self.assertEqual(retained(broker, bridge.availability(), 1)[bridge.availability()], "online")
        self.assertEqual(len(retained(broker, "homeassistant/#", 14)), 14)


    def test_a_broker_without_persistence_gets_every_retained_value_back(self):
        broker = Broker(self)
        sub = Subscriber(self, broker, ["zk47/a/state"])
        station = Station(self)
        station.push(data_line(21))
        bridge = Bridge(self, broker, [("a", station)])
        sub.wait_payload("zk47/a/state", state(21), WAIT)
        broker.stop()
        broker.start()
        everything = {}
        # The configs of the station and the bridge, its reading and both availabilities, the
        # bridge's queue.
        count = 12 + 2 + 13 + 2 + 1
        wait_until(lambda: len(everything.update(retained(broker, "#", count, ["-W", "2"]))
                               or everything) == count, WAIT, "every retained topic")
        self.assertEqual(everything["zk47/a/state"], state(21))
        self.assertEqual(everything["zk47/a/T6"], "101.20")
        self.assertEqual(everything["zk47/a/availability"], "online")
        self.assertEqual(everything[bridge.availability()], "online")
        self.assertIn("homeassistant/sensor/zk47_a_t12/config", everything)


    def test_after_the_queue_overflowed_every_topic_ends_with_its_last_value(self):
        broker = Broker(self)
        sub = Subscriber(self, broker, ["zk47/a/state"])
        station = Station(self)
        station.push(data_line(1, t1="1.00"))
        # Room for two readings and a part of a third.
        bridge = Bridge(self, broker, [("a", station)], env={"ZKBRIDGE_MQTT_QUEUE_LIMIT": "30"})
        sub.wait_payload("zk47/a/state", state(1, t1="1.00"), WAIT)
        broker.stop()
        for sec in (2, 3, 4, 5):
            station.push(data_line(sec, t1="%d.00" % sec))
            bridge.wait_metric(sec, "zk47_reading_seconds", WAIT, station="a")
        # The fourth reading's state and first channels were queued, the rest and the whole
        # fifth reading refused: every topic has an older copy waiting.
        self.assertGreater(bridge.metric("zk47_bridge_mqtt_dropped_messages_total"), 13)
        broker.start()
        last = {"zk47/a/state": state(5, t1="5.00"), "zk47/a/T1": "5.00", "zk47/a/T12": "20.00"}
        wait_until(lambda: {t: retained(broker, t, 1, ["-W", "2"]).get(t) for t in last} == last,
                   WAIT, "the last value of every topic")
        sub.wait_payload("zk47/a/state", state(5, t1="5.00"), WAIT)
        self.assertEqual(sub.payloads("zk47/a/state")[-1], state(5, t1="5.00"))
        bridge.wait_metric(0, "zk47_bridge_mqtt_queued_messages", WAIT)
        # Home automation's sensor of the queue follows, within its 10 s.
        queue = bridge.availability().replace("availability", "queue")
        wait_until(lambda: retained(broker, queue, 1, ["-W", "2"]).get(queue) == "0", WAIT,
                   "the queue reported empty")


def make_tls(folder):
    """A test CA and a server certificate for 127.0.0.1 signed by it."""
    def run(*argv):
        subprocess.run(["openssl"] + list(argv), cwd=folder, check=True,
                       capture_output=True, timeout=60)
    run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=zk47 test CA",
        "-keyout", "ca.key", "-out", "ca.crt")
    run("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
        "-keyout", "server.key", "-out", "server.csr")
    with open(os.path.join(folder, "san.ext"), "w") as f:
        f.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n")
    run("x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
        "-CAcreateserial", "-days", "2", "-extfile", "san.ext", "-out", "server.crt")


class Security(unittest.TestCase):
    def test_broker_with_a_password_and_a_wrong_password(self):
        folder = tempfile.mkdtemp(prefix="zkbridge-pw-")
        self.addCleanup(subprocess.run, ["rm", "-rf", folder])
        passwords = os.path.join(folder, "passwd")
        subprocess.run(["mosquitto_passwd", "-b", "-c", passwords, "zk", "s3cret"], check=True,
                       timeout=30)
        broker = Broker(self, extra="allow_anonymous false\npassword_file %s" % passwords)
        sub = Subscriber(self, broker, ["zk47/#"], extra=["-u", "zk", "-P", "s3cret"])
        good, bad = os.path.join(folder, "good"), os.path.join(folder, "bad")
        with open(good, "w") as f:
            f.write("s3cret\n")
        with open(bad, "w") as f:
            f.write("wrong\n")
        station = Station(self)
        station.push(data_line(9))
        Bridge(self, broker, [("a", station)],
               args=["--mqtt-user", "zk", "--mqtt-password-file", good])
        sub.wait_payload("zk47/a/state", state(9), WAIT)

        wrong = Bridge(self, broker, [("b", station)],
                       args=["--mqtt-user", "zk", "--mqtt-password-file", bad])
        wrong.process.stderr.wait_for("check --mqtt-user and the password file", WAIT)
        # It retries, a little later each time.
        wait_until(lambda: wrong.process.stderr.text().count("refused the connection") >= 2,
                   WAIT, "a second attempt")
        self.assertTrue(wrong.process.running())
        self.assertNotIn("wrong", " ".join(wrong.process.argv))
        self.assertEqual(wrong.metric("zk47_bridge_mqtt_connected"), 0)

    def test_broker_that_requires_tls(self):
        folder = tempfile.mkdtemp(prefix="zkbridge-tls-")
        self.addCleanup(subprocess.run, ["rm", "-rf", folder])
        make_tls(folder)
        broker = Broker(self, extra="allow_anonymous true\ncafile {0}/ca.crt\ncertfile {0}/server.crt"
                                    "\nkeyfile {0}/server.key".format(folder))
        sub = Subscriber(self, broker, ["zk47/#"], extra=["--cafile", folder + "/ca.crt"])
        station = Station(self)
        station.push(data_line(11))
        Bridge(self, broker, [("a", station)], args=["--mqtt-cafile", folder + "/ca.crt"])
        sub.wait_payload("zk47/a/state", state(11), WAIT)

        # Without the CA the broker's certificate is not trusted; without TLS the broker
        # does not answer.
        plain = Bridge(self, broker, [("b", station)])
        plain.process.stderr.wait_for("cannot connect to the broker", WAIT)
        self.assertEqual(plain.metric("zk47_bridge_mqtt_connected"), 0)


class Prometheus(unittest.TestCase):
    def test_prometheus_scrapes_each_ok_channel_with_the_pushed_values(self):
        station = Station(self)
        station.push(data_line(77, t1="-3.25"))
        bridge = Bridge(self, None, [("a", station)])
        bridge.wait_metric(1, "zk47_up", station="a")
        folder = tempfile.mkdtemp(prefix="zkbridge-prom-")
        self.addCleanup(subprocess.run, ["rm", "-rf", folder])
        with open(os.path.join(folder, "prometheus.yml"), "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                    "scrape_configs:\n  - job_name: zkbridge\n    static_configs:\n"
                    "      - targets: ['%s:%d']\n" % (HOST, bridge.http_port))
        port = free_port()
        prom = Process(["prometheus", "--config.file=%s/prometheus.yml" % folder,
                        "--web.listen-address=%s:%d" % (HOST, port),
                        "--storage.tsdb.path=%s/data" % folder])
        self.addCleanup(prom.stop)

        def query():
            url = "http://%s:%d/api/v1/query?query=%s" % (
                HOST, port, urllib.parse.quote("zk47_temperature_celsius"))
            try:
                with urllib.request.urlopen(url, timeout=5) as r:
                    return json.loads(r.read())["data"]["result"]
            except OSError:
                return []

        wait_until(lambda: len(query()) == 9, 60, "nine ok channels in Prometheus")
        values = {r["metric"]["channel"]: float(r["value"][1]) for r in query()}
        self.assertEqual(values, {"T1": -3.25, "T2": 23.51, "T5": -1.5, "T6": 101.2, "T7": 22.0,
                                  "T9": 19.75, "T10": 20.1, "T11": 20.05, "T12": 20.0})
        self.assertEqual({r["metric"]["station"] for r in query()}, {"a"})


class Arguments(unittest.TestCase):
    def run_bridge(self, *args):
        p = Process([bridgelib.BRIDGE] + list(args))
        self.addCleanup(p.stop, signal.SIGKILL)
        return p.wait_exit(), p.stdout.text(), p.stderr.text()

    def test_bad_arguments_exit_2_with_a_clear_message(self):
        for args, says in [
                (["--station", "a b=127.0.0.1:1"], "'a b'"),
                (["--station", "a/b=127.0.0.1:1"], "'a/b'"),
                (["--station", "<b>x</b>=127.0.0.1:1"], "must be 1 to 32"),
                (["--station", "a=127.0.0.1:99999"], "1..65535"),
                (["--station", "a=1:1", "--period", "0"], "--period"),
                ([], "no station"),
                (["--station", "a=1:1", "--mqtt-user", "u", "--mqtt-password-file", "/nonexistent"],
                 "cannot read /nonexistent"),
                (["--station", "a=1:1", "--mqtt-cafile", "/nonexistent"], "CA file"),
                (["--stations-file", "/nonexistent"], "cannot read"),
                (["--station", "a=no.such.host.invalid:1"], "cannot resolve"),
                (["--station", "a=1:1", "--mqtt-password", "x"], "unknown argument"),
                (["--station", "bridge=127.0.0.1:1"], "kept for the bridges' own topics"),
                (["--station", "a=1:1", "--bridge-id", "a.b"], "--bridge-id 'a.b'"),
        ]:
            code, out, err = self.run_bridge(*args)
            self.assertEqual(code, 2, args)
            self.assertIn(says, err, args)
            self.assertIn("usage: zkbridge", err)
        code, out, err = self.run_bridge("--station", "a=1:1", "--stale-after", "0")
        self.assertEqual(code, 2)
        self.assertIn("--stale-after '0'", err)
        code, out, err = self.run_bridge("--help")
        self.assertEqual((code, err), (0, ""))
        self.assertIn("--stations-file FILE", out)
        for address in ("/events", "/api/history", "/api/stations", "/metrics", "/healthz",
                        "web page at /", "--stale-after SECONDS", "--version"):
            self.assertIn(address, out)
        code, out, err = self.run_bridge("--version")
        self.assertEqual((code, err), (0, ""))
        self.assertRegex(out, r"^zkbridge \d+\.\d+\.\d+\n$")
        version = out.split()[1]
        station = Station(self)
        bridge = Bridge(self, None, [("a", station)])
        self.assertEqual(bridge.metric("zk47_bridge_build_info", version=version), 1)

    def test_http_views_are_read_only_and_a_busy_port_is_reported(self):
        station = Station(self)
        bridge = Bridge(self, None, [("a", station)])
        self.assertEqual(bridge.get("/healthz"), (200, "ok\n"))
        req = urllib.request.Request("http://%s:%d/metrics" % (HOST, bridge.http_port),
                                     data=b"x", method="POST")
        with self.assertRaises(urllib.error.HTTPError) as e:
            urllib.request.urlopen(req, timeout=5)
        self.assertEqual(e.exception.code, 405)
        code, _, err = self.run_bridge("--station", "a=127.0.0.1:1",
                                       "--http", "127.0.0.1:%d" % bridge.http_port)
        self.assertEqual(code, 1)
        self.assertIn("cannot listen on 127.0.0.1:%d" % bridge.http_port, err)

    def test_sigterm_and_sigint_stop_cleanly_with_everything_offline(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            broker = Broker(self)
            station = Station(self)
            station.push(data_line(5))
            sub = Subscriber(self, broker, ["zk47/+/availability"])
            bridge = Bridge(self, broker, [("a", station), ("gone", Station(self, free_port()))])
            sub.wait_payload("zk47/a/availability", "online", WAIT)
            bridge.process.send(sig)
            self.assertEqual(bridge.process.wait_exit(), 0)
            self.assertEqual(retained(broker, "zk47/+/availability", 2),
                             {"zk47/a/availability": "offline", "zk47/gone/availability": "offline"})
            self.assertEqual(retained(broker, "zk47/bridge/+/availability", 1),
                             {bridge.availability(): "offline"})


def config_topics(messages):
    """Discovery config topic -> every payload published on it, in order."""
    out = {}
    for topic, _, payload in messages:
        if topic.startswith("homeassistant/") and topic != "homeassistant/status":
            out.setdefault(topic, []).append(payload)
    return out


def station_configs(id_prefix, name):
    return {"homeassistant/sensor/%s_%s_t%d/config" % (id_prefix, name, k) for k in range(1, 13)}


def bridge_configs(id_prefix, bridge_id):
    return {"homeassistant/binary_sensor/%s_bridge_%s_connected/config" % (id_prefix, bridge_id),
            "homeassistant/sensor/%s_bridge_%s_queue/config" % (id_prefix, bridge_id)}


class SeveralBridges(unittest.TestCase):
    def start_two(self, prefixes, names):
        """Bridges x and y on one broker, each polling a station of its own."""
        broker = Broker(self)
        sub = Subscriber(self, broker, ["#"])
        bridges = []
        for k, (bridge_id, prefix, name) in enumerate(zip(("x", "y"), prefixes, names)):
            station = Station(self)
            station.push(data_line(10 + k))
            bridges.append(Bridge(self, broker, [(name, station)], id=bridge_id,
                                  args=["--mqtt-prefix", prefix]))
            sub.wait_payload("%s/%s/state" % (prefix, name), state(10 + k), WAIT)
        for b, prefix in zip(bridges, prefixes):
            sub.wait_payload(b.availability(prefix), "online", WAIT)
            self.assertEqual(b.metric("zk47_bridge_mqtt_connected"), 1)
        return broker, sub, bridges

    def assert_no_config_overwritten(self, sub, expected):
        configs = config_topics(sub.messages())
        self.assertEqual(set(configs), expected)
        for topic, payloads in configs.items():
            self.assertEqual(len(set(payloads)), 1, "%s written by both bridges" % topic)

    def test_same_prefix_each_bridge_stops_only_its_own_availability(self):
        broker, sub, (x, y) = self.start_two(("zk47", "zk47"), ("a", "b"))
        self.assert_no_config_overwritten(sub, station_configs("zk47", "a") | station_configs(
            "zk47", "b") | bridge_configs("zk47", "x") | bridge_configs("zk47", "y"))
        a_t1 = json.loads(sub.payloads("homeassistant/sensor/zk47_a_t1/config")[0])
        self.assertEqual(a_t1["availability"][0]["topic"], "zk47/bridge/x/availability")

        x.process.send(signal.SIGTERM)
        self.assertEqual(x.process.wait_exit(), 0)
        self.assertEqual(retained(broker, "zk47/+/availability", 2),
                         {"zk47/a/availability": "offline", "zk47/b/availability": "online"})
        self.assertEqual(retained(broker, "zk47/bridge/+/availability", 2),
                         {"zk47/bridge/x/availability": "offline",
                          "zk47/bridge/y/availability": "online"})
        # y's broker session is its own: it neither lost it nor stopped publishing.
        self.assertNotIn("lost the broker", y.process.stderr.text())
        self.assertEqual(sub.payloads("zk47/bridge/y/availability"), ["online"])

        # A bridge killed outright: its last will names its own topic only.
        y.process.stop(signal.SIGKILL)
        sub.wait_payload("zk47/bridge/y/availability", "offline", WAIT)
        self.assertEqual(sub.payloads("zk47/bridge/x/availability"), ["online", "offline"])
        self.assertEqual(sub.payloads("zk47/b/availability"), ["online"])

    def test_different_prefixes_share_no_entity(self):
        broker, sub, (x, y) = self.start_two(("zk47", "plant/zk47"), ("A", "A"))
        self.assert_no_config_overwritten(sub, station_configs("zk47", "A") | station_configs(
            "plant-2Fzk47", "A") | bridge_configs("zk47", "x") | bridge_configs("plant-2Fzk47", "y"))
        y_t1 = json.loads(sub.payloads("homeassistant/sensor/plant-2Fzk47_A_t1/config")[0])
        self.assertEqual((y_t1["state_topic"], y_t1["device"]["identifiers"]),
                         ("plant/zk47/A/state", ["plant-2Fzk47_A"]))

        x.process.stop(signal.SIGKILL)
        sub.wait_payload("zk47/bridge/x/availability", "offline", WAIT)
        self.assertEqual(retained(broker, "plant/zk47/bridge/y/availability", 1),
                         {"plant/zk47/bridge/y/availability": "online"})
        self.assertEqual(sub.payloads("plant/zk47/bridge/y/availability"), ["online"])
        self.assertEqual(sub.payloads("plant/zk47/A/availability"), ["online"])


class HomeAssistant(unittest.TestCase):
    def test_its_birth_message_brings_every_config_then_every_state_back(self):
        broker = Broker(self)
        station = Station(self)
        station.push(data_line(30))
        bridge = Bridge(self, broker, [("a", station)], id="b1")
        # Configs of the station and the bridge; the reading; both availabilities; the queue.
        count = 12 + 2 + 13 + 2 + 1
        before = {}
        wait_until(lambda: len(before.update(retained(broker, "#", count, ["-W", "2"]))
                               or before) == count, WAIT, "every retained topic")
        clear_retained(broker)
        self.assertEqual(retained(broker, "#", 1, ["-W", "1"]), {})

        sub = Subscriber(self, broker, ["#"])
        publish(broker, "homeassistant/status", "offline")  # going away asks for nothing
        asked = time.monotonic()
        publish(broker, "homeassistant/status", "online")
        wait_until(lambda: len({t for t, _, _ in sub.messages()}) == count + 1, WAIT,
                   "every topic again")
        self.assertLess(time.monotonic() - asked, 5 + 2.5, "at most 5 s of delay")
        got = [(t, p) for t, _, p in sub.messages() if t != "homeassistant/status"]
        is_config = [t.startswith("homeassistant/") for t, _ in got]
        self.assertEqual(is_config, sorted(is_config, reverse=True), "the configs first")
        queue = bridge.availability().replace("availability", "queue")
        self.assertEqual({t: p for t, p in got if t != queue},
                         {t: p for t, p in before.items() if t != queue})
        self.assertTrue(sub.payloads(queue)[-1].isdigit())
        self.assertEqual(retained(broker, "zk47/a/state", 1), {"zk47/a/state": state(30)})

    def test_a_removed_station_is_deleted_and_never_announced_again(self):
        broker = Broker(self)
        a, b = Station(self), Station(self)
        for s in (a, b):
            s.push(data_line(40))
        folder = tempfile.mkdtemp(prefix="zkbridge-stations-")
        self.addCleanup(subprocess.run, ["rm", "-rf", folder])
        path = os.path.join(folder, "stations")

        def write(*entries):
            with open(path, "w") as f:
                f.write("".join("%s=%s:%d\n" % (n, HOST, s.port) for n, s in entries))

        write(("a", a), ("b", b))
        bridge = Bridge(self, broker, args=["--stations-file", path], id="b1")
        self.assertEqual(len(retained(broker, "homeassistant/#", 26)), 26)
        sub = Subscriber(self, broker, ["#"])
        write(("b", b))
        bridge.process.send(signal.SIGHUP)
        for topic in station_configs("zk47", "a"):
            sub.wait_payload(topic, "", WAIT)
            self.assertEqual([m for m in sub.messages(topic) if not m[1]], [(topic, False, "")])
        sub.wait_payload("zk47/a/availability", "offline", WAIT)
        kept = station_configs("zk47", "b") | bridge_configs("zk47", "b1")
        self.assertEqual(set(retained(broker, "homeassistant/#", 14)), kept)

        # A broker without persistence restarts: the bridge sends what it keeps, nothing of a.
        broker.stop()
        broker.start()
        count = 14 + 13 + 2 + 1
        after = {}
        wait_until(lambda: len(after.update(retained(broker, "#", count, ["-W", "2"]))
                               or after) == count, WAIT, "every retained topic")
        self.assertEqual({t for t in after if t.startswith("homeassistant/")}, kept)
        self.assertEqual([t for t in after if "/a/" in t], [])

        # Nor when home automation asks for everything.
        sub = Subscriber(self, broker, ["#"])
        publish(broker, "homeassistant/status", "online")
        sub.wait_payload("zk47/b/state", state(40), WAIT)
        self.assertEqual([t for t, _, _ in sub.messages() if "/a/" in t or "_a_" in t], [])


class SilentServer:
    """Accepts connections (the system's listen queue does) and never answers."""

    def __init__(self, test):
        self.sock = socket.socket()
        self.sock.bind((HOST, 0))
        self.sock.listen(64)
        self.port = self.sock.getsockname()[1]
        test.addCleanup(self.sock.close)


class PortOnly:
    """A port nothing listens on."""

    def __init__(self, port):
        self.port = port


class BadInput(unittest.TestCase):
    def test_junk_long_silent_and_refused_stations_are_counted_and_delay_no_one(self):
        junk = sockets.FakeDataServer(b"garbage\0")
        long_reply = sockets.FakeDataServer(b"7" * 1024)
        for s in (junk, long_reply):
            self.addCleanup(s.close)
        silent = SilentServer(self)
        refused_port = free_port()
        good = Station(self)
        broker = Broker(self)
        sub = Subscriber(self, broker, ["zk47/#"])
        bridge = Bridge(self, broker, [("junk", junk), ("long", long_reply), ("silent", silent),
                                       ("refused", PortOnly(refused_port)),
                                       ("good", good)])
        # The good station's readings go out each period while the silent one holds its poll
        # for its full time limit.
        for sec in (1, 2, 3, 4, 5, 6):
            sent = time.monotonic()
            good.push(data_line(sec))
            sub.wait_payload("zk47/good/state", state(sec), WAIT)
            self.assertLess(time.monotonic() - sent, 3.5, "a reading waited for another station")
        bridge.wait_metric(1, "zk47_polls_total", WAIT, station="silent", result="timeout")
        self.assertGreaterEqual(bridge.metric("zk47_polls_total", station="junk", result="unreadable"), 3)
        self.assertGreaterEqual(bridge.metric("zk47_polls_total", station="long", result="unreadable"), 3)
        self.assertGreaterEqual(bridge.metric("zk47_polls_total", station="refused", result="refused"), 3)
        self.assertEqual(bridge.metric("zk47_up", station="junk"), 1)  # junk comes from a live server
        self.assertEqual(bridge.metric("zk47_up", station="refused"), 0)
        for name in ("junk", "long", "silent", "refused"):
            self.assertEqual(sub.payloads("zk47/%s/state" % name), [])
        self.assertTrue(bridge.process.running())


def connect_from(address, port):
    """A connection to port on 127.0.0.1 from another loopback address."""
    s = socket.socket()
    s.bind((address, 0))
    s.connect((HOST, port))
    return s


def closed_by_peer(s):
    """True once the other end has closed the connection."""
    timeout = s.gettimeout()
    s.setblocking(False)
    try:
        return s.recv(1, socket.MSG_PEEK) == b""
    except BlockingIOError:
        return False
    except ConnectionResetError:
        return True
    finally:
        s.settimeout(timeout)


class HostileClients(unittest.TestCase):
    REQUEST_TIME = 10.0     # the bridge's time for a whole request
    PER_ADDRESS = 64        # the bridge's connections from one address
    MAX_CONNECTIONS = 1024  # the bridge's connections in all

    def setUp(self):
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, max(soft, 4096)), hard))
        self.bridge = Bridge(self, None, [("a", Station(self))])
        self.held = []
        self.addCleanup(lambda: [s.close() for s in self.held])

    def hold(self, address, count):
        out = [connect_from(address, self.bridge.http_port) for _ in range(count)]
        self.held += out
        return out

    def test_dripping_and_idle_clients_leave_metrics_answering_until_they_are_cut_off(self):
        # Thirty from each of ten addresses: each address keeps within its share.
        hostile = [c for i in range(10) for c in self.hold("127.0.1.%d" % (i + 1), 30)]
        opened = time.monotonic()
        drippers = hostile[:100]
        stop = threading.Event()

        def drip():  # a byte of a request every 2 s: never whole within the time limit
            request = b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n"
            for k in range(len(request)):
                for s in drippers:
                    try:
                        s.send(request[k:k + 1])
                    except OSError:
                        pass
                if stop.wait(2.0):
                    return

        dripping = threading.Thread(target=drip)
        dripping.start()
        self.addCleanup(dripping.join)
        self.addCleanup(stop.set)
        time.sleep(2.5)  # every dripper is in the middle of its request
        took = []
        for _ in range(20):
            start = time.monotonic()
            status, body = self.bridge.get("/metrics")
            took.append(time.monotonic() - start)
            self.assertEqual(status, 200)
            self.assertIn('zk47_up{station="a"}', body)
        print("with 100 dripping and 200 idle connections, 20 scrapes of /metrics took "
              "min %.3f s, max %.3f s" % (min(took), max(took)))
        self.assertLess(max(took), 1.0)
        self.assertEqual(self.bridge.get("/healthz"), (200, "ok\n"))
        self.assertEqual(self.bridge.get("/api/stations")[0], 200)
        if time.monotonic() - opened < self.REQUEST_TIME - 1:
            self.assertFalse(any(closed_by_peer(s) for s in hostile), "cut off before its time")

        # Whoever has not sent a whole request within the time limit is cut off.
        wait_until(lambda: all(closed_by_peer(s) for s in hostile), self.REQUEST_TIME + 10,
                   "every slow and idle connection closed by the bridge")
        print("slow and idle clients cut off %.1f s after they connected"
              % (time.monotonic() - opened))
        self.assertGreater(time.monotonic() - opened, self.REQUEST_TIME - 1)

    def test_connections_past_an_address_share_are_closed_and_harm_no_one(self):
        mine = self.hold("127.0.2.1", self.PER_ADDRESS)
        extra = self.hold("127.0.2.1", 5)
        wait_until(lambda: all(closed_by_peer(s) for s in extra), 5, "the extra ones closed")
        self.assertFalse(any(closed_by_peer(s) for s in mine))
        # The address's own connections are served, and so is everyone else.
        mine[0].sendall(b"GET /healthz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        self.assertTrue(sockets.recv_all(mine[0]).endswith(b"\r\n\r\nok\n"))
        self.assertEqual(self.bridge.get("/healthz"), (200, "ok\n"))

        # A connection that ends gives its place back.
        def served_again():
            s = self.hold("127.0.2.1", 1)[0]
            s.sendall(b"GET /healthz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
            return sockets.recv_all(s).startswith(b"HTTP/1.1 200 OK")
        wait_until(served_again, 5, "a place given back")

    def test_a_full_table_gives_up_the_oldest_connection_still_waiting_for_its_request(self):
        crowd = [c for i in range(self.MAX_CONNECTIONS // self.PER_ADDRESS)
                 for c in self.hold("127.0.3.%d" % (i + 1), self.PER_ADDRESS)]
        # The last of them is taken when a request on it is answered.
        crowd[-1].sendall(b"GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n")
        crowd[-1].settimeout(5)
        self.assertTrue(crowd[-1].recv(4096).startswith(b"HTTP/1.1 200 OK"))
        start = time.monotonic()
        self.assertEqual(self.bridge.get("/healthz"), (200, "ok\n"))
        print("with %d connections open, /healthz answered in %.3f s"
              % (len(crowd), time.monotonic() - start))
        wait_until(lambda: closed_by_peer(crowd[0]), 5, "the oldest waiting connection given up")
        self.assertFalse(closed_by_peer(crowd[-1]))
class Replies(unittest.TestCase):
    def test_only_whole_replies_are_published_and_cut_or_short_ones_are_logged_once(self):
        line = data_line(300).encode()
        cut = line.index(b"101.20") + 2  # T6 would read 10.00
        stall = StandIn(free_port(), ("split", line[:cut], line[cut:]))
        stall.split_wait = 60  # the rest comes only once the bridge has given up
        drip = StandIn(free_port(), ("drip", line, 0.1))
        kept_open = StandIn(free_port(), ("reply", line))  # in one piece, then open until closed
        for s in (stall, drip, kept_open):
            self.addCleanup(s.close)
        short = Station(self)
        short.push("130 2024-05-17-09-41-07 00004521 23.45")
        odd = Station(self)
        odd.push(data_line(7).replace(" 23.51 N/SENS ", " inf nan ", 1))
        behind_relay = Station(self)
        behind_relay.push(data_line(301))
        relay = Relay(self, behind_relay)
        broker = Broker(self)
        sub = Subscriber(self, broker, ["zk47/#"])
        started = time.monotonic()
        bridge = Bridge(self, broker, [("stall", stall), ("drip", drip), ("open", kept_open),
                                       ("short", short), ("odd", odd), ("relayed", relay)])

        # A whole reply from a server that keeps the connection open goes out at once, not at
        # the 5 s limit.
        sub.wait_payload("zk47/open/state", state(300), WAIT)
        took = time.monotonic() - started
        print("a reply kept open was published %.2f s after the bridge started" % took)
        self.assertLess(took, 4.0)
        sub.wait_payload("zk47/relayed/state", state(301), WAIT)
        sub.wait_payload("zk47/odd/T3", "ERROR", WAIT)
        self.assertEqual(sub.payloads("zk47/odd/T2"), ["ERROR"])
        odd_state = json.loads(sub.payloads("zk47/odd/state")[0])["channels"]
        self.assertEqual(odd_state["T2"], {"value": None, "status": "error"})
        self.assertIsNone(bridge.metric("zk47_temperature_celsius", station="odd", channel="T2"))
        self.assertEqual(bridge.metric("zk47_channel_status", station="odd", channel="T3",
                                       status="error"), 1)

        def at_least(n, name, result):
            wait_until(lambda: (bridge.metric("zk47_polls_total", station=name, result=result)
                                or 0) >= n, 30, "%d %s polls of %s" % (n, result, name))

        for name in ("stall", "drip"):
            at_least(3, name, "timeout")
        at_least(3, "short", "unreadable")
        for name in ("stall", "drip", "short"):
            self.assertEqual(sub.payloads("zk47/%s/state" % name), [], name)
            self.assertEqual(bridge.metric("zk47_polls_total", station=name, result="ok"), 0)
        for name in ("stall", "drip"):
            sub.wait_payload("zk47/%s/availability" % name, "offline", WAIT)
            told = bridge.log_lines("station %s: unreadable replies" % name)
            self.assertEqual(len(told), 1, bridge.process.stderr.text())
            self.assertIn("reply incomplete at the time limit", told[0])
            self.assertEqual(len(bridge.log_lines("station %s: offline" % name)), 1)
        self.assertEqual(len(bridge.log_lines("station stall:", "'300 2024-05-17")), 2)
        told = bridge.log_lines("station short:")
        self.assertEqual(len(told), 1, bridge.process.stderr.text())
        self.assertIn("lacks tokens of the data line (4 of 15)", told[0])
        for name in ("open", "relayed"):
            self.assertEqual(bridge.metric("zk47_polls_total", station=name, result="timeout"), 0)
        self.assertTrue(bridge.process.running())


class Stale(unittest.TestCase):
    def test_a_station_that_stops_changing_is_stale_and_live_again_at_its_next_reading(self):
        broker = Broker(self)
        sub = Subscriber(self, broker, ["zk47/+/availability", "zk47/a/state"])
        a, b = Station(self), Station(self)
        a.push(data_line(10))
        bridge = Bridge(self, broker, [("a", a), ("b", b)], args=["--stale-after", "3"])
        sub.wait_payload("zk47/a/state", state(10), WAIT)
        taken = time.monotonic()
        sec = 10
        while "offline" not in sub.payloads("zk47/a/availability"):
            self.assertLess(time.monotonic() - taken, WAIT, "a never went stale")
            sec += 1
            b.push(data_line(sec))  # b keeps changing
            time.sleep(0.5)
        took = time.monotonic() - taken
        self.assertGreaterEqual(took, 2.5)
        self.assertLess(took, 3 + 2.5)
        self.assertEqual([(s["name"], s["state"], s["available"]) for s in bridge.stations()],
                         [("a", "stale", False), ("b", "online", True)])
        self.assertEqual(bridge.metric("zk47_stale", station="a"), 1)
        self.assertEqual(bridge.metric("zk47_up", station="a"), 0)
        self.assertEqual(bridge.metric("zk47_stale", station="b"), 0)
        self.assertEqual(bridge.metric("zk47_temperature_celsius", station="a", channel="T7"), 22)
        self.assertEqual(len(bridge.log_lines("station a: stale: no new reading for")), 1)

        a.push(data_line(11))
        sub.wait_payload("zk47/a/state", state(11), WAIT)
        sub.wait_payload("zk47/a/availability", "online", WAIT)
        self.assertEqual(sub.payloads("zk47/a/availability"), ["online", "offline", "online"])
        self.assertEqual(sub.payloads("zk47/b/availability"), ["online"])
        self.assertEqual(bridge.stations()[0]["state"], "online")
        self.assertEqual(bridge.metric("zk47_up", station="a"), 1)
        bridge.process.stderr.wait_for("station a: online: reading with seconds 11")


class Log(unittest.TestCase):
    def test_a_start_line_and_one_line_per_change_with_journal_priorities(self):
        a = Station(self)
        a.push(data_line(5))
        gone = free_port()
        # The bridge's standard error is the journal's stream when JOURNAL_STREAM names it.
        shell = 'export JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2); exec "$@"'
        bridge = Bridge(self, None, [("a", a), ("gone", PortOnly(gone))], wrapper=[
            "sh", "-c", shell, "sh"])
        bridge.wait_metric(0, "zk47_up", WAIT, station="gone")
        wait_until(lambda: bridge.log_lines("<4>station gone: offline"), WAIT, "gone offline")
        # The broker's client, which has no broker here, has lines of its own.
        lines = [line for line in bridge.process.stderr.text().strip().split("\n")
                 if "broker" not in line]
        self.assertRegex(lines[0], r"^<5>version \d+\.\d+\.\d+; polling 2 stations every 1 s, "
                                   r"stale after 60 s: a=127\.0\.0\.1:%d, gone=127\.0\.0\.1:%d; "
                                   r"MQTT 127\.0\.0\.1:1883; HTTP on 127\.0\.0\.1:%d$"
                         % (a.port, gone, bridge.http_port))
        self.assertEqual(bridge.log_lines("station gone:"), [
            "<4>station gone: offline: 3 failed polls in a row, the last: connection refused or "
            "unreachable"])
        self.assertEqual(bridge.log_lines("station a:"), [])  # found online, as expected
        a.stop()
        bridge.process.stderr.wait_for("<4>station a: offline", WAIT)
        a.start()
        a.push(data_line(6))
        bridge.process.stderr.wait_for("<5>station a: online: reading with seconds 6", WAIT)
        self.assertEqual(len(bridge.log_lines("station a:")), 2)  # offline, then online
        lines = [line for line in bridge.process.stderr.text().strip().split("\n")
                 if "broker" not in line]
        self.assertTrue(all(line[:3] in ("<3>", "<4>", "<5>", "<6>") for line in lines), lines)

        # Inherited from elsewhere, the variable is ignored.
        plain = Bridge(self, None, [("a", a)], env=dict(os.environ, JOURNAL_STREAM="1:2"))
        plain.process.stderr.wait_for("zkbridge: version")
        self.assertNotIn("<5>", plain.process.stderr.text())



def polls_by_station(bridge):
    """Every poll of each station the bridge knows, whatever its result."""
    polls = {}
    for line in bridge.get("/metrics")[1].split("\n"):
        if line.startswith("zk47_polls_total{"):
            station = line.split('station="', 1)[1].split('"', 1)[0]
            polls[station] = polls.get(station, 0) + float(line.rsplit(" ", 1)[1])
    return polls


class Shards(unittest.TestCase):
    def test_three_bridges_share_one_stations_file_and_each_station_keeps_one_bridge(self):
        broker = Broker(self)
        sub = Subscriber(self, broker, ["zk47/+/state", "zk47/+/T1", "homeassistant/sensor/#"])
        standin = Process([bridgelib.STANDIN, 301, 1000, 240])
        self.addCleanup(standin.stop, signal.SIGKILL)
        standin.stdout.wait_for("\n")
        ports = standin.stdout.text().split("\n")[0].split()
        names = ["s%d" % i for i in range(301)]
        folder = tempfile.mkdtemp(prefix="zkbridge-shards-")
        self.addCleanup(subprocess.run, ["rm", "-rf", folder])
        path = os.path.join(folder, "stations")
        with open(path, "w") as f:
            f.writelines("%s=%s:%s\n" % (n, HOST, p) for n, p in zip(names[:300], ports))
        bridges = [Bridge(self, broker, args=["--stations-file", path, "--shard", "%d/3" % i,
                                              "--channel-topics", "no"], id="shard%d" % i)
                   for i in (1, 2, 3)]

        def published():
            return {t.split("/")[1] for t, _, _ in sub.messages() if t.endswith("/state")}
        wait_until(lambda: published() == set(names[:300]), 3 * WAIT, "all 300 to publish")
        owned = [[s["name"] for s in b.stations()] for b in bridges]
        self.assertEqual(sorted(sum(owned, [])), sorted(names[:300]))  # each in exactly one
        for b, mine in zip(bridges, owned):
            self.assertTrue(70 <= len(mine) <= 130, len(mine))
            self.assertEqual(len(b.log_lines("polling %d stations (shard %s/3 of 300 given)"
                                             % (len(mine), b.id[-1]))), 1)
        # Only the owner announces a station; no bridge sends channel topics.
        owner = {n: b.id for b, mine in zip(bridges, owned) for n in mine}

        def configs():
            found = {}
            for _, _, payload in sub.messages():
                device = json.loads(payload).get("device", {}) if payload.startswith("{") else {}
                if "via_device" in device:
                    station = device["identifiers"][0][len("zk47_"):]
                    found.setdefault(station, []).append(device["via_device"])
            return found
        # Seen once on a loaded machine: a station's configs had not all been read by the time
        # every state had; wait for them rather than take a snapshot.
        wait_until(lambda: sum(map(len, configs().values())) >= 300 * 12, WAIT, "every config")
        self.assertEqual(configs(), {n: ["zk47/bridge/" + owner[n]] * 12 for n in names[:300]})
        self.assertEqual(sub.messages("zk47/s0/T1"), [])

        # A new line in the file: after SIGHUP the new station has one bridge, no other moves.
        with open(path, "a") as f:
            f.write("%s=%s:%s\n" % (names[300], HOST, ports[300]))
        for b in bridges:
            b.process.send(signal.SIGHUP)
        for b in bridges:
            b.process.stderr.wait_for("stations reloaded", WAIT)
        after = [[s["name"] for s in b.stations()] for b in bridges]
        self.assertEqual(sum(names[300] in a for a in after), 1)
        for before, now in zip(owned, after):
            self.assertEqual([n for n in now if n != names[300]], before)
        wait_until(lambda: names[300] in published(), WAIT, "the new station to publish")

        # What the stations saw: each polled as often as its own bridge says, not twice.
        time.sleep(2)
        polls = [polls_by_station(b) for b in bridges]
        for b in bridges:
            b.process.stop(signal.SIGKILL)
        standin.stop()
        counts = [int(c) for c in standin.stdout.text().split("\n")[2].split()]
        for i, n in enumerate(names):
            mine = [p[n] for p in polls if n in p]
            self.assertEqual(len(mine), 1, n)
            self.assertGreater(mine[0], 0, n)
            self.assertTrue(mine[0] <= counts[i] <= mine[0] + 2, (n, mine[0], counts[i]))


def delivered(sub, topic="state"):
    """Each station's live readings by their seconds, in arrival order (retained copies that a
    resubscription brings are no reading)."""
    out = {}
    for t, r, p in sub.messages():
        parts = t.split("/")
        if r or parts[2] != topic:
            continue
        out.setdefault(parts[1], []).append(json.loads(p)["seconds"] if topic == "state" else p)
    return out


def folder_bytes(path):
    return sum(os.path.getsize(os.path.join(path, f)) for f in os.listdir(path))


def spool_folder(test):
    path = tempfile.mkdtemp(prefix="zkbridge-spool-")
    test.addCleanup(shutil.rmtree, path, True)
    return path


def check_order(test, got, name):
    firsts = [s for i, s in enumerate(got) if s not in got[:i]]
    test.assertEqual(firsts, sorted(firsts), "station %s: readings out of order" % name)


# The full acceptance: ZK_BRIDGE_SPOOL_FULL=1 runs 500 stations, a 60 s outage and three
# random kills besides the torn one, and 100 stations through a 60 s outage into a 1M spool;
# the suite runs small fleets and short outages.
FULL = os.environ.get("ZK_BRIDGE_SPOOL_FULL") == "1"


class SpoolCrash(unittest.TestCase):
    def crash(self, stations, outage, kill_at, tear):
        broker = Broker(self, "allow_anonymous true\nmax_queued_messages 0", persistence=True)
        sub = Subscriber(self, broker, ["zk47/+/state", "zk47/+/T12"], client_id="zk47-keeper")
        fleet = bridgelib.CountingStations(self, stations)
        spool = spool_folder(self)
        args = fleet.args() + ["--spool", spool]
        bridge = Bridge(self, broker, args=args, id="crash")
        wait_until(lambda: len(delivered(sub)) == stations, WAIT, "every station published")
        broker.stop()
        at_stop = list(fleet.counts)
        time.sleep(kill_at)
        bridge.process.stop(signal.SIGKILL)
        taken = list(fleet.counts)
        if tear:
            # Half of the last record's bytes, as a power cut in the middle of a write leaves it.
            segment = max((f for f in os.listdir(spool) if os.path.getsize(os.path.join(spool, f))),
                          key=lambda f: f)
            path = os.path.join(spool, segment)
            os.truncate(path, os.path.getsize(path) - 20)
        again = Bridge(self, broker, args=args, id="crash")
        time.sleep(2)  # the bridge polls again before the broker is back
        started = time.monotonic()
        broker.start()

        def complete():
            got = delivered(sub)
            return all(set(range(1, taken[i])) <= set(got.get(name, []))
                       for i, name in enumerate(fleet.names()))
        wait_until(complete, 60 + stations * outage / 100, "every reading taken before the kill")
        seconds = time.monotonic() - started
        got = delivered(sub)
        repeated = 0
        for i, name in enumerate(fleet.names()):
            check_order(self, got[name], name)
            for s in set(got[name]):
                if got[name].count(s) > 1:
                    repeated += 1
                    # In flight when the broker stopped, or written just before the kill.
                    self.assertTrue(s <= at_stop[i] + 2 or s >= taken[i] - 2,
                                    "station %s: reading %d twice" % (name, s))
        self.assertEqual(set(p for ps in delivered(sub, "T12").values() for p in ps), {"20.00"},
                         "nothing torn was sent")
        self.assertEqual(bool(again.log_lines("torn or corrupt")), tear)
        self.assertTrue(again.log_lines("MQTT messages from the spool go first"))
        print("\n  %d stations, killed %.1f s into the outage%s: %d readings taken before the kill, "
              "all delivered %.1f s after the broker came back; %d delivered twice"
              % (stations, kill_at, ", last record torn" if tear else "", sum(taken), seconds,
                 repeated), file=sys.stderr)

    def test_every_reading_taken_before_a_kill_arrives_in_order_after_a_restart(self):
        stations, outage = (500, 60) if FULL else (40, 8)
        for _ in range(3 if FULL else 1):
            with self.subTest():
                self.crash(stations, outage, random.uniform(1, outage), tear=False)
                self.doCleanups()

    def test_a_torn_last_record_is_cut_and_never_sent(self):
        stations, outage = (500, 60) if FULL else (40, 6)
        self.crash(stations, outage, outage, tear=True)

    def test_a_spool_that_cannot_be_made_stops_the_bridge_at_start(self):
        broker = Broker(self)
        bridge = Bridge(self, broker, [("a", Station(self))], wait_http=False,
                        args=["--spool", "/proc/no/such/folder"])
        self.assertEqual(bridge.process.wait_exit(), 1)
        self.assertIn("/proc/no/such/folder", bridge.process.stderr.text())


class FairQueue(unittest.TestCase):
    def outage(self, stations, args=(), env=None, spool=None, limit=None, seconds=10):
        broker = Broker(self, "allow_anonymous true\nmax_queued_messages 0", persistence=True)
        sub = Subscriber(self, broker, ["zk47/+/state"], client_id="zk47-fair")
        fleet = bridgelib.CountingStations(self, stations)
        bridge = Bridge(self, broker, args=fleet.args() + list(args), id="fair", env=env)
        wait_until(lambda: len(delivered(sub)) == stations, WAIT, "every station published")
        broker.stop()
        largest = 0
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            if spool:
                largest = max(largest, folder_bytes(spool))
            time.sleep(0.05)
        broker.start()
        taken = list(fleet.counts)
        wait_until(lambda: all(max(delivered(sub).get(n, [0])) > taken[i] + 1
                               for i, n in enumerate(fleet.names())), 45, "live readings again")
        if spool:
            self.assertLessEqual(largest, limit, "the spool kept within its size")
        got = delivered(sub)
        gaps = []
        for i, name in enumerate(fleet.names()):
            check_order(self, got[name], name)
            missing = sorted(set(range(1, max(got[name]) + 1)) - set(got[name]))
            self.assertTrue(missing, "station %s lost nothing" % name)
            # The oldest readings went: one run, and every reading after it arrived.
            self.assertEqual(missing, list(range(missing[0], missing[-1] + 1)), name)
            self.assertEqual(bridge.metric("zk47_dropped_readings_total", station=name),
                             len(missing), name)
            gaps.append(len(missing))
        self.assertLessEqual(max(gaps) - min(gaps), 2, "the same gap for every station: %r" % gaps)
        self.assertEqual(len(bridge.log_lines("dropping the oldest readings")), 1)
        # Once the queue has been delivered (a large fleet keeps it busy, never long empty).
        wait_until(lambda: bridge.log_lines("readings were dropped"), WAIT, "the spell's summary")
        print("\n  %d stations, %d s outage: gaps %d..%d readings, the spool at most %d bytes"
              % (stations, seconds, min(gaps), max(gaps), largest), file=sys.stderr)

    def test_a_full_spool_keeps_each_stations_newest_readings_within_its_size(self):
        spool = spool_folder(self)
        stations, size, seconds = (100, 1 << 20, 60) if FULL else (8, 64 << 10, 10)
        self.outage(stations, ["--spool", spool, "--spool-max-bytes", str(size)], spool=spool,
                    limit=size, seconds=seconds)

    def test_a_spool_too_small_for_the_last_values_says_so_and_loses_none(self):
        # Eight stations' discovery configs alone take more than 64K.
        broker = Broker(self)
        broker.stop()
        spool = spool_folder(self)
        fleet = bridgelib.CountingStations(self, 8)
        bridge = Bridge(self, broker, args=fleet.args() + ["--spool", spool, "--spool-max-bytes",
                                                          "64K"], id="small")
        bridge.process.stderr.wait_for("too small for the last value of every topic")
        broker.start()
        bridge.wait_metric(1, "zk47_bridge_mqtt_connected", 45)  # past the reconnect's back-off
        wait_until(lambda: len(retained(broker, "homeassistant/sensor/#", 8 * 12, ["-W", "2"]))
                   == 8 * 12, WAIT, "every station's configs")

    def test_a_full_queue_in_memory_drops_the_same_way(self):
        self.outage(8, env={"ZKBRIDGE_MQTT_QUEUE_LIMIT": "390"})  # thirty readings

    def test_readings_older_than_the_age_are_dropped_oldest_first(self):
        spool = spool_folder(self)
        self.outage(6, ["--spool", spool, "--spool-max-age", "3"], spool=spool, limit=1 << 20,
                    seconds=7)


if __name__ == "__main__":
    bridgelib.main()
