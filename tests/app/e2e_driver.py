#!/usr/bin/python3
"""Drives the real Parlevox binary like a user, through the accessibility tree.

Run inside dbus-run-session on an X display, with PULSE_SERVER pointing at a private sound server.
Arguments: <parlevox binary> <screenshot folder> <microphone tone> <call tone> [scenario].
Scenarios: "road" (record, stop, hand over a link), "last-window" (every window closed during a
recording), "sigterm" (the session ends during a recording), "killed" (the process is killed during
a recording, then launched again).
Exits 0 when the scenario worked; prints what failed otherwise.
"""
import ctypes
import os
import signal
import subprocess
import sys
import time

import pyatspi

BINARY, SHOTS, MIC_TONE, CALL_TONE = sys.argv[1:5]
SCENARIO = sys.argv[5] if len(sys.argv) > 5 else "road"
READY = "Enregistrement prêt · micro et audio système"
RECOVERED = "Enregistrement interrompu du "


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


def text_present(text, window, timeout=30, prefix=False):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        app = application()
        if app is not None:
            for top in app:
                if top.name != window:
                    continue
                for node in walk(top):
                    if node.name == text or (prefix and (node.name or "").startswith(text)):
                        return True
                    try:
                        content = node.queryText().getText(0, -1)
                        if content == text or (prefix and content.startswith(text)):
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


class ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                ("message_type", ctypes.c_ulong), ("format", ctypes.c_int),
                ("data", ctypes.c_long * 5)]


class XEvent(ctypes.Union):
    _fields_ = [("message", ClientMessage), ("pad", ctypes.c_long * 24)]


def close_window(title):
    """Asks the window to close as a window manager's close button does (WM_DELETE_WINDOW)."""
    info = subprocess.run(["xwininfo", "-name", title], capture_output=True, text=True).stdout
    window = int(info.split("Window id:")[1].split()[0], 16)
    x11 = ctypes.cdll.LoadLibrary("libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                               ctypes.POINTER(XEvent)]
    x11.XFlush.argtypes = [ctypes.c_void_p]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    display = x11.XOpenDisplay(None)
    event = XEvent()
    event.message.type = 33  # ClientMessage
    event.message.window = window
    event.message.message_type = x11.XInternAtom(display, b"WM_PROTOCOLS", 0)
    event.message.format = 32
    event.message.data[0] = x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
    event.message.data[1] = 0  # CurrentTime
    x11.XSendEvent(display, window, 0, 0, ctypes.byref(event))
    x11.XFlush(display)
    x11.XCloseDisplay(display)


def window_open(title):
    return subprocess.run(["xwininfo", "-name", title], capture_output=True).returncode == 0


def wait_until(condition, timeout=15):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.2)
    return False


def record(app):
    """Starts a recording from the notebook and plays both tones into it."""
    find("Enregistrer", pyatspi.ROLE_PUSH_BUTTON, "Parlevox", timeout=30)
    time.sleep(0.5)
    if SCENARIO == "road":
        screenshot("Parlevox", "notebook-fresh.png")
    press("Enregistrer", "Parlevox")
    find("Arrêter", pyatspi.ROLE_PUSH_BUTTON, "Réunion Parlevox", timeout=30)
    players = [play("parlevox_mic_in", MIC_TONE), play("parlevox_call", CALL_TONE)]
    for player in players:
        player.wait(timeout=30)
    time.sleep(0.3)


def last_window(app):
    """Every window closed by hand during a recording: Parlevox stays, the meeting comes back."""
    record(app)
    close_window("Réunion Parlevox")
    if not wait_until(lambda: not window_open("Réunion Parlevox")):
        fail("the meeting window did not close")
    close_window("Parlevox")
    find("Arrêter", pyatspi.ROLE_PUSH_BUTTON, "Réunion Parlevox", timeout=15)
    if app.poll() is not None:
        fail(f"Parlevox ended with {app.returncode} when its last window closed")
    press("Arrêter", "Réunion Parlevox")
    if not text_present(READY, "Parlevox"):
        fail("the status never said the recording was ready")


def terminated(app):
    """SIGTERM (or Ctrl+Q) during a recording: the recording is stopped and mixed, then Parlevox
    ends."""
    record(app)
    if SCENARIO == "ctrl-q":
        find("Arrêter", pyatspi.ROLE_PUSH_BUTTON, "Réunion Parlevox").queryComponent().grabFocus()
        time.sleep(0.3)
        pyatspi.Registry.generateKeyboardEvent(37, None, pyatspi.KEY_PRESS)  # Control_L
        pyatspi.Registry.generateKeyboardEvent(24, None, pyatspi.KEY_PRESSRELEASE)  # q
        pyatspi.Registry.generateKeyboardEvent(37, None, pyatspi.KEY_RELEASE)
    else:
        app.send_signal(signal.SIGTERM)
    try:
        code = app.wait(timeout=90)
    except subprocess.TimeoutExpired:
        fail(f"Parlevox did not end after {SCENARIO}")
    if code != 0:
        fail(f"Parlevox ended with {code} after {SCENARIO}")


def killed(app):
    """Killed during a recording: the next launch recovers the recording and opens it."""
    record(app)
    app.kill()
    app.wait(timeout=10)
    again = subprocess.Popen([BINARY])
    try:
        if not text_present(RECOVERED, "Parlevox", timeout=60, prefix=True):
            fail("the next launch did not offer the recovered recording")
        find("Écouter", pyatspi.ROLE_PUSH_BUTTON, "Parlevox", timeout=15)
        time.sleep(0.5)
        screenshot("Parlevox", "notebook-recovered.png")
    finally:
        again.terminate()
        again.wait(timeout=30)


def main():
    os.makedirs(SHOTS, exist_ok=True)
    # The registry must be up before the application starts, or the application never shows up.
    pyatspi.Registry.getDesktop(0)
    app = subprocess.Popen([BINARY])
    try:
        if SCENARIO != "road":
            {"last-window": last_window, "sigterm": terminated, "ctrl-q": terminated,
             "killed": killed}[SCENARIO](app)
            print("OK", flush=True)
            return
        record(app)
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
