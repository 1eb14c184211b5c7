#!/usr/bin/python3
"""The same trigger-to-key-aftertouch translation as Velora, as one would script it with
python-rtmidi: a JACK client that reads one port, rewrites the trigger to Polyphonic Key
Aftertouch for the held note, sends pressure 0 on release, drops system exclusive, and
passes everything else on.

usage: peer_translator.py SOURCE_PORT DEST_PORT [TRIGGER]   (TRIGGER: "at" or 0..127)
"""
import os
import signal
import subprocess
import sys
import threading

import rtmidi


def main():
    source, dest = sys.argv[1], sys.argv[2]
    trigger = sys.argv[3] if len(sys.argv) > 3 else "at"
    controller = None if trigger == "at" else int(trigger)
    state = {"held": 0, "down": False, "pressure": 0}

    # A name of its own per process, so that a peer still leaving does not take it.
    client = f"peer-translator-{os.getpid()}"
    out = rtmidi.MidiOut(rtapi=rtmidi.API_UNIX_JACK, name=client)
    out.open_virtual_port("out")
    out_port = f"{client}:out"

    def on_message(event, _):
        msg = event[0]
        status = msg[0]
        if status == 0xF0:
            return
        kind, channel = status & 0xF0, status & 0x0F
        if kind in (0x80, 0x90) and len(msg) == 3:
            note, velocity = msg[1], msg[2]
            if kind == 0x80 or velocity == 0:
                if note == state["held"]:
                    if state["pressure"]:
                        out.send_message([0xA0 | channel, state["held"], 0])
                    state["pressure"], state["down"] = 0, False
            else:
                if state["pressure"]:
                    out.send_message([0xA0 | channel, state["held"], 0])
                state["held"], state["down"] = note, True
        elif kind == 0xB0 and controller is not None and state["down"] and msg[1] == controller:
            state["pressure"] = msg[2]
            msg = [0xA0 | channel, state["held"], msg[2]]
        elif kind == 0xD0:
            if controller is not None:
                return  # the Channel Aftertouch filter is on while a controller is the trigger
            if state["down"]:
                state["pressure"] = msg[1]
                msg = [0xA0 | channel, state["held"], msg[1]]
        out.send_message(msg)

    inp = rtmidi.MidiIn(rtapi=rtmidi.API_UNIX_JACK, name=f"{client}-in")
    inp.ignore_types(sysex=False, timing=True, active_sense=True)
    inp.set_callback(on_message)
    inp.open_virtual_port("in")

    subprocess.run(["jack_connect", source, f"{client}-in:in"], check=True)
    subprocess.run(["jack_connect", out_port, dest], check=True)
    print("ready", flush=True)

    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    signal.signal(signal.SIGINT, lambda *_: done.set())
    done.wait()
    inp.close_port()
    out.close_port()


if __name__ == "__main__":
    main()
