#!/usr/bin/python3
"""Velora against a scripted peer and a direct connection, on one private JACK server with
the dummy driver, at JACK periods of 64 and 16 frames: p50/p99/max latency and lost
messages at 1,000, 5,000 and 20,000 messages per second. Prints a Markdown table.

usage: compare.py BUILD_DIR [SECONDS_PER_RUN]
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = "velora-bench"
RATES = [1000, 5000, 20000]
PERIODS = [64, 16]
KEYBOARD, SYNTH = "bench-keyboard", "bench-synth"


def start_jack(period):
    env = dict(os.environ, JACK_DEFAULT_SERVER=SERVER)
    # Realtime scheduling where the machine grants it, as on a musician's machine.
    realtime = subprocess.run(["chrt", "-f", "10", "true"], capture_output=True).returncode == 0
    jack = subprocess.Popen(["jackd", "--realtime" if realtime else "--no-realtime", "-n", SERVER,
                             "-d", "dummy", "-r", "48000", "-p", str(period)], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(100):
        if subprocess.run(["jack_lsp"], env=env, capture_output=True).returncode == 0:
            return jack
        time.sleep(0.1)
    jack.kill()
    raise SystemExit("compare: the JACK server did not start")


def stop(proc):
    if proc and proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def measure(build, target, rate, seconds):
    env = dict(os.environ, JACK_DEFAULT_SERVER=SERVER, QT_QPA_PLATFORM="offscreen")
    args = [os.path.join(build, "bench/e2e/latency_e2e"), str(rate), str(seconds), KEYBOARD, SYNTH]
    if target == "direct":
        args.append("direct")
    probe = subprocess.Popen(args, env=env, stdout=subprocess.PIPE, text=True)
    assert probe.stdout.readline().strip() == "ports ready"
    helper, workdir = None, None
    try:
        if target == "direct":
            subprocess.run(["jack_connect", f"{KEYBOARD}:out", f"{SYNTH}:in"], env=env, check=True)
        elif target == "peer":
            helper = subprocess.Popen(["/usr/bin/python3", os.path.join(HERE, "peer_translator.py"),
                                       f"{KEYBOARD}:out", f"{SYNTH}:in", "at"], env=env,
                                      stdout=subprocess.DEVNULL)
        else:
            workdir = tempfile.mkdtemp(prefix="velora-bench-")
            exe = os.path.join(workdir, "velora")
            shutil.copy(os.path.join(build, "app/velora"), exe)
            with open(os.path.join(workdir, "velora.INI"), "w") as f:
                f.write(f"[MidiDevices]\nInput={KEYBOARD}:out\nOutput={SYNTH}:in\n"
                        "[MIDITrigger]\nTypeIdx=128\n")
            helper = subprocess.Popen([exe], env=env, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
        line = probe.stdout.read().strip()
        probe.wait()
    finally:
        stop(helper)
        stop(probe)
        if workdir:
            shutil.rmtree(workdir, ignore_errors=True)
    fields = line.split()
    values = dict(zip(fields[0::2], fields[1::2]))
    return values


def main():
    build = os.path.abspath(sys.argv[1])
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 5
    rows = []
    for period in PERIODS:
        jack = start_jack(period)
        try:
            for target in ["velora", "peer", "direct"]:
                for rate in RATES:
                    v = measure(build, target, rate, seconds)
                    if not v:  # the path did not come up (a client that failed to start)
                        v = measure(build, target, rate, seconds)
                    rows.append((period, target, rate, v))
                    print(f"period {period} {target:6} {rate:6}/s: {v}", file=sys.stderr, flush=True)
        finally:
            stop(jack)
    print("| JACK period | path | msg/s | sent | lost | reordered | p50 µs | p99 µs | max µs |")
    print("|---:|---|---:|---:|---:|---:|---:|---:|---:|")
    for period, target, rate, v in rows:
        print(f"| {period} | {target} | {rate} | {v.get('sent', '?')} | {v.get('lost', '?')} | "
              f"{v.get('reordered', '?')} | {v.get('p50_us', '?')} | {v.get('p99_us', '?')} | "
              f"{v.get('max_us', '?')} |")


if __name__ == "__main__":
    main()
