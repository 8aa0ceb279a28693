"""The helpers the Python tests share, one module each: harness (Wine sessions, the driver,
serial ports, waits), monitor (the monitor's windows and the rows it makes), network (the
stand-in data server and monitors as stations), station (simulator, ptys, Xvfb, process
cleanup), stationmon (the monitor as a station runs it, its logs read back), sockets
(native programs under test, free ports, small clients) and release (version resources,
shortcuts and registry exports of the release files).

A test script puts tests/ on sys.path and imports from here."""
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
