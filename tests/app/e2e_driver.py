#!/usr/bin/python3
"""Drives the real Parlevox binary like a user, through the accessibility tree.

Run inside dbus-run-session on an X display, with PULSE_SERVER pointing at a private sound server.
Arguments: <parlevox binary> <screenshot folder> <microphone tone> <call tone>.
Exits 0 when the whole road worked; prints what failed otherwise.
"""
import os
import subprocess
import sys
import time

import pyatspi

BINARY, SHOTS, MIC_TONE, CALL_TONE = sys.argv[1:5]
READY = "Enregistrement prêt · micro et audio système"


def fail(message):
    print("FAIL:", message, flush=True)
    app = application()
    if app is not None:
        for top in app:
            print("window", repr(top.name), [n.name for n in walk(top) if n.name][:60], flush=True)
    sys.exit(1)


def application():
    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and app.name.lower() == "parlevox":
            return app
    return None


def walk(node):
    yield node
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        if child is not None:
            yield from walk(child)


def showing(node):
    return node.getState().contains(pyatspi.STATE_SHOWING)


def find(name, role=None, window=None, timeout=15):
    """The first showing node with this accessible name (and role), waiting for it."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        app = application()
        if app is not None:
            for top in app:
                if window is not None and top.name != window:
                    continue
                for node in walk(top):
                    if node.name == name and (role is None or node.getRole() == role) and showing(node):
                        return node
        time.sleep(0.2)
    fail(f"no « {name} » on screen")


def press(name, window):
    node = find(name, pyatspi.ROLE_PUSH_BUTTON, window)
    action = node.queryAction()
    for i in range(action.nActions):
        if action.getName(i) in ("Press", "press", "click"):
            action.doAction(i)
            return
    action.doAction(0)


def text_present(text, window, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        app = application()
        if app is not None:
            for top in app:
                if top.name != window:
                    continue
                for node in walk(top):
                    if node.name == text:
                        return True
                    try:
                        content = node.queryText()
                        if content.getText(0, -1) == text:
                            return True
                    except NotImplementedError:
                        pass
        time.sleep(0.3)
    return False


def screenshot(window, name):
    info = subprocess.run(["xwininfo", "-name", window], capture_output=True, text=True).stdout
    fields = {}
    for line in info.splitlines():
        if ":" in line:
            key, _, value = line.strip().partition(":")
            fields[key.strip()] = value.strip()
    x, y = fields["Absolute upper-left X"], fields["Absolute upper-left Y"]
    width, height = fields["Width"], fields["Height"]
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "x11grab", "-video_size",
                    f"{width}x{height}", "-i", f"{os.environ['DISPLAY']}+{x},{y}", "-frames:v", "1",
                    os.path.join(SHOTS, name)], check=True)


def play(sink, tone):
    return subprocess.Popen(["paplay", f"--device={sink}", tone])


def main():
    os.makedirs(SHOTS, exist_ok=True)
    # The registry must be up before the application starts, or the application never shows up.
    pyatspi.Registry.getDesktop(0)
    app = subprocess.Popen([BINARY])
    try:
        find("Enregistrer", pyatspi.ROLE_PUSH_BUTTON, "Parlevox", timeout=30)
        time.sleep(0.5)
        screenshot("Parlevox", "notebook-fresh.png")

        press("Enregistrer", "Parlevox")
        find("Arrêter", pyatspi.ROLE_PUSH_BUTTON, "Réunion Parlevox", timeout=30)
        players = [play("parlevox_mic_in", MIC_TONE), play("parlevox_call", CALL_TONE)]
        for player in players:
            player.wait(timeout=30)
        time.sleep(0.3)
        screenshot("Réunion Parlevox", "meeting-recording.png")

        press("Arrêter", "Réunion Parlevox")
        if not text_present(READY, "Parlevox"):
            fail("the status never said the recording was ready")
        time.sleep(0.5)
        screenshot("Parlevox", "notebook-ready.png")

        # A second launch hands the link to this instance and exits.
        second = subprocess.run([BINARY, "parlevox://connect?server=http://localhost:3000"],
                                timeout=20)
        if second.returncode != 0:
            fail(f"the second launch ended with {second.returncode}")
        find("Connecter l’agent", window="Parlevox", timeout=15)
        if not text_present("http://localhost:3000", "Parlevox", timeout=10):
            fail("the integrations page does not propose the linked team site")
        time.sleep(0.5)
        screenshot("Parlevox", "notebook-integrations-link.png")
        if app.poll() is not None:
            fail("the running instance ended")
        print("OK", flush=True)
    finally:
        app.terminate()
        try:
            app.wait(timeout=10)
        except subprocess.TimeoutExpired:
            app.kill()


if __name__ == "__main__":
    main()
