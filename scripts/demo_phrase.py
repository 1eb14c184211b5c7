#!/usr/bin/python3
"""Plays a short phrase from a scripted keyboard through Velora to a scripted synth.

Both clients are JACK MIDI clients made with python-rtmidi. Velora is started offscreen
with a settings file that names them; what the synth should receive is written out below
by hand from the translator's rules. Exit status 0 only when what arrived is what was
expected, in order.
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import rtmidi

KEYBOARD = "velora-demo-keyboard"
SYNTH = "velora-demo-synth"

# (what the keyboard sends, what the synth must receive for it), trigger Channel Aftertouch.
AFTERTOUCH_RUN = [
    ([0x90, 60, 100], [[0x90, 60, 100]]),              # note on C4: passes
    ([0xD0, 32], [[0xA0, 60, 32]]),                    # channel pressure -> key pressure on C4
    ([0xD0, 64], [[0xA0, 60, 64]]),
    ([0xB0, 7, 100], [[0xB0, 7, 100]]),                # volume: passes
    ([0x90, 64, 90], [[0xA0, 60, 0], [0x90, 64, 90]]),  # E4 takes over; C4 gets pressure 0
    ([0xD0, 48], [[0xA0, 64, 48]]),
    ([0xF8], []),                                      # timing clock: filtered at the input
    ([0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7], []),        # system exclusive: never forwarded
    ([0xE0, 0, 64], [[0xE0, 0, 64]]),                  # pitch bend: passes
    ([0x80, 64, 0], [[0xA0, 64, 0], [0x80, 64, 0]]),   # release E4: pressure 0 first
    ([0x80, 60, 0], [[0x80, 60, 0]]),                  # C4 no longer tracked: passes
    ([0xD0, 16], [[0xD0, 16]]),                        # no note held: passes unchanged
]

# Trigger Continuous Controller 1 (the modulation wheel); the Channel AT filter is on.
CONTROLLER_RUN = [
    ([0x90, 60, 100], [[0x90, 60, 100]]),
    ([0xB0, 1, 32], [[0xA0, 60, 32]]),                 # mod wheel -> key pressure on C4
    ([0xB0, 1, 80], [[0xA0, 60, 80]]),
    ([0xD0, 64], []),                                  # channel pressure: filtered
    ([0xB0, 2, 16], [[0xB0, 2, 16]]),                  # another controller: passes
    ([0x91, 67, 112], [[0xA1, 60, 0], [0x91, 67, 112]]),  # G4 on channel 2 takes over
    ([0xB1, 1, 48], [[0xA1, 67, 48]]),
    ([0xF8], []),
    ([0xF0, 0x41, 0x10, 0x42, 0x12, 0xF7], []),
    ([0x81, 67, 0], [[0xA1, 67, 0], [0x81, 67, 0]]),
    ([0xB0, 1, 0], [[0xB0, 1, 0]]),                    # nothing held: passes unchanged
]


def hexline(msg):
    return " ".join(f"{b:02X}" for b in msg)


def jack_ports(flag):
    out = subprocess.run(["jack_lsp", flag], capture_output=True, text=True).stdout
    return out.splitlines()


def wait_for(predicate, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.05)
    raise SystemExit(f"demo: timed out waiting for {what}")


def connected(port):
    lines = subprocess.run(["jack_lsp", "-c", port], capture_output=True, text=True).stdout
    return len([l for l in lines.splitlines() if l.startswith(" ")]) > 0


def run(velora, title, trigger_index, phrase):
    workdir = tempfile.mkdtemp(prefix="velora-demo-")
    exe = os.path.join(workdir, "velora")
    shutil.copy(velora, exe)
    ini = os.path.join(workdir, "velora.INI")
    with open(ini, "w") as f:
        f.write(f"[MidiDevices]\nInput={KEYBOARD}:out\nOutput={SYNTH}:in\n"
                f"[MIDITrigger]\nTypeIdx={trigger_index}\n")

    keyboard = rtmidi.MidiOut(rtapi=rtmidi.API_UNIX_JACK, name=KEYBOARD)
    keyboard.open_virtual_port("out")
    synth = rtmidi.MidiIn(rtapi=rtmidi.API_UNIX_JACK, name=SYNTH)
    synth.ignore_types(sysex=False, timing=False, active_sense=False)
    received = []
    synth.set_callback(lambda event, _: received.append(event[0]))
    synth.open_virtual_port("in")
    wait_for(lambda: f"{KEYBOARD}:out" in jack_ports("-p") and f"{SYNTH}:in" in jack_ports("-p"),
             10, "the demo clients")

    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    app = subprocess.Popen([exe], env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    try:
        wait_for(lambda: connected(f"{KEYBOARD}:out") and connected(f"{SYNTH}:in"), 20,
                 "Velora to connect to the keyboard and the synth")
        time.sleep(0.3)
        for sent, _ in phrase:
            keyboard.send_message(sent)
            time.sleep(0.02)
        expected = [m for _, out in phrase for m in out]
        wait_for(lambda: len(received) >= len(expected), 5, "the synth to receive the phrase")
        time.sleep(0.3)  # anything extra would arrive now
    finally:
        app.send_signal(signal.SIGTERM)
        try:
            app.wait(10)
        except subprocess.TimeoutExpired:
            app.kill()
            raise SystemExit("demo: Velora did not end on SIGTERM")
        if app.returncode != 0:
            raise SystemExit(f"demo: Velora ended with status {app.returncode} on SIGTERM")
        for client in (keyboard, synth):
            client.close_port()
            client.delete()
        wait_for(lambda: not any(p.startswith("velora-demo-") for p in jack_ports("-p")), 10,
                 "the demo clients to leave")

    print(f"\n{title}")
    print(f"  {'keyboard sent':<24} {'synth received':<34} expected")
    got = list(received)
    ok = True
    for sent, want in phrase:
        have = [got.pop(0) for _ in want if got]
        mark = "ok" if have == want else "WRONG"
        ok = ok and have == want
        print(f"  {hexline(sent):<24} {' / '.join(hexline(m) for m in have) or '-':<34} "
              f"{' / '.join(hexline(m) for m in want) or '-'}  {mark}")
    if got:
        ok = False
        print(f"  unexpected extra messages: {[hexline(m) for m in got]}")
    with open(ini) as f:
        settings = f.read()
    if f"Input={KEYBOARD}:out" not in settings.replace(" = ", "="):
        ok = False
        print("  the settings file does not name the keyboard after exit:\n" + settings)
    shutil.rmtree(workdir, ignore_errors=True)
    return ok


def main():
    velora = sys.argv[1]
    ok = run(velora, "Trigger: Channel Aftertouch", 128, AFTERTOUCH_RUN)
    ok = run(velora, "Trigger: Continious Controller 1", 1, CONTROLLER_RUN) and ok
    print("\ndemo: " + ("everything arrived as expected" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
