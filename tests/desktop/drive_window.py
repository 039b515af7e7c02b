"""Drives the desktop application through its accessibility tree, as a person
would: the image given, a loop device attached while the window is open
appearing in the disk list, chosen, Write pressed, the confirmation naming the
disk, the write confirmed and shown verified (the disk's bytes then compared
with the image), and the device gone from the list once detached. Screenshots of each
screen go to the given directory."""

import os
import subprocess
import sys
import tempfile
import time

import pyatspi

APP, HELPER, SHOTS, SIZE = sys.argv[1:5]
TIMEOUT = 60.0


APP_PROCESS = None


def wait_for(what, condition):
    """Polls the condition until it holds; generous, since the machine is shared."""
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        if APP_PROCESS is not None and APP_PROCESS.poll() is not None:
            raise SystemExit(f"FAILED: the application ended ({APP_PROCESS.returncode}) "
                             f"while waiting for {what}")
        value = condition()
        if value:
            return value
        time.sleep(0.1)
    shot("timed-out")
    raise SystemExit(f"FAILED: timed out waiting for {what}")


def nodes(root):
    stack = [root]
    while stack:
        node = stack.pop()
        if node is None:
            continue
        yield node
        try:
            stack.extend(node[i] for i in range(node.childCount))
        except Exception:  # a node that went away while the tree was read
            continue


def find(root, role, name_part):
    for node in nodes(root):
        try:
            # A closed dialog's buttons may linger in the tree with no size.
            if node.getRole() == role and name_part in node.name and (
                    role != pyatspi.ROLE_PUSH_BUTTON
                    or node.queryComponent().getExtents(pyatspi.WINDOW_COORDS).width > 0):
                return node
        except Exception:
            continue
    return None


def texts(root):
    found = []
    for node in nodes(root):
        try:
            if node.getRole() == pyatspi.ROLE_LABEL:
                found.append(node.name)
        except Exception:
            continue
    return found


def application():
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        child = desktop[i]
        if child is not None and child.name == "ravik-device-writer":
            return child
    return None


def gone(node):
    """True once the node left the screen (or the tree)."""
    try:
        state = node.getState()
        return state.contains(pyatspi.STATE_DEFUNCT) or not state.contains(pyatspi.STATE_SHOWING)
    except Exception:
        return True


def shot(name):
    path = os.path.join(SHOTS, f"{name}-{SIZE}.png")
    subprocess.run(["import", "-window", "root", path], check=True)
    print("screenshot", path)


def press(node):
    """Clicks the widget, as a person would (GTK's check boxes and dialog
    buttons do not all answer an accessible action). Without a window
    manager every window lies at the screen's origin."""
    extents = node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    print("click", node.name, extents.x, extents.y, extents.width, extents.height)
    pyatspi.Registry.generateMouseEvent(extents.x + extents.width // 2,
                                        extents.y + extents.height // 2,
                                        pyatspi.MOUSE_B1C)


def main():
    work = tempfile.mkdtemp()
    image = os.path.join(work, "stick.img")
    with open(image, "wb") as out:
        out.write(os.urandom(4 << 20))
    backing = os.path.join(work, "disk.bin")
    with open(backing, "wb") as out:
        out.truncate(16 << 20)
    loop = None
    global APP_PROCESS
    app = subprocess.Popen([APP, "--helper", HELPER, "--loop-devices", "--window-size", SIZE,
                            image])
    APP_PROCESS = app
    try:
        root = wait_for("the application on the accessibility bus", application)
        wait_for("the image's name", lambda: any("stick.img (raw, 4.2 MB)" in t
                                                 for t in texts(root)))
        shot("image-chosen")

        loop = subprocess.run(["losetup", "--find", "--show", backing], check=True,
                              capture_output=True, text=True).stdout.strip()
        disk = wait_for(f"{loop} in the disk list",
                        lambda: find(root, pyatspi.ROLE_CHECK_BOX, f"({loop}, loop)"))
        write = find(root, pyatspi.ROLE_PUSH_BUTTON, "Write")
        assert write is not None, "no Write button"
        assert not write.getState().contains(pyatspi.STATE_SENSITIVE), \
            "Write offered before a disk was chosen"
        press(disk)
        wait_for("Write offered", lambda: write.getState().contains(pyatspi.STATE_SENSITIVE))
        shot("disks")
        width, height = (int(n) for n in SIZE.split("x"))
        box = write.queryComponent().getExtents(pyatspi.WINDOW_COORDS)
        assert box.x + box.width <= width and box.y + box.height <= height, \
            f"Write lies outside the {SIZE} screen: {box.x},{box.y} {box.width}x{box.height}"

        press(write)
        dialog = wait_for("the confirmation",
                          lambda: find(root, pyatspi.ROLE_PUSH_BUTTON, "Erase and Write"))
        body = wait_for("the confirmation naming the disk",
                        lambda: [t for t in texts(root) if loop in t and "erased" not in t])
        print("confirmation names", body)
        shot("confirmation")
        # Confirmed: the job runs and the disk's row ends verified.
        press(dialog)
        wait_for("the confirmation closed", lambda: gone(dialog))
        result = wait_for("verified", lambda: [t for t in texts(root)
                                               if t.startswith(f"{loop}: verified")])
        print("result", result)
        shot("result")
        # The helper's release may detach the loop device: its backing file
        # holds what reached the disk either way.
        with open(image, "rb") as source, open(backing, "rb") as target:
            written = source.read()
            assert target.read(len(written)) == written, "the disk does not hold the image"

        if os.path.basename(loop) in os.listdir("/sys/block") and os.path.exists(
                f"/sys/block/{os.path.basename(loop)}/loop/backing_file"):
            subprocess.run(["losetup", "--detach", loop], check=True)
        detached, loop = loop, None
        wait_for(f"{detached} gone from the list",
                 lambda: find(root, pyatspi.ROLE_CHECK_BOX, f"({detached}, loop)") is None)
        wait_for("Write withdrawn",
                 lambda: not write.getState().contains(pyatspi.STATE_SENSITIVE))
        print("passed at", SIZE)
    finally:
        if loop:
            subprocess.run(["losetup", "--detach", loop], check=False)
        app.terminate()
        app.wait(timeout=30)
        for name in os.listdir(work):
            os.unlink(os.path.join(work, name))
        os.rmdir(work)


main()
