#!/usr/bin/env python3
"""Times the real vaultry executable on a large vault under a virtual X server.

For each run the executable is copied into a fresh folder beside a copy of the store, started
with TZ unset, and timed from the start until its main window is mapped; after a pause it gets
SIGTERM, which saves the store and ends the program, and is timed until it has exited. Peak
memory comes from /usr/bin/time -v. The saved store must equal the one loaded, byte for byte.

    bench/time_program.py --build build/h-perf --entries 100000 --categories 50 --runs 3

Stores are made by bench_window (in the same build) and cached as bench_window caches them.
Needs Xvfb, /usr/bin/time and libX11.
"""
import argparse
import ctypes
import filecmp
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

STORE = "settings2.vydat"


class XWindowAttributes(ctypes.Structure):
    _fields_ = [
        ("x", ctypes.c_int), ("y", ctypes.c_int), ("width", ctypes.c_int), ("height", ctypes.c_int),
        ("border_width", ctypes.c_int), ("depth", ctypes.c_int), ("visual", ctypes.c_void_p),
        ("root", ctypes.c_ulong), ("class_", ctypes.c_int), ("bit_gravity", ctypes.c_int),
        ("win_gravity", ctypes.c_int), ("backing_store", ctypes.c_int), ("backing_planes", ctypes.c_ulong),
        ("backing_pixel", ctypes.c_ulong), ("save_under", ctypes.c_int), ("colormap", ctypes.c_ulong),
        ("map_installed", ctypes.c_int), ("map_state", ctypes.c_int), ("all_event_masks", ctypes.c_long),
        ("your_event_mask", ctypes.c_long), ("do_not_propagate_mask", ctypes.c_long),
        ("override_redirect", ctypes.c_int), ("screen", ctypes.c_void_p),
    ]


IS_VIEWABLE = 2


class Display:
    """The few Xlib calls needed to see whether a window with a given title is mapped."""

    def __init__(self, name):
        self.x = ctypes.CDLL("libX11.so.6")
        self.x.XOpenDisplay.restype = ctypes.c_void_p
        self.x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        self.x.XDefaultRootWindow.restype = ctypes.c_ulong
        self.x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        self.x.XQueryTree.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong),
                                      ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.POINTER(ctypes.c_ulong)),
                                      ctypes.POINTER(ctypes.c_uint)]
        self.x.XFetchName.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_char_p)]
        self.x.XGetWindowAttributes.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(XWindowAttributes)]
        self.x.XFree.argtypes = [ctypes.c_void_p]
        self.display = self.x.XOpenDisplay(name.encode())
        if not self.display:
            raise RuntimeError("cannot open display " + name)
        self.root = self.x.XDefaultRootWindow(self.display)

    def viewable_titled(self, prefix):
        root = ctypes.c_ulong()
        parent = ctypes.c_ulong()
        children = ctypes.POINTER(ctypes.c_ulong)()
        count = ctypes.c_uint()
        if not self.x.XQueryTree(self.display, self.root, ctypes.byref(root), ctypes.byref(parent),
                                 ctypes.byref(children), ctypes.byref(count)):
            return False
        found = False
        for i in range(count.value):
            name = ctypes.c_char_p()
            if self.x.XFetchName(self.display, children[i], ctypes.byref(name)) and name.value:
                title = name.value
                self.x.XFree(name)
                if title.startswith(prefix):
                    attributes = XWindowAttributes()
                    self.x.XGetWindowAttributes(self.display, children[i], ctypes.byref(attributes))
                    found = attributes.map_state == IS_VIEWABLE
                    if found:
                        break
        if children:
            self.x.XFree(children)
        return found


def start_xvfb():
    read_end, write_end = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24",
                               "-nolisten", "tcp"], pass_fds=[write_end], stderr=subprocess.DEVNULL)
    os.close(write_end)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(read_end, 16)
        if not chunk:
            raise RuntimeError("Xvfb did not start")
        number += chunk
    os.close(read_end)
    return server, ":" + number.decode().strip()


def cached_store(build, cache, entries, categories):
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    found = subprocess.run([os.path.join(build, "bench", "bench_window"), "--store-path", "--cache", cache,
                            "--entries", str(entries), "--categories", str(categories)],
                           check=True, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    return found.stdout.strip()


def child_pid(pid):
    for _ in range(1000):
        try:
            with open("/proc/%d/task/%d/children" % (pid, pid)) as children:
                listed = children.read().split()
            if listed:
                return int(listed[0])
        except OSError:
            pass
        time.sleep(0.001)
    raise RuntimeError("the program did not start")


def run_once(executable, store, display, pause):
    with tempfile.TemporaryDirectory() as folder:
        program = os.path.join(folder, "vaultry")
        shutil.copy2(executable, program)
        shutil.copyfile(store, os.path.join(folder, STORE))
        os.sync()
        env = {k: v for k, v in os.environ.items() if k not in ("TZ", "QT_QPA_PLATFORM")}
        env["DISPLAY"] = display
        report = os.path.join(folder, "time.txt")
        x = Display(display)
        started = time.monotonic()
        timer = subprocess.Popen(["/usr/bin/time", "-v", "-o", report, program], env=env,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        while not x.viewable_titled(b"Vaultry v"):
            if timer.poll() is not None:
                raise RuntimeError("the program ended before showing its window")
            time.sleep(0.002)
        shown = time.monotonic() - started
        time.sleep(pause)
        pid = child_pid(timer.pid)
        closing = time.monotonic()
        os.kill(pid, signal.SIGTERM)
        code = timer.wait()
        closed = time.monotonic() - closing
        peak_kb = 0
        with open(report) as lines:
            for line in lines:
                if "Maximum resident set size" in line:
                    peak_kb = int(line.split(":")[1])
        unchanged = filecmp.cmp(store, os.path.join(folder, STORE), shallow=False)
        # GNU time reports kibibytes: MiB, like the store's size below.
        return shown, closed, peak_kb / 1024.0, code, unchanged


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build/h-perf")
    parser.add_argument("--entries", type=int, default=100000)
    parser.add_argument("--categories", type=int, default=50)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--pause", type=float, default=1.0, help="seconds between the window and SIGTERM")
    parser.add_argument("--cache", default=os.path.join(tempfile.gettempdir(), "vaultry-bench"))
    args = parser.parse_args()

    executable = os.path.join(args.build, "vaultry")
    store = cached_store(args.build, args.cache, args.entries, args.categories)
    empty = cached_store(args.build, args.cache, 0, 1)
    size_mb = os.path.getsize(store) / (1024.0 * 1024.0)
    server, display = start_xvfb()
    try:
        base = [run_once(executable, empty, display, args.pause)[2] for _ in range(2)]
        runs = [run_once(executable, store, display, args.pause) for _ in range(args.runs)]
    finally:
        server.terminate()
        server.wait()
    base_mb = min(base)
    print("%d entries, %d categories, store %.1f MiB; empty vault peak %.1f MiB" %
          (args.entries, args.categories, size_mb, base_mb))
    for shown, closed, peak, code, unchanged in runs:
        print("  start to window %7.0f ms   close to exit %7.0f ms   peak %7.1f MiB (rise %.2f x store)"
              "   exit %d   store unchanged: %s" %
              (shown * 1000, closed * 1000, peak, (peak - base_mb) / size_mb, code, "yes" if unchanged else "NO"))
    print("  median: start %.0f ms, close %.0f ms, peak rise %.1f MiB = %.2f x store" % (
        statistics.median(r[0] for r in runs) * 1000, statistics.median(r[1] for r in runs) * 1000,
        statistics.median(r[2] for r in runs) - base_mb, (statistics.median(r[2] for r in runs) - base_mb) / size_mb))
    return 0 if all(r[3] == 0 and r[4] for r in runs) else 1


if __name__ == "__main__":
    sys.exit(main())
