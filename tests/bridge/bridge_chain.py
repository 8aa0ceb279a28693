"""The whole chain: the meter simulator feeds a monitor under Wine with sharing on, the bridge
polls the data server that monitor started and publishes to a real mosquitto. Every state the
bridge publishes equals, byte for byte, the JSON made from the monitor's CSV row with the same
seconds.

    bridge_chain.py ZKBRIDGE
"""
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.dont_write_bytecode = True
HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))  # tests/, home of zk47test
from zk47test import stationmon as sm  # noqa: E402
from zk47test.harness import Session, wait_for  # noqa: E402
from zk47test.monitor import check, equal  # noqa: E402
from zk47test.network import print_summary, start_sharing, start_station  # noqa: E402
from zk47test.sockets import free_port, is_listening  # noqa: E402

SERIAL_CFG = "0 127.0.0.1 5000 5 5"  # COM1
LINES = 8  # the reader drops the first one


def state_from_csv(row):
    """The state JSON the bridge must publish for one CSV row of the monitor."""
    sec, stamp, device_time, *values = row.decode("cp1251").rstrip("\r\n").split(";")
    channels = []
    for k, v in enumerate(values):
        value, status = {"N/SENS": ("null", "nsens"), "ERROR": ("null", "error")}.get(v, (v, "ok"))
        channels.append('"T%d":{"value":%s,"status":"%s"}' % (k + 1, value, status))
    return ('{"seconds":%s,"stamp":"%s","device_time":"%s","channels":{%s}}'
            % (sec, stamp, device_time, ",".join(channels)))


def stop(proc):
    if proc and proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(15)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(10)


def main():
    bridge_bin = sys.argv[1]
    t0 = time.monotonic()
    folder = Path(tempfile.mkdtemp(prefix="zkbridge-chain-"))
    port_a, broker_port, http_port = free_port(), free_port(), free_port()
    (folder / "mosquitto.conf").write_text("listener %d 127.0.0.1\nallow_anonymous true\n"
                                           "user root\n" % broker_port)
    broker = sub = bridge = None
    try:
        broker = subprocess.Popen(["mosquitto", "-c", str(folder / "mosquitto.conf")],
                                  stderr=subprocess.DEVNULL)
        wait_for(lambda: is_listening(broker_port), 10, "mosquitto")
        out = open(folder / "states", "wb")
        sub = subprocess.Popen(["mosquitto_sub", "-p", str(broker_port), "-q", "1", "-F", "%p",
                                "-t", "zk47/meter/state"], stdout=out)
        out.close()
        with Session("bridge-chain") as s:
            d = s.drive
            com = s.add_serial("COM1")
            mon = start_station(s, "meter", SERIAL_CFG, server=True)
            start_sharing(mon, port_a)
            wait_for(lambda: is_listening(port_a), 30, "the monitor's data server")
            bridge = subprocess.Popen([bridge_bin, "--station", "meter=127.0.0.1:%d" % port_a,
                                       "--period", "1", "--mqtt", "127.0.0.1:%d" % broker_port,
                                       "--http", "127.0.0.1:%d" % http_port],
                                      stderr=open(folder / "bridge.err", "wb"))
            d.click(mon.win, 7)
            mon.wait_first_button(8)
            s.wait_port_open("COM1", timeout=30)
            # A line every 2 s: a new second for each reading, and two polls to see it.
            sim = sm.start_sim(s, com, "--period", 2, "--count", LINES, "--seed", 5,
                               "--nsens", 3, "--status-chance", 0)
            equal(sim.wait(60), 0, "the simulator's exit code")
            wait_for(lambda: len(mon.rows()[1]) == LINES - 1, 30, "the monitor's rows")
            csv = {int(r.split(b";")[0]): r for r in mon.rows()[1]}
            last = max(csv)
            wait_for(lambda: ('"seconds":%d,' % last) in (folder / "states").read_text(), 15,
                     "the last reading on MQTT")
            states = (folder / "states").read_text().splitlines()
            equal(len(states), LINES - 1, "one state per reading")
            for st in states:
                sec = int(st.split(",", 1)[0].split(":")[1])
                check(sec in csv, "a state with seconds %d that the monitor never logged" % sec)
                equal(st, state_from_csv(csv[sec]), "the state of the reading at %d s" % sec)
            check('"T3":{"value":null,"status":"nsens"}' in states[-1], "T3 without a sensor")
            equal(mon.close(), 0, "the monitor's exit code")
        stop(bridge)
        equal(bridge.returncode, 0, "the bridge's exit code")
        print_summary("bridge_chain", s, t0, {"readings": len(states)})
        return 0
    finally:
        for p in (bridge, sub, broker):
            stop(p)
        subprocess.run(["rm", "-rf", str(folder)])


if __name__ == "__main__":
    sys.exit(main())
