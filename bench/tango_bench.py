"""How many chunks a second the Tango device server carries to its clients, and how fast.

Starts `python3 -m halvex.tango` on a free loopback port, without a database or (--database)
registered in the one TANGO_HOST names, on one simulated 805C board, and one to N client
processes. Each client subscribes to LastChunk's change event (the
chunk's volts) and data-ready event (its sequence number), then the device streams for the given
time. Reported per run: chunks and samples per second the device delivered, per client the
change events and samples received and the data-ready events missed (sequence numbers never
seen), the device's own drops, and the server's CPU (user + system, per second of wall time).

    PYTHONPATH=python HALVEX_LIBRARY=build/dev/libhalvex.so \\
        /usr/bin/python3 bench/tango_bench.py --rate 10e6 --channels 1 --clients 1 --seconds 30
    ... --rate 100000 --chunk 100 --clients 3 --seconds 30        # 1000 chunks a second
    ... --sweep --rate 1e6 --seconds 5                           # chunk sizes down to the limit
    TANGO_HOST=127.0.0.1:10000 ... --database ...                # the server in a Tango database
"""

import argparse
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

DEVICE = "halvex/bench/0"  # the name's number is the board: 0, the one simulated board


def client(address, ready_file):
    import tango

    proxy = tango.DeviceProxy(address)
    lock = threading.Lock()
    seen = {"sequences": set(), "changes": 0, "samples": 0, "errors": 0}

    def on_ready(event):
        with lock:
            if event.err:
                seen["errors"] += 1
                seen.setdefault("reasons", set()).add(event.errors[0].reason)
            else:
                seen["sequences"].add(event.ctr)

    def on_change(event):
        with lock:
            if event.err:
                seen["errors"] += 1
                seen.setdefault("reasons", set()).add(event.errors[0].reason)
                return
            value, when = event.attr_value.value, event.attr_value.time.totime()
            if value is not None and value.size and when != seen.get("last"):  # a repeat has the same time
                seen["last"] = when
                seen["changes"] += 1
                seen["samples"] += value.size

    [proxy.subscribe_event("LastChunk", tango.EventType.DATA_READY_EVENT, on_ready),
     proxy.subscribe_event("LastChunk", tango.EventType.CHANGE_EVENT, on_change)]
    Path(ready_file).write_text("ready")
    last = int(sys.stdin.read())  # the run's last sequence number, once it is over
    # Events still on their way are not missed: wait for the last one, or for 2 s without any.
    count, quiet_since = -1, time.monotonic()
    while time.monotonic() - quiet_since < 2:
        with lock:
            if last in seen["sequences"]:
                break
            if len(seen["sequences"]) != count:
                count, quiet_since = len(seen["sequences"]), time.monotonic()
        time.sleep(0.05)
    with lock:
        sequences = sorted(seen["sequences"])
        print(json.dumps({"ready_events": len(sequences), "highest": sequences[-1] if sequences else -1,
                          "changes": seen["changes"], "samples": seen["samples"], "errors": seen["errors"],
                          "reasons": sorted(seen.get("reasons", ()))}),
              flush=True)
    # Not unsubscribe_event: PyTango 9.3.6's crashes now and then in a client that has taken events
    # for more than ten seconds or so; the process ends instead, which the server takes as well.
    os._exit(0)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_seconds(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wait_until(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise RuntimeError(f"timed out waiting for {what}")
        time.sleep(0.05)


def run(rate, channels, chunk, clients, seconds, tmp, database=False):
    import tango

    port = free_port()
    env = dict(os.environ, HALVEX_SIM_BOARDS="805C")
    if database:  # the server HalvexBoard/bench with one device, in the database TANGO_HOST names
        info = tango.DbDevInfo()
        info.server, info._class, info.name = "HalvexBoard/bench", "HalvexBoard", DEVICE
        tango.Database().add_device(info)
        options = ["-ORBendPoint", f"giop:tcp:127.0.0.1:{port}"]
        address = DEVICE
    else:
        options = ["-nodb", "-ORBendPoint", f"giop:tcp:127.0.0.1:{port}", "-dlist", DEVICE]
        address = f"tango://127.0.0.1:{port}/{DEVICE}#dbase=no"
    server = subprocess.Popen([sys.executable, "-m", "halvex.tango", "bench"] + options, env=env,
                              stdout=subprocess.DEVNULL, start_new_session=True)
    readers = []
    try:
        proxy = tango.DeviceProxy(address)
        proxy.set_timeout_millis(10000)

        def answers():
            try:
                proxy.ping()
                return True
            except tango.DevFailed:
                return False

        wait_until(answers, 30, "the server")
        proxy.Channels = channels
        proxy.SampleRate = rate
        proxy.ChunkSize = chunk
        for i in range(clients):
            ready = Path(tmp) / f"ready{port}_{i}"
            reader = subprocess.Popen([sys.executable, "-X", "faulthandler", __file__, "--client", address, "--ready-file", str(ready)],
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            readers.append((reader, ready))
        for reader, ready in readers:
            wait_until(ready.exists, 30, "a client to subscribe")
        cpu_before, wall_before = cpu_seconds(server.pid), time.monotonic()
        proxy.Start()
        time.sleep(seconds)
        cpu = (cpu_seconds(server.pid) - cpu_before) / (time.monotonic() - wall_before)
        proxy.Stop()
        chunks = proxy.ChunkSequence + 1
        achieved = proxy.SampleRate
        dropped, overruns = proxy.SamplesDropped, proxy.Overruns
        results = []
        for reader, ready in readers:
            out, _ = reader.communicate(str(chunks - 1), timeout=120)
            if reader.returncode != 0 or not out.strip():
                raise RuntimeError(f"a client ended with {reader.returncode}: {out!r}")
            results.append(json.loads(out.strip().splitlines()[-1]))
            ready.unlink()
        samples_per_chunk = (chunk or max(1, round(achieved / 10))) * channels
        return {"database": database, "rate": achieved, "channels": channels, "chunk": chunk, "clients": clients, "seconds": seconds,
                "chunks": chunks, "chunks_per_s": chunks / seconds,
                "samples_per_s": chunks * samples_per_chunk / seconds, "server_cpu": cpu,
                "device_dropped": dropped, "overruns": overruns,
                "clients_received": [r["changes"] for r in results],
                "clients_missed": [chunks - r["ready_events"] for r in results],
                "clients_samples_per_s": [r["samples"] / seconds for r in results],
                "errors": [r["errors"] for r in results],
                "reasons": sorted({reason for r in results for reason in r["reasons"]})}
    finally:
        for reader, _ in readers:
            if reader.poll() is None:
                reader.kill()
            reader.wait(10)
        if server.poll() is None:
            os.killpg(server.pid, signal.SIGKILL)
        server.wait(10)


def show(result):
    print(f"{'database' if result['database'] else 'no database'}  "
          f"{result['rate'] * result['channels'] / 1e6:8.3f} MS/s  chunk {result['chunk'] or 'auto':>7}  "
          f"clients {result['clients']}  {result['chunks_per_s']:7.1f} chunks/s  "
          f"{result['samples_per_s'] / 1e6:7.3f} MS/s delivered  server CPU {100 * result['server_cpu']:5.1f}%  "
          f"received {result['clients_received']}  missed {result['clients_missed']}  "
          f"dropped {result['device_dropped']}  overruns {result['overruns']}  "
          f"errors {result['errors']} {' '.join(result['reasons'])}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rate", type=float, default=10e6, help="samples per second per channel")
    parser.add_argument("--channels", type=int, default=1)
    parser.add_argument("--chunk", type=int, default=0, help="samples per channel per chunk; 0: a tenth of a second")
    parser.add_argument("--clients", type=int, default=1)
    parser.add_argument("--seconds", type=float, default=30)
    parser.add_argument("--sweep", action="store_true", help="chunk sizes from a tenth of a second down to "
                                                             "1000 chunks a second, one client")
    parser.add_argument("--database", action="store_true",
                        help="register the server in the Tango database TANGO_HOST names (else -nodb)")
    parser.add_argument("--client", help=argparse.SUPPRESS)
    parser.add_argument("--ready-file", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.client:
        return client(args.client, args.ready_file)
    import tempfile

    import tango

    with tempfile.TemporaryDirectory() as tmp:
        if args.sweep:
            for per_second in (10, 100, 250, 500, 1000):
                show(run(args.rate, args.channels, max(1, round(args.rate / per_second)), args.clients,
                         args.seconds, tmp, args.database))
        else:
            try:
                show(run(args.rate, args.channels, args.chunk, args.clients, args.seconds, tmp, args.database))
            except Exception as error:
                import traceback

                where = [line for line in traceback.format_tb(error.__traceback__) if __file__ in line][-1:]
                reason = error.args[0].reason if isinstance(error, tango.DevFailed) else type(error).__name__
                print(f"run failed: {reason} {''.join(where).strip()}", flush=True)
                return 1


if __name__ == "__main__":
    sys.exit(main())
