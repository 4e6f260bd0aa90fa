"""Runs programs under Wine and drives their windows through uidriver.exe.

A test starts a package with `Wine.start`, then describes the windows it
expects, in order, with `Run.script([...])`. Every top-level window of the
package's process is pictured (PNG) and matched against the next step; a
window that does not match (an error box, say) fails the test with its title
and text.
"""
import os
import re
import select
import signal
import subprocess
import time
from dataclasses import dataclass, field

IDOK, IDCANCEL, IDYES, IDNO = 1, 2, 6, 7
# The module's exit codes: everything extracted, a failure, the user's cancel.
# Wine hands a Windows exit code to Linux in 8 bits: 1223 is seen as 199.
EXIT_OK, EXIT_FAILED, EXIT_CANCELLED = 0, 1, 1223
VK_ESCAPE = 0x1B
LOCALES = {"en": "en_US.UTF-8", "ja": "ja_JP.UTF-8"}
# Dialogs that come and go on their own while a package works: the progress
# window (by its titles) and the untitled integrity check (by its progress
# bar). `Run.script` and `Run.expect_end` picture them when they see them but
# neither wait for nor answer them, unless a step names one.
TRANSIENT_TITLES = ("Decompressing...", "進捗状況")
CHECK_TEXTS = ("CRC checking...", "CRC をチェックしています...")  # the untitled integrity check
# Every wait of the tests is stretched by this factor where Wine runs slower
# than on a real machine (tests/e2e/vm.sh sets it for its emulated one).
SLOWDOWN = float(os.environ.get("CABSFX_E2E_SLOWDOWN", "1"))


def deadline_after(seconds):
    return time.monotonic() + seconds * SLOWDOWN


class WindowFailure(AssertionError):
    pass


def unescape(text):
    return re.sub(r"\\(.)", lambda m: {"n": "\n", "t": "\t", "r": "\r"}.get(m.group(1), m.group(1)),
                  text)


def escape(text):
    return text.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n").replace("\r", "\\r")


def windows_path(path):
    """Z: is the Linux root in every prefix."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


@dataclass
class Window:
    hwnd: str
    pid: int
    image: str
    klass: str
    title: str


@dataclass
class Control:
    id: int
    klass: str
    style: int
    visible: bool
    text: str


class Driver:
    """uidriver.exe in serve mode: one process per prefix, commands by line."""

    def __init__(self, wine):
        self.wine = wine
        self.proc = None
        self.holding = False  # a file held open: the process must live on

    def _start(self):
        self.proc = subprocess.Popen(
            ["wine", self.wine.uidriver, "serve"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL, env=self.wine.env("en"), start_new_session=True)
        self._buffer = b""

    def stop(self):
        if self.proc and self.proc.poll() is None:
            try:
                self.proc.stdin.write(b"quit\n")
                self.proc.stdin.close()
                self.proc.wait(5)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()
        self.proc = None
        self.holding = False

    def _readline(self, deadline):
        while b"\n" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("uidriver did not answer")
            ready, _, _ = select.select([self.proc.stdout], [], [], left)
            if ready:
                chunk = os.read(self.proc.stdout.fileno(), 65536)
                if not chunk:
                    raise RuntimeError("uidriver ended")
                self._buffer += chunk
        line, self._buffer = self._buffer.split(b"\n", 1)
        return line.decode("utf-8", "replace")

    def call(self, *args, timeout=30):
        """Runs one command; returns its output lines (fields still escaped).
        Raises RuntimeError with the driver's message on failure."""
        if self.proc is None or self.proc.poll() is not None:
            self._start()
        line = "\t".join(escape(str(a)) for a in args) + "\n"
        self.proc.stdin.write(line.encode("utf-8"))
        self.proc.stdin.flush()
        deadline = deadline_after(timeout)
        lines = []
        while True:
            reply = self._readline(deadline)
            if reply == "=ok":
                return lines
            if reply.startswith("=err"):
                raise RuntimeError(f"uidriver {args[0]}: {reply[5:]}")
            lines.append(reply)

    def windows(self):
        result = []
        for line in self.call("windows"):
            hwnd, pid, image, klass, title = line.split("\t")
            result.append(Window(hwnd, int(pid), unescape(image), unescape(klass), unescape(title)))
        return result

    def controls(self, hwnd):
        result = []
        for line in self.call("list", hwnd):
            cid, klass, style, visible, text = line.split("\t")
            result.append(Control(int(cid), unescape(klass), int(style, 16), visible == "1",
                                  unescape(text)))
        return result

    def text(self, hwnd, control_id):
        return unescape(self.call("text", hwnd, control_id)[0])

    def settext(self, hwnd, control_id, text):
        self.call("settext", hwnd, control_id, text)

    def click(self, hwnd, control_id):
        self.call("click", hwnd, control_id)

    def check(self, hwnd, control_id, state):
        self.call("check", hwnd, control_id, 1 if state else 0)

    def key(self, hwnd, vk):
        self.call("key", hwnd, vk)

    def close(self, hwnd):
        self.call("close", hwnd)

    def hold(self, windows_file):
        """Keeps the file open with no sharing until `release`."""
        self.call("hold", windows_file)
        self.holding = True

    def release(self):
        self.call("release")
        self.holding = False

    def shot(self, hwnd, png_path):
        os.makedirs(os.path.dirname(png_path), exist_ok=True)
        self.call("shot", hwnd, windows_path(png_path))


class Wine:
    """One prefix (win64 or win32) of the run."""

    def __init__(self, prefix, arch, build, uidriver):
        self.prefix = prefix
        self.arch = arch
        self.build = build
        self.uidriver = uidriver
        self.drive_c = os.path.join(prefix, "drive_c")
        self.driver = Driver(self)

    def env(self, lang):
        env = dict(os.environ)
        env.update(WINEPREFIX=self.prefix, WINEDEBUG="-all", LC_ALL=LOCALES[lang], LANG=LOCALES[lang])
        env.pop("LANGUAGE", None)
        return env

    def c_path(self, *parts):
        """Linux path under drive_c."""
        return os.path.join(self.drive_c, *parts)

    def win_path(self, linux_path):
        """Windows name of a Linux path: C:\\... under drive_c, else Z:\\..."""
        path = os.path.abspath(linux_path)
        if path.startswith(self.drive_c + "/") or path == self.drive_c:
            return "C:" + (path[len(self.drive_c):].replace("/", "\\") or "\\")
        return windows_path(path)

    def start(self, exe, args=(), lang="en", pictures=None):
        """Starts `exe` (a Linux path) under Wine. `args` is the argument
        text, or a list of pieces joined by spaces, taken as they are
        (quotes included).
        The driver starts afresh for each run: Wine ends its desktop process
        when no program has windows left, the next program starts a new one,
        and a driver that was running already would still list the old
        desktop's windows, none. A driver that holds a file open stays."""
        if not self.driver.holding:
            self.driver.stop()
        return Run(self, exe, args, lang, pictures)

    def kill_all(self):
        """Ends every process of the prefix (the driver restarts on its next use)."""
        self.driver.stop()
        subprocess.run(["wineserver", "-k"], env=self.env("en"), timeout=30)
        subprocess.run(["wineserver", "-w"], env=self.env("en"), timeout=30)


@dataclass
class Step:
    """One expected window: its title (and class), text fragments that must
    all appear in it, and the actions that answer it. `actions` is a list of
    callables (driver, hwnd) -> None, usually from `press`, `type_text`...
    Unless `stays`, the window must disappear after the last action."""
    title: str
    texts: list = field(default_factory=list)
    actions: list = field(default_factory=list)
    klass: str = "#32770"
    stays: bool = False
    check: object = None  # callable(driver, hwnd, seen: SeenWindow) for extra asserts


@dataclass
class SeenWindow:
    hwnd: str
    title: str
    klass: str
    controls: list
    picture: str

    @property
    def text(self):
        return "\n".join(c.text for c in self.controls if c.text)

    def control_text(self, control_id):
        for c in self.controls:
            if c.id == control_id:
                return c.text
        raise KeyError(control_id)


def press(button_id):
    return lambda driver, hwnd: driver.click(hwnd, button_id)


def type_text(control_id, text):
    return lambda driver, hwnd: driver.settext(hwnd, control_id, text)


def set_check(control_id, state):
    return lambda driver, hwnd: driver.check(hwnd, control_id, state)


def escape_key():
    return lambda driver, hwnd: driver.key(hwnd, VK_ESCAPE)


def close_window():
    return lambda driver, hwnd: driver.close(hwnd)


def message_box(title, *texts, answer=IDOK):
    return Step(title=title, texts=list(texts), actions=[press(answer)])


class Run:
    """A program running under Wine, with the windows it has shown."""

    def __init__(self, wine, exe, args, lang, pictures):
        self.wine = wine
        self.image = os.path.basename(exe).lower()
        self.pictures = pictures
        self.seen = []
        self._handled = set()
        self._count = 0
        # The driver starts the program with this exact command line text.
        text = args if isinstance(args, str) else " ".join(args)
        command_line = f'"{wine.win_path(exe)}"' + (f" {text}" if text else "")
        self.proc = subprocess.Popen(["wine", wine.uidriver, "exec", command_line], env=wine.env(lang),
                                     cwd=os.path.dirname(exe), stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, start_new_session=True)

    @property
    def driver(self):
        return self.wine.driver

    def running(self):
        return self.proc.poll() is None

    def own_windows(self):
        return [w for w in self.driver.windows() if w.image.lower() == self.image]

    def _new_window(self):
        for w in self.own_windows():
            if w.hwnd not in self._handled:
                return w
        return None

    def _describe(self, w):
        """Title, controls and a picture of a window, recorded in `seen`."""
        time.sleep(0.2)  # let the owner finish WM_INITDIALOG and paint
        title = w.title
        try:
            controls = self.driver.controls(w.hwnd)
        except RuntimeError:  # it closed meanwhile
            controls = []
        picture = ""
        if self.pictures:
            self._count += 1
            slug = re.sub(r"[^\w]+", "-", title).strip("-") or "window"
            picture = os.path.join(self.pictures, f"{self._count:02d}-{slug}.png")
            try:
                self.driver.shot(w.hwnd, picture)
            except RuntimeError:
                picture = ""
        seen = SeenWindow(w.hwnd, title, w.klass, controls, picture)
        self.seen.append(seen)
        return seen

    def _transient(self, seen):
        """A window that closed before it could be read counts too: nothing
        that waits for an answer does that. An untitled message box does not.
        The untitled integrity-check window may be caught with its text
        line alone (its bar not yet made, or already gone), or while it is
        destroyed, its controls already without text: gone once read."""
        if not seen.klass:  # gone before even its class was read
            return True
        if seen.klass != "#32770":
            return False
        if seen.title in TRANSIENT_TITLES or not seen.controls:
            return True
        if seen.title == "" and any(c.klass.lower() == "msctls_progress32" or
                                    c.text in CHECK_TEXTS for c in seen.controls):
            return True
        return all(w.hwnd != seen.hwnd for w in self.own_windows())

    @staticmethod
    def matches(seen, step):
        return seen.title == step.title and seen.klass == step.klass and \
            all(t in seen.text for t in step.texts)

    def _fail(self, message):
        # What else was on the screen helps to tell a hang from a stray window.
        try:
            others = [f"'{w.title}' ({w.klass}, {w.image})" for w in self.driver.windows()]
            message += f"; visible windows: {', '.join(others) or 'none'}"
            if self.pictures:
                screen = os.path.join(self.pictures, "failure-screen.png")
                self.driver.shot("desktop", screen)
                message += f"; screen: {screen}"
        except (RuntimeError, TimeoutError, OSError):
            pass
        self.kill()
        raise WindowFailure(message)

    def next_window(self, timeout):
        """Waits for a window of the process not seen before; None when the
        process ended first or the time ran out."""
        deadline = deadline_after(timeout)
        while time.monotonic() < deadline:
            w = self._new_window()
            if w:
                self._handled.add(w.hwnd)
                return self._describe(w)
            if not self.running():
                # One last look: a window may have flashed up as it ended.
                return None
            time.sleep(0.1)
        return None

    def script(self, steps, timeout=30, end=True, end_timeout=30, exit_code=0):
        """Answers the expected windows in order; fails on any other window,
        on a missing one, and (with `end`) when the process does not end
        with `exit_code`."""
        for index, step in enumerate(steps):
            seen = self.next_window(timeout)
            while seen is not None and not self.matches(seen, step) and self._transient(seen):
                seen = self.next_window(timeout)
            if seen is None:
                state = "ended" if not self.running() else "is still running"
                got = "; ".join(f"'{s.title}'" for s in self.seen) or "none"
                self._fail(f"step {index + 1}: expected window '{step.title}', but the process "
                           f"{state} (windows seen: {got})")
            if not self.matches(seen, step):
                self._fail(f"unexpected window '{seen.title}' ({seen.klass}) at step {index + 1}, "
                           f"expected '{step.title}' with {step.texts!r}; its text: {seen.text!r}"
                           + (f"; picture {seen.picture}" if seen.picture else ""))
            if step.check:
                try:
                    step.check(self.driver, seen.hwnd, seen)
                except AssertionError:
                    self.kill()
                    raise
            for action in step.actions:
                action(self.driver, seen.hwnd)
            if not step.stays:
                self._wait_gone(seen)
        if end:
            self.expect_end(end_timeout, exit_code)
        return self.seen

    def _wait_gone(self, seen, timeout=10):
        deadline = deadline_after(timeout)
        while time.monotonic() < deadline:
            if all(w.hwnd != seen.hwnd for w in self.own_windows()):
                return
            time.sleep(0.05)
        self._fail(f"window '{seen.title}' did not close after its actions")

    def expect_end(self, timeout=30, exit_code=0):
        """The process must end within `timeout` without showing a window,
        with `exit_code`."""
        deadline = deadline_after(timeout)
        while time.monotonic() < deadline:
            w = self._new_window()
            if w:
                self._handled.add(w.hwnd)
                seen = self._describe(w)
                if self._transient(seen):
                    continue
                self._fail(f"unexpected window '{seen.title}' ({seen.klass}): {seen.text!r}"
                           + (f"; picture {seen.picture}" if seen.picture else ""))
            if not self.running():
                assert self.proc.returncode == exit_code & 0xFF, \
                    f"exit code {self.proc.returncode}, expected {exit_code} & 0xFF"
                return
            time.sleep(0.1)
        self._fail(f"the process did not end within {timeout} s")

    def kill(self):
        """Ends the process (and whatever else runs in the prefix)."""
        if self.running():
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.wine.kill_all()
            self.proc.wait(10)
