#!/usr/bin/python3
"""The simulated handheld: runs the ARM program on an emulated StrongARM, its serial port on
a pty whose far end is the receiver, and plays the program's user.

usage: run_handheld_arm.py (PROGRAM.exe | --cab CABINET [--storage DIR]) --port PTY
           [--cancel-when-programming] [--base ADDRESS] [--answer BUTTON] [--withhold CALL]
           [--limit SECONDS]

With --cab it first plays the handheld's installer (installer.py): it installs the cabinet
into DIR, a folder that stands for the handheld's storage (by default a temporary one), prints
what it installed, the shortcut's text and what Remove Programs lists, and takes the program
that the shortcut names.

It loads the program (at ADDRESS instead of its image base, relocated, with --base), runs it
to its message loop and prints what it made: the window's class and title, the cancel
event, the fonts, the buttons, the bar and the texts drawn. It then taps Start, prints the
status line each time it is drawn anew and the time line as it changes, with
--cancel-when-programming taps Cancel once "Programming..." is shown, waits for the run's
end (Start enabled again), prints the final status, the run's time and the instructions
executed, taps Close, and
exits with the program's exit code. A message box is printed and answered with its default
button, or with BUTTON (yes, no, ok, ...) where it has one. With --withhold the handheld
lacks CALL: the loader leaves its import slot 0, as the Windows CE 3.0 loader does.

Anything the handheld would not run (a call the stand-in lacks, an instruction the
StrongARM lacks, memory the program was not given) ends it with one line that starts with
"arm stand-in:", and exit code FAULT_EXIT.
"""
import argparse
import os
import sys
import tempfile
import time

# The stand-in runs from the source tree, which it leaves as it found it.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from c_library import CLibrary  # noqa: E402
from installer import InstallRefused, host_path, install, shortcut_target  # noqa: E402
from kernel import Kernel  # noqa: E402
from loader import LoadRefused, load_program  # noqa: E402
from processor import ProgramFault, Processor  # noqa: E402
from serial_port import SerialPorts  # noqa: E402
from setup_file import SetupRefused  # noqa: E402
from windows import DEFAULT_FONT, WindowManager  # noqa: E402

FAULT_EXIT = 70
SLEEVE_PORT = "COM5:"
SHOW_NORMAL = 5  # SW_SHOW, as the handheld's shell starts a program
DEFAULT_LIMIT_S = 600

# Where the program draws its status line (in default-font lines, two of them for a text
# too wide for one), and the texts the user goes by.
STATUS_ROW = 7
TIME_PREFIX = "Time remaining"
START_TEXT = "Start"
CANCEL_TEXT = "Cancel"
PROGRAMMING_TEXT = "Programming..."


def colour_name(colour):
    """A COLORREF (0x00bbggrr) as red, green and blue."""
    return "rgb(%d, %d, %d)" % (colour & 0xFF, colour >> 8 & 0xFF, colour >> 16 & 0xFF)


class User:
    """Plays the program's user: looks at the window after each paint and when the
    program's main thread has nothing to do, and taps as its options say."""

    def __init__(self, options, cpu):
        self.options = options
        self.cpu = cpu
        self.windows = None
        self.kernel = None
        self.begun = time.monotonic()
        self.state = "starting"
        self.main = self.start = self.close = self.bar = None
        self.status = None
        self.time_line = None
        self.run_began = None
        self.instructions_before = 0
        self.start_disabled = False
        self.cancelled = False
        self.highest_position = 0

    def say(self, text):
        print("[%7.2f s] %s" % (time.monotonic() - self.begun, text), flush=True)

    def status_line(self):
        rows = (STATUS_ROW * DEFAULT_FONT.cell_height, (STATUS_ROW + 1) * DEFAULT_FONT.cell_height)
        parts = [t.text for (x, y), t in sorted(self.main.texts.items(), key=lambda i: i[0][::-1])
                 if y in rows]
        return " ".join(parts)

    def time_text(self):
        return " ".join(t.text for t in self.main.texts.values()
                        if t.text.startswith(TIME_PREFIX))

    def painted(self, window):
        if window is not self.main or self.state == "starting":
            return
        status = self.status_line()
        if status != self.status:
            self.status = status
            self.say("status: %s" % status)
        time_text = self.time_text()
        if time_text != self.time_line:
            self.time_line = time_text
            self.say("time line: %s" % (time_text or "(empty)"))
        if (self.options.cancel_when_programming and not self.cancelled
                and status == PROGRAMMING_TEXT and self.close.text == CANCEL_TEXT):
            self.cancelled = True
            self.say('tap "%s"' % self.close.text)
            self.windows.click(self.close)

    def describe(self):
        main = self.main
        self.say('window: class "%s", title "%s", %d x %d at (%d, %d)'
                 % (main.window_class.name, main.text, main.rect[2], main.rect[3], *main.rect[:2]))
        for name, event in self.kernel.events.items():
            self.say('event: "%s", %s reset, %s' % (name, "manual" if event.manual_reset
                                                   else "auto",
                                                   "set" if event.signalled else "not set"))
        for kind, font in self.windows.objects.values():
            if kind == "font" and font is not DEFAULT_FONT:
                self.say('font: "%s", lfHeight %d, lfWeight %d' % (font.face, font.height,
                                                                   font.weight))
        for child in main.children:
            where = "at (%d, %d) %d x %d" % child.rect
            if child is self.bar:
                self.say("progress bar: %s, range %d-%d, position %d"
                         % ((where,) + child.bar_range + (child.bar_position,)))
            else:
                self.say('button: "%s" %s, %s' % (child.text, where,
                                                  "enabled" if child.enabled else "disabled"))
        for (x, y), text in sorted(main.texts.items(), key=lambda i: i[0][::-1]):
            self.say('drawn: (%d, %d) "%s" in %s %d, %s'
                     % (x, y, text.text, text.font.face, text.font.height,
                        colour_name(text.colour)))

    def idle(self):
        if self.bar is not None:
            self.highest_position = max(self.highest_position, self.bar.bar_position)
        if self.state == "starting":
            self.main = self.windows.top_level()[0]
            for child in self.main.children:
                if child.window_class.control == "progress":
                    self.bar = child
                elif child.text == START_TEXT:
                    self.start = child
                else:
                    self.close = child
            self.describe()
            self.state = "running"
            self.status = self.status_line()
            self.time_line = self.time_text()
            self.say('tap "%s"' % self.start.text)
            self.run_began = time.monotonic()
            self.instructions_before = self.cpu.instructions
            self.windows.click(self.start)
        elif self.state == "running":
            if not self.start.enabled:
                self.start_disabled = True
            else:
                self.finish_run()

    def finish_run(self):
        if not self.start_disabled:
            self.say("Start started no run")
        run_s = time.monotonic() - self.run_began
        self.say("final status: %s" % self.status_line())
        self.say("run: %.2f s from the tap on Start until Start was enabled again" % run_s)
        self.say("progress bar: highest position %d" % self.highest_position)
        self.say("idle timer resets: %d" % self.kernel.idle_timer_resets)
        self.say("instructions executed: %d during the run, %d since the program started"
                 % (self.cpu.instructions - self.instructions_before, self.cpu.instructions))
        self.state = "closing"
        self.say('tap "%s"' % self.close.text)
        self.windows.click(self.close)

    def message_box(self, caption, text, buttons, default, how):
        answer = self.options.answer if self.options.answer in buttons else default
        self.say('message box "%s" (%s): %s [%s] answered %s'
                 % (caption, how, text, "/".join(buttons), answer))
        return answer


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("program", nargs="?")
    parser.add_argument("--cab", help="install this cabinet and start the program that its "
                        "shortcut names")
    parser.add_argument("--storage", help="the folder that stands for the handheld's storage")
    parser.add_argument("--port", required=True, help="the pty that is the sleeve's COM5:")
    parser.add_argument("--cancel-when-programming", action="store_true")
    parser.add_argument("--base", type=lambda text: int(text, 0),
                        help="load the program here instead of at its image base")
    parser.add_argument("--answer", help="the button that answers a message box")
    parser.add_argument("--withhold", metavar="CALL",
                        help="leave this call's import slot 0, as if the handheld lacked it")
    parser.add_argument("--limit", type=float, default=DEFAULT_LIMIT_S,
                        help="end the emulation after this many seconds")
    options = parser.parse_args()
    if (options.program is None) == (options.cab is None):
        parser.error("give either a program or --cab")
    return options


def install_from_cabinet(options, storage, user):
    """Installs the cabinet as the handheld's installer does; returns the program that its
    shortcut names, as the handheld's path and where it lies here."""
    installed = install(options.cab, storage)
    for path in installed.files:
        user.say('installed "%s"' % path)
    for path in installed.shortcuts:
        with open(host_path(storage, path), "rb") as shortcut:
            user.say('shortcut "%s": %s' % (path, shortcut.read().decode("latin-1")))
    user.say('Remove Programs lists "%s"' % installed.listing)
    if len(installed.shortcuts) != 1:
        raise InstallRefused("the cabinet made %d shortcuts; the user taps one"
                             % len(installed.shortcuts))
    program = shortcut_target(storage, installed.shortcuts[0])
    user.say('start "%s" from the shortcut' % program)
    return program, host_path(storage, program)


def main():
    options = parse_arguments()
    with tempfile.TemporaryDirectory() as scratch:
        return run(options, options.storage or scratch)


def run(options, storage):
    cpu = Processor()
    user = User(options, cpu)
    try:
        name, path = options.program, options.program
        if options.cab:
            name, path = install_from_cabinet(options, storage, user)
        program = load_program(cpu.memory, path, options.base)
        kernel = Kernel(cpu, program, SLEEVE_PORT)
        windows = WindowManager(cpu, kernel, program, user)
        user.kernel, user.windows = kernel, windows
        ports = SerialPorts(cpu, kernel, SLEEVE_PORT, options.port, user.say)
        cpu.bind(program.imports, [kernel, windows, ports, CLibrary(cpu)], options.withhold)
        user.say("program: %s, 0x%x bytes at 0x%08x, entry 0x%08x, %d imports"
                 % (name, program.size, program.base, program.entry, len(program.imports)))
        windows.main_thread = cpu.start_process(program.entry, program.base, "", SHOW_NORMAL,
                                                program.stack_reserve)
        code = cpu.run(options.limit)
    except (InstallRefused, SetupRefused, LoadRefused, ProgramFault) as fault:
        print("arm stand-in: %s" % fault, file=sys.stderr, flush=True)
        return FAULT_EXIT
    user.say("the program ended with exit code %d" % code)
    return code


if __name__ == "__main__":
    sys.exit(main())
