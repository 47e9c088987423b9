#!/usr/bin/python3
"""Every screen of the wizard as a screen reader finds it: Xvfb, a private session bus on which the
accessibility bus and its registry start as on a desktop, and `ui_screens --walk` showing one
screen at a time. Each control a user can act on needs a role, a Romanian name and the keyboard;
labels need readable text, images a name, buttons a mnemonic, the main window the frame role;
the PIN field and the proxy's password field are password fields that give no text away; the
progress bar tells its value; the old-driver alert's link is reachable.
    accessibility_walk.py UI_SCREENS        (QE_WALK_SHOW=1 prints each tree as it is read)"""
import os
import subprocess
import sys
import tempfile
import time

PIN = "1234"  # what ui_screens types into each PIN dialog and each proxy password field
NOT_ROMANIAN = {"Cancel", "Yes", "No", "Close", "Retry", "Abort", "Ignore", "Help", "Apply"}

# Each screen ui_screens shows, and what its tree holds besides buttons (AT-SPI role names).
PIN_SCREENS = ("pin", "pin-count-low", "pin-final-try", "pin-locked", "pin-tries-unknown")
# The proxy's login: a user name field and a password field; after a refusal both tell it.
PROXY_SCREENS = ("proxy-login", "proxy-login-refused")
# The new PIN and its confirmation, each telling the token's length rule.
PIN_CHANGE_SCREENS = ("pin-change", "pin-change-mismatch")
SCREENS = {name: {"label"} for name in (
    "main-starting", "main-status-check", "main-idle", "main-idle-expired", "message-box",
    "message-box-success", "message-box-unshown", "message-box-not-yet-valid",
    "message-box-installed-unconfirmed", "main-idle-expired-clock", "message-box-unreadable",
    "message-box-old-kept", "message-box-unanswered", "message-box-tls-inspected",
    "message-box-no-software", "message-box-token-in-use", "message-box-card-service-down",
    "message-box-key-not-protected", "question-replace-issued", "message-box-already-open",
    "alert-invalid-token", "about", "certificate-details", "certificate-details-unreadable")} | {
    "main-busy": {"progress bar", "label"}, "alert-old-driver": {"link"},
    "certificate-choice": {"tree"}, "acceptance": {"radio button", "document frame"},
    "acceptance-scrolled": {"check box", "document frame"},
    "acceptance-file-not-found": {"document frame"}, "pin-reader": {"label"},
    "pin-reader-change": {"label"}} | {
    name: {"label", "password text"} for name in PIN_CHANGE_SCREENS} | {
    name: {"password text"} for name in PIN_SCREENS} | {
    name: {"label", "text", "password text"} for name in PROXY_SCREENS}
# The reader's prompt has no button: the reader takes the PIN, and C_Login cannot be cancelled.
WITHOUT_BUTTONS = {"pin-reader", "pin-reader-change"}
ACTIONABLE = {"push button", "radio button", "check box", "password text", "text", "entry",
              "tree table", "table", "list", "tree", "link", "combo box", "document frame"}


def await_condition(what, condition, seconds=30):
    end = time.monotonic() + seconds
    while not (value := condition()):
        if time.monotonic() > end:
            sys.exit(f"FAIL: no {what} within {seconds} s")
        time.sleep(0.05)
    return value


def check(screen, window, pyatspi):
    problems, seen = [], set()

    def visit(node):
        for child in node:
            if child is None or not child.getState().contains(pyatspi.STATE_SHOWING):
                continue
            role, name, states = child.getRoleName(), child.name or "", child.getState()
            readable = "Text" in pyatspi.listInterfaces(child)
            text = child.queryText().getText(0, -1) if readable else ""
            where = f"{screen}: {role} {name!r}"
            if os.environ.get("QE_WALK_SHOW"):
                print(f"  {role} {name!r} {child.description!r} {text[:40]!r}")
            seen.add(role)
            if role in ACTIONABLE or states.contains(pyatspi.STATE_FOCUSABLE):
                if role in ("unknown", "filler", "panel"):
                    problems.append(f"{where}: no role")
                if not name.strip() or name.replace("&", "") in NOT_ROMANIAN:
                    problems.append(f"{where}: no Romanian name")
                if not states.contains(pyatspi.STATE_FOCUSABLE):
                    problems.append(f"{where}: not reachable by keyboard")
            if role == "image" and not name.strip():
                problems.append(f"{where}: an image without a name")
            # A disabled button has no action, so no key binding to ask for.
            if role == "push button" and states.contains(pyatspi.STATE_ENABLED) and \
                    not child.queryAction().getKeyBinding(0):
                problems.append(f"{where}: no mnemonic")
            if role == "label" and not (name.strip() or text.strip()):
                problems.append(f"{where}: a label without text")
            if role == "password text" and (text or PIN in name + (child.description or "")):
                problems.append(f"{where}: gives the PIN away ({text!r})")
            if role in ("password text", "text") and not child.description and \
                    screen in (*PIN_SCREENS[1:], *PROXY_SCREENS[1:], *PIN_CHANGE_SCREENS):
                problems.append(f"{where}: the warning is not told")
            if role == "progress bar":
                value = child.queryValue()
                if not value.minimumValue < value.currentValue <= value.maximumValue:
                    problems.append(f"{where}: value {value.currentValue} not told")
            if "http" in text and states.contains(pyatspi.STATE_FOCUSABLE):
                seen.add("link")  # Tab inside the text goes from link to link
            visit(child)

    visit(window)
    buttons = set() if screen in WITHOUT_BUTTONS else {"push button"}
    problems += [f"{screen}: no {role}" for role in (SCREENS[screen] | buttons) - seen]
    if screen.startswith("main-") and window.getRoleName() != "frame":
        problems.append(f"{screen}: the window is a {window.getRoleName()}, not a frame")
    if not (window.name or "").strip():
        problems.append(f"{screen}: a window without a name")
    return problems


def walk(program):
    env = dict(os.environ, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
    # The X keyboard library trips the sanitizer's strict string check (see keys_and_clicks_test).
    env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"),
                                                 "strict_string_checks=0"]))
    screens = subprocess.Popen([program, "--walk"], env=env, stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, text=True)
    import pyatspi  # after the bus is there: the bindings connect on import

    desktop = pyatspi.Registry.getDesktop(0)
    app = await_condition("ui_screens on the accessibility bus", lambda: next(
        (a for a in desktop if a is not None and a.name == "ui_screens"), None))
    app.set_cache_mask(pyatspi.Atspi.Cache.NONE)  # every question goes to the program
    problems, walked = [], []
    while name := screens.stdout.readline().strip():
        window = await_condition(f"window of {name}", lambda: next(
            (w for w in app if w is not None and w.getState().contains(pyatspi.STATE_SHOWING)),
            None))
        found = check(name, window, pyatspi) if name in SCREENS else [f"{name}: not in the table"]
        print(f"{'FAIL' if found else 'ok'}: {name}", flush=True)
        problems += found
        walked.append(name)
        screens.stdin.write("next\n")
        screens.stdin.flush()
    screens.stdin.close()
    if screens.wait(timeout=60) != 0:
        problems.append(f"ui_screens ended with status {screens.returncode}")
    problems += [f"{name}: not shown" for name in SCREENS.keys() - set(walked)]
    print("\n".join(problems))
    return 1 if problems else 0


def main():
    if os.environ.get("QE_WALK_BUS"):
        return walk(sys.argv[1])
    # A display and a runtime folder of the walk's own, then the walk on a private session bus
    # whose activated services (the accessibility bus launcher, its registry) inherit them.
    with tempfile.TemporaryDirectory() as runtime:
        read_end, write_end = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                                 "1280x1024x24", "-nolisten", "tcp", "-noreset"], pass_fds=(write_end,),
                                stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as display:
            number = display.readline().strip()
        try:
            env = dict(os.environ, DISPLAY=f":{number}", XDG_RUNTIME_DIR=runtime, QE_WALK_BUS="1")
            env.pop("WAYLAND_DISPLAY", None)
            return subprocess.run(["dbus-run-session", "--", sys.executable, *sys.argv],
                                  env=env, check=False).returncode
        finally:
            xvfb.terminate()
            xvfb.wait()


if __name__ == "__main__":
    sys.exit(main())
