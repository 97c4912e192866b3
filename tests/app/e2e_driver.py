#!/usr/bin/python3
"""Drives the real Parlevox binary like a user, through the accessibility tree alone (no mouse, no
keyboard), inside dbus-run-session on an X display or a Wayland session, on a private sound server.
Arguments: <binary> <screenshot folder> <microphone tone> <call tone> <work folder> [scenario], the
scenarios being the rows of tst_parlevoxapp. Exits 0 when the scenario worked; prints what failed
otherwise.
"""
import ctypes
import os
import signal
import struct
import subprocess
import sys
import tempfile
import time

import pyatspi

import e2e_services as services

BINARY, SHOTS, MIC_TONE, CALL_TONE, WORK = sys.argv[1:6]
SCENARIO = sys.argv[6] if len(sys.argv) > 6 else "road"
LAUNCHER = []
SERVICES = {}  # the team site and the file the stand-in browser writes
WAYLAND = bool(os.environ.get("WAYLAND_DISPLAY"))
READY = "Enregistrement prêt · micro et audio système"
RECOVERED = "Enregistrement interrompu du "


def fail(message):
    print("FAIL:", message, flush=True)
    app = application()
    if app is not None:
        for top in app:
            print("window", repr(top.name), [
                (n.getRoleName(), n.name, n.getState().contains(pyatspi.STATE_VISIBLE),
                 n.getState().contains(pyatspi.STATE_SHOWING)) for n in walk(top)], flush=True)
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


def nodes_of(window=None):
    """Every node of the application's windows (of the one with this title)."""
    for top in application() or []:
        if window is None or top.name == window:
            yield from walk(top)


def wait_until(condition, timeout=15, pause=0.2):
    """What `condition` returns once neither None nor False (a node without children is false)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        result = condition()
        if result is not None and result is not False:
            return result
        time.sleep(pause)
    return None


def matches(name, role, window, shown):
    """Nodes of this name (and role) that the view shows, perhaps scrolled out of the window."""
    return [node for node in nodes_of(window)
            if name in (node.name, node.description) and (role is None or node.getRole() == role)
            and node.getState().contains(pyatspi.STATE_VISIBLE) == shown]


def find(name, role=None, window=None, timeout=15, last=False):
    """A showing node with this accessible name (and role), waiting for it: the first one, or the
    last one (a sheet comes after the window's own controls in the tree). Qt marks a control
    scrolled out of its page as not visible; a control of that role that is the only one of its
    name is taken as it stands, as a screen reader walking the tree reaches it."""
    start = time.monotonic()

    def found():
        shown = matches(name, role, window, True)
        if shown:
            return shown[-1] if last else shown[0]
        scrolled = matches(name, role, window, False) if role is not None else []
        return scrolled[0] if len(scrolled) == 1 and time.monotonic() - start > 2 else None

    node = wait_until(found, timeout)
    return node if node is not None else fail(f"no « {name} » on screen")


def act(node, wanted):
    action = node.queryAction()
    for i in range(action.nActions):
        if action.getName(i) == wanted:
            action.doAction(i)
            return True
    return False


def type_into(name, text):
    try:
        find(name, window="Parlevox", last=True).queryEditableText().setTextContents(text)
    except NotImplementedError:
        fail(f"« {name} » cannot be edited through the accessibility tree")


def press(name, window, role=pyatspi.ROLE_PUSH_BUTTON, last=False):
    node = find(name, role, window, last=last)
    if not act(node, "Press"):
        fail(f"« {name} » cannot be pressed")


def pixels(path):
    """The width, height and grey levels (one byte a pixel, by rows) of a PNG file."""
    with open(path, "rb") as png:
        width, height = struct.unpack(">II", png.read(24)[16:24])
    grey = subprocess.run(["ffmpeg", "-loglevel", "error", "-i", path, "-f", "rawvideo",
                           "-pix_fmt", "gray", "-"], capture_output=True, check=True).stdout
    return width, height, grey


def wayland_screenshot(path):
    """The compositor's output, cut to what the client drew on its black desktop: a Wayland
    client cannot read the screen, weston's screenshooter (weston --debug) can. Rows and columns
    with a few lit pixels only (the pointer) are left out."""
    with tempfile.TemporaryDirectory() as folder:
        subprocess.run(["weston-screenshooter"], cwd=folder, check=True, timeout=30)
        shot = os.path.join(folder, os.listdir(folder)[0])
        width, height, grey = pixels(shot)
        rows = [y for y in range(height)
                if sum(1 for v in grey[y * width:(y + 1) * width] if v) > 40]
        columns = [x for x in range(width) if sum(1 for v in grey[x::width] if v) > 40]
        if not rows or not columns:
            fail("the compositor shows nothing but its desktop")
        x, y = columns[0], rows[0]
        subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-i", shot, "-vf",
                        f"crop={columns[-1] - x + 1}:{rows[-1] - y + 1}:{x}:{y}", path],
                       check=True)


def xwininfo(title):
    """What xwininfo says of the X window with this title, by field; None when there is none."""
    info = subprocess.run(["xwininfo", "-name", title], capture_output=True, text=True)
    fields = (line.partition(":") for line in info.stdout.splitlines())
    return {k.strip(): v.strip() for k, _, v in fields} if info.returncode == 0 else None


def screenshot(window, name, settle=0.5):
    """The window (under Wayland, every window of the app), once its last change has settled, into
    the screenshot folder; a frame of one or two colours is a window that was never drawn."""
    time.sleep(settle)
    path = os.path.join(SHOTS, name)
    if WAYLAND:
        wayland_screenshot(path)
    else:
        box = xwininfo(window)
        subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "x11grab", "-video_size",
                        f"{box['Width']}x{box['Height']}", "-i", f"{os.environ['DISPLAY']}+"
                        f"{box['Absolute upper-left X']},{box['Absolute upper-left Y']}",
                        "-frames:v", "1", path], check=True)
    if len(set(pixels(path)[2])) < 16:
        fail(f"the screenshot {name} holds no drawing")


def play(sink, tone):
    return subprocess.Popen(["paplay", f"--device={sink}", tone])


def text_containing(fragment, window="Parlevox", timeout=30):
    """The whole text of the first node whose text holds `fragment`."""
    text = wait_until(lambda: next(
        (node.name for node in nodes_of(window) if fragment in (node.name or "")), None),
        timeout, 0.3)
    return text if text is not None else fail(f"no text holding « {fragment} »")


def clipboard():
    return subprocess.run(["xclip", "-selection", "clipboard", "-o"], capture_output=True,
                          text=True, timeout=10).stdout


def expect(text, window="Parlevox", timeout=30, why=None, prefix=False):
    """Waits for a node named or holding `text` (or starting with it)."""
    def holds(node):
        try:
            values = (node.name, node.queryText().getText(0, -1))
        except NotImplementedError:
            values = (node.name,)
        return any(v == text or (prefix and (v or "").startswith(text)) for v in values)

    if not wait_until(lambda: any(holds(node) for node in nodes_of(window)), timeout, 0.3):
        fail(why or f"« {text} » never showed")


def xlib():
    x11 = ctypes.cdll.LoadLibrary("libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                               ctypes.c_void_p]
    x11.XFlush.argtypes = x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    return x11


def close_window(title):
    """Asks the window to close as a window manager's close button does (WM_DELETE_WINDOW)."""
    window = int(xwininfo(title)["xwininfo"].split()[2], 16)  # "Window id: 0x… "title""
    x11 = xlib()
    display = x11.XOpenDisplay(None)
    # An XClientMessageEvent in longs (LP64): type, serial, send_event, display, window,
    # message_type, format, then the data: the protocol and CurrentTime.
    event = (ctypes.c_long * 24)(33, 0, 0, 0, window, x11.XInternAtom(display, b"WM_PROTOCOLS", 0),
                                 32, x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0), 0)
    x11.XSendEvent(display, window, 0, 0, event)
    x11.XFlush(display)
    x11.XCloseDisplay(display)


def keys(events):
    """Presses (True) and releases (False) X keycodes. Under X11 through the accessibility
    registry; under Wayland a client cannot, so they go to the X server whose keyboard is the
    compositor's seat (PARLEVOX_SEAT_DISPLAY), and the compositor hands them to the focused
    window."""
    if not WAYLAND:
        for code, down in events:
            pyatspi.Registry.generateKeyboardEvent(
                code, None, pyatspi.KEY_PRESS if down else pyatspi.KEY_RELEASE)
        return
    x11, xtest = xlib(), ctypes.cdll.LoadLibrary("libXtst.so.6")
    xtest.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int,
                                        ctypes.c_ulong]
    display = x11.XOpenDisplay(os.environ["PARLEVOX_SEAT_DISPLAY"].encode())
    if not display:
        fail("the seat's X server cannot be reached")
    for code, down in events:
        xtest.XTestFakeKeyEvent(display, code, down, 0)
        x11.XFlush(display)
        time.sleep(0.05)
    x11.XCloseDisplay(display)


def record(app):
    """Starts a recording from the notebook and plays both tones into it."""
    find("Enregistrer", pyatspi.ROLE_PUSH_BUTTON, "Parlevox", timeout=30)
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
    if not wait_until(lambda: xwininfo("Réunion Parlevox") is None):
        fail("the meeting window did not close")
    close_window("Parlevox")
    find("Arrêter", pyatspi.ROLE_PUSH_BUTTON, "Réunion Parlevox", timeout=15)
    if app.poll() is not None:
        fail(f"Parlevox ended with {app.returncode} when its last window closed")
    press("Arrêter", "Réunion Parlevox")
    expect(READY, why="the status never said the recording was ready")


def terminated(app):
    """SIGTERM (or Ctrl+Q) during a recording: the recording is stopped and mixed, then Parlevox
    ends."""
    record(app)
    if SCENARIO == "ctrl-q":
        find("Arrêter", pyatspi.ROLE_PUSH_BUTTON, "Réunion Parlevox").queryComponent().grabFocus()
        time.sleep(0.3)
        keys([(37, True), (24, True), (24, False), (37, False)])  # Control_L, q
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
    again = subprocess.Popen(LAUNCHER + [BINARY])
    try:
        expect(RECOVERED, timeout=60, prefix=True,
               why="the next launch did not offer the recovered recording")
        find("Écouter", pyatspi.ROLE_PUSH_BUTTON, "Parlevox", timeout=15)
        screenshot("Parlevox", "notebook-recovered.png")
    finally:
        again.terminate()
        again.wait(timeout=30)


def live(app):
    """The live transcript: the setting turned on asks for the key; during the recording each
    input's lines show in the meeting window as they are said, the newest one first as a partial;
    the stop then has the transcript without sending the recording."""
    press("Réglages", "Parlevox")
    switch = find("Transcrire en direct pendant l’enregistrement", window="Parlevox")
    if not act(switch, "Toggle"):
        fail("the live transcript's switch cannot be toggled")
    find("Activer la transcription", window="Parlevox")
    type_into("Clé API Gladia", "cle-e2e")
    press("Enregistrer", "Parlevox", last=True)
    if not wait_until(lambda: not matches("Activer la transcription", None, "Parlevox", True)):
        fail("the key form did not close")
    press("Fermer", "Parlevox", last=True)
    press("Enregistrer", "Parlevox")
    find("Arrêter", pyatspi.ROLE_PUSH_BUTTON, "Réunion Parlevox", timeout=30)
    expect("Enregistrement en cours · transcription en direct", "Réunion Parlevox")
    # Sinks wake up when a recorder connects; the tones then play one after the other.
    time.sleep(1)
    play("parlevox_mic_in", MIC_TONE).wait(timeout=30)
    microphone = "Micro · " + services.LIVE_TEXTS[0]
    text_containing(microphone, "Réunion Parlevox", timeout=15)
    # The call speaks longer, to be seen while it is heard: three tones in one span.
    longer = os.path.join(WORK, "appel-long.wav")
    subprocess.run(["sox", CALL_TONE, longer, "repeat", "2"], check=True)
    player = play("parlevox_call", longer)
    partial = "Audio de l’appel · " + services.LIVE_PARTIAL
    text_containing(partial, "Réunion Parlevox", timeout=15)
    screenshot("Réunion Parlevox", "meeting-live.png", settle=0)
    if player.poll() is not None:
        fail("the call ended before its partial line was seen")
    player.wait(timeout=30)
    # The meeting window closes with the recording; the notebook has the transcript.
    press("Arrêter", "Réunion Parlevox")
    expect("Transcription prête", timeout=30,
           why="the live transcript did not end the recording's transcription")
    transcript = text_containing(microphone)
    call = "Audio de l’appel · " + services.LIVE_TEXTS[1]
    if call not in transcript or services.LIVE_PARTIAL in transcript:
        fail(f"the transcript reads {transcript!r}")
    if services.Gladia.uploads or services.Gladia.jobs or services.Gladia.live_sessions != 1:
        fail(f"{services.Gladia.uploads} uploads, {services.Gladia.jobs} jobs and "
             f"{services.Gladia.live_sessions} live sessions")


def road(app):
    """Record, stop, transcribe with a key typed into the key form, copy, connect the team from a
    link, prepare, answer, review, confirm and follow the launched session."""
    record(app)
    screenshot("Réunion Parlevox", "meeting-recording.png", settle=0)
    press("Arrêter", "Réunion Parlevox")
    expect(READY, why="the status never said the recording was ready")
    screenshot("Parlevox", "notebook-ready.png")

    # No key at launch: "Transcrire" opens the key form, whose own "Transcrire" runs it.
    press("Transcrire", "Parlevox")
    find("Activer la transcription", window="Parlevox")
    type_into("Clé API Gladia", "  cle-e2e  ")
    press("Transcrire", "Parlevox", last=True)
    expect("Transcription prête", timeout=90, why="the transcription never finished")
    # Both tracks' lines, each with the words exactly as the service gave them.
    transcript = text_containing("Micro · " + services.UTTERANCE)
    if "Audio de l’appel · " + services.UTTERANCE not in transcript:
        fail(f"the transcript reads {transcript!r}")
    if services.Gladia.keys != {"cle-e2e"}:
        fail(f"the service received the keys {services.Gladia.keys}")
    screenshot("Parlevox", "notebook-transcript.png", settle=0.8)
    press("Copier la transcription", "Parlevox")
    if clipboard() != transcript:
        fail(f"the clipboard holds {clipboard()!r}")

    # A second launch hands the link to this instance and exits.
    team_site = SERVICES["team site"]
    second = subprocess.run([BINARY, f"parlevox://connect?server={team_site}"], timeout=20)
    if second.returncode != 0:
        fail(f"the second launch ended with {second.returncode}")
    find("Connecter l’agent", window="Parlevox", timeout=15)
    expect(team_site, timeout=10, why="the integrations page does not propose the linked site")
    screenshot("Parlevox", "notebook-integrations-link.png")
    type_into("Code d’accès de l’équipe", services.ACCESS_CODE)
    press("Connecter", "Parlevox", last=True)
    expect("Le code de l’équipe est validé pour cette session.")
    press("Fermer", "Parlevox", last=True)

    press("Agent", "Parlevox", role=pyatspi.ROLE_PAGE_TAB)
    type_into("Demande", "Corrige l’export")
    press("Insérer la transcription", "Parlevox")
    press("Préparer la tâche", "Parlevox")
    expect(services.QUESTION, why="the agent's question is not shown")
    screenshot("Parlevox", "agent-question.png")
    type_into("Votre précision", services.ANSWER)
    press("Ajouter cette précision", "Parlevox")
    expect(services.REVIEW_TITLE, why="the proposal is not shown")
    expect(services.QUESTION + " " + services.ANSWER, why="the answered question is not shown")
    screenshot("Parlevox", "agent-review.png")
    press("Confirmer et lancer", "Parlevox")
    press("Suivre dans Devin", "Parlevox", role=pyatspi.ROLE_LINK)
    # The stand-in browser may have created the file and not written it yet.
    def opened_addresses():
        opened = SERVICES["opened"]
        return open(opened).read().split() if os.path.exists(opened) else None

    if not wait_until(lambda: opened_addresses() == [services.SESSION_URL]):
        fail(f"the browser was asked to open {opened_addresses()}, not the launched session")
    screenshot("Parlevox", "agent-launched.png")
    prepared = [sent for path, sent in services.Team.requests if path == "/api/agent-prepare"]
    if not prepared or not prepared[0]["transcript"].startswith(transcript):
        fail("the transcript was not sent as the excerpt")
    if app.poll() is not None:
        fail("the running instance ended")


def main():
    os.makedirs(SHOTS, exist_ok=True)
    environment, launcher, SERVICES["team site"], SERVICES["opened"] = services.start(WORK)
    os.environ.update(environment)
    LAUNCHER.extend(launcher)
    # The registry must be up before the application starts, or the application never shows up.
    pyatspi.Registry.getDesktop(0)
    app = subprocess.Popen(launcher + [BINARY])
    try:
        {"road": road, "live": live, "last-window": last_window, "sigterm": terminated,
         "ctrl-q": terminated, "killed": killed}[SCENARIO](app)
        print("OK", flush=True)
    finally:
        app.terminate()
        try:
            app.wait(timeout=10)
        except subprocess.TimeoutExpired:
            app.kill()


if __name__ == "__main__":
    main()
