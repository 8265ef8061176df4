"""The handheld's window manager and graphics, as a model of what the program uses.

Windows. The program's classes have their procedures called on the emulated processor, on
the window's own thread: at once for a send from that thread (also CreateWindowExW's
WM_CREATE and BeginPaint's WM_ERASEBKGND), from the owner's GetMessageW, PeekMessageW or
message wait for a send from another thread, which waits for the answer. Each thread has
its queue: messages sent to it, then posted ones, then input (a click: the enabled window
under the point gets the button's down and up), then WM_QUIT, then WM_PAINT for a window
with something invalid. "button" and "msctls_progress32" (registered by
InitCommonControls) are built in: a button sends its parent WM_COMMAND (its identifier,
BN_CLICKED; its handle) when clicked; the bar keeps its range and position.

Graphics. The screen is 240 x 320, the program's top-level window gets the 240 x 268 that
the task bar and the menu bar leave, at 96 logical pixels per inch. Fonts have a model
metric: a face em pixels high is em + em / 4 (rounded up) high, every character
AVERAGE_WIDTH of em wide; the window's default font is 10 pixels (a 13-pixel line, as the
handheld's). What is drawn is kept per window as the texts standing on it, each at its
origin with its font and colour: ExtTextOutW puts one where it meets the clip (a paint's
invalid rectangle), erasing and filled rectangles take away those they meet.

The observer (the driver) is told painted(window) after each EndPaint and idle() when the
main thread has nothing left to do; message_box(caption, text, buttons, default, how), how
saying the box's owner and icon, gives the button that answers a box.
"""
import math

from kernel import ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER
from processor import Callback, ProgramFault, Wait, commctrl, coredll

SCREEN_WIDTH, SCREEN_HEIGHT = 240, 320
WORK_AREA = (0, 26, 240, 268)  # x, y, width, height under the task bar, above the menu bar
LOGICAL_PIXELS_PER_INCH = 96
SCREEN_MILLIMETRES = (58, 77)
BITS_PER_PIXEL = 16
DEVICE_CAPS = {2: 1,  # TECHNOLOGY: a raster display
               4: SCREEN_MILLIMETRES[0], 6: SCREEN_MILLIMETRES[1], 8: SCREEN_WIDTH,
               10: SCREEN_HEIGHT, 12: BITS_PER_PIXEL, 14: 1,
               88: LOGICAL_PIXELS_PER_INCH, 90: LOGICAL_PIXELS_PER_INCH}
DEFAULT_FONT_EM = 10
AVERAGE_WIDTH = 0.45  # of the em
BOLD_WEIGHT = 600  # lfWeight from which a face is drawn bold, one pixel wider
CW_USEDEFAULT = 0x80000000
DEFAULT_CHARSET = 1
BLACK = 0x000000

WM_CREATE, WM_DESTROY, WM_SETTEXT, WM_PAINT, WM_CLOSE = 0x0001, 0x0002, 0x000C, 0x000F, 0x0010
WM_QUIT, WM_ERASEBKGND, WM_COMMAND = 0x0012, 0x0014, 0x0111
WM_LBUTTONDOWN, WM_LBUTTONUP = 0x0201, 0x0202
MK_LBUTTON = 1
BN_CLICKED = 0
PBM_SETRANGE, PBM_SETPOS = 0x0401, 0x0402
WS_CHILD, WS_VISIBLE = 0x40000000, 0x10000000
SW_HIDE = 0
PM_REMOVE = 1
QS_MOUSEBUTTON, QS_POSTMESSAGE, QS_PAINT, QS_SENDMESSAGE = 0x04, 0x08, 0x20, 0x40
ERROR_INVALID_WINDOW_HANDLE = 1400
ERROR_CANNOT_FIND_WND_CLASS = 1407
ERROR_CLASS_ALREADY_EXISTS = 1410
ERROR_ACCESS_DENIED = 5
ERROR_RESOURCE_NAME_NOT_FOUND = 1814
RT_ACCELERATOR, RT_GROUP_ICON = 9, 14
MB_TYPE_MASK, MB_DEFBUTTON_MASK, MB_DEFBUTTON_SHIFT = 0x0F, 0xF00, 8
MB_ICON_MASK = 0xF0
MESSAGE_BOX_ICONS = {0x00: "no icon", 0x10: "error icon", 0x20: "question icon",
                     0x30: "warning icon", 0x40: "information icon"}
MESSAGE_BOX_BUTTONS = {0: ["ok"], 1: ["ok", "cancel"], 2: ["abort", "retry", "ignore"],
                       3: ["yes", "no", "cancel"], 4: ["yes", "no"], 5: ["retry", "cancel"]}
BUTTON_IDS = {"ok": 1, "cancel": 2, "abort": 3, "retry": 4, "ignore": 5, "yes": 6, "no": 7}

# Stock objects: (kind, colour) by GetStockObject's index; their handles are fixed.
STOCK_OBJECTS = {0: ("brush", 0xFFFFFF), 1: ("brush", 0xC0C0C0), 2: ("brush", 0x808080),
                 3: ("brush", 0x404040), 4: ("brush", 0x000000), 5: ("brush", None),
                 6: ("pen", 0xFFFFFF), 7: ("pen", 0x000000), 8: ("pen", None),
                 13: ("font", None)}
STOCK_HANDLE_BASE = 0x00F00000
SYSTEM_FONT = 13
WHITE_BRUSH, BLACK_PEN = 0, 7

# Byte layouts the calls read and write.
WNDCLASS_WORDS = 10  # style, proc, class extra, window extra, instance, icon, cursor,
                     # background, menu name, class name
PAINTSTRUCT_BYTES = 64  # dc, erase, paint rectangle, restore, incremental update, reserved
LOGFONT_BYTES = 92
LOGFONT_FACE_OFFSET = 28
LF_FACESIZE = 32


def intersects(a, b):
    return a[0] < b[2] and b[0] < a[2] and a[1] < b[3] and b[1] < a[3]


def union(a, b):
    if a is None:
        return b
    return (min(a[0], b[0]), min(a[1], b[1]), max(a[2], b[2]), max(a[3], b[3]))


def signed(word):
    return word - (1 << 32) if word & 0x80000000 else word


class Font:
    def __init__(self, face, height, weight):
        self.face = face
        self.height = height  # as lfHeight: negative for the em, positive for the cell
        self.weight = weight
        em = (-height if height < 0 else round(height * 4 / 5) if height else DEFAULT_FONT_EM)
        self.em = em
        self.descent = math.ceil(em / 4)
        self.cell_height = em + self.descent
        self.char_width = round(em * AVERAGE_WIDTH) + (1 if weight >= BOLD_WEIGHT else 0)

    def width(self, text):
        return self.char_width * len(text)

    def text_metrics(self):
        words = [self.cell_height, self.em, self.descent, self.descent, 0, self.char_width,
                 2 * self.char_width, self.weight or 400, 0, LOGICAL_PIXELS_PER_INCH,
                 LOGICAL_PIXELS_PER_INCH]
        data = b"".join(w.to_bytes(4, "little") for w in words)
        data += b"".join(c.to_bytes(2, "little") for c in (0x20, 0xFFFC, 0x1F, 0x20))
        # Not italic, underlined or struck out; variable-pitch TrueType; the default set.
        return data + bytes([0, 0, 0, 0x06, DEFAULT_CHARSET]) + bytes(3)


DEFAULT_FONT = Font("Tahoma", -DEFAULT_FONT_EM, 400)


class Text:
    def __init__(self, x, y, text, font, colour):
        self.x, self.y, self.text, self.font, self.colour = x, y, text, font, colour
        self.cell = (x, y, x + font.width(text), y + font.cell_height)


class WindowClass:
    def __init__(self, name, procedure, background, control=None):
        self.name = name
        self.procedure = procedure  # the program's, or None for a built-in control
        self.background = background
        self.control = control


class Window:
    def __init__(self, handle, window_class, text, style, rect, parent, identifier, thread):
        self.handle = handle
        self.window_class = window_class
        self.text = text
        self.rect = rect  # x, y, width, height, in the parent's client area (or the screen's)
        self.parent = parent
        self.identifier = identifier
        self.thread = thread
        self.enabled = True
        self.visible = bool(style & WS_VISIBLE)
        self.invalid = None  # left, top, right, bottom
        self.erase = False
        self.texts = {}  # (x, y) -> Text
        self.children = []
        self.pressed = False  # a button between its down and up
        self.bar_range = (0, 100)
        self.bar_position = 0

    def client(self):
        return (0, 0, self.rect[2], self.rect[3])

    def erase_rect(self, rect):
        for origin in [o for o, t in self.texts.items() if intersects(t.cell, rect)]:
            del self.texts[origin]


class DeviceContext:
    def __init__(self, window, clip):
        self.window = window
        self.clip = clip
        self.state = {"font": None, "brush": None, "pen": None, "colour": BLACK}
        self.saved = []


class Queue:
    def __init__(self):
        self.sent = []  # [window, message, wParam, lParam, answer or None]
        self.posted = []  # (window handle, message, wParam, lParam)
        self.input = []  # (message, screen x, screen y)
        self.quit = None  # the exit code once PostQuitMessage has been called


class WindowManager:
    def __init__(self, processor, kernel, program, observer):
        self.cpu = processor
        self.memory = processor.memory
        self.kernel = kernel
        self.program = program
        self.observer = observer
        self.classes = {"button": WindowClass("button", None, WHITE_BRUSH, "button")}
        self.windows = {}
        self.queues = {}
        self.objects = {}  # GDI handle -> ("font", Font) or (kind, colour)
        self.dcs = {}
        self.capture = None
        self.main_thread = None
        self._next_handle = 0x00010020
        for index, (kind, colour) in STOCK_OBJECTS.items():
            self.objects[STOCK_HANDLE_BASE + index] = (kind, DEFAULT_FONT if kind == "font"
                                                       else colour)

    def new_handle(self):
        self._next_handle += 4
        return self._next_handle

    def queue(self, thread):
        return self.queues.setdefault(thread, Queue())

    def window(self, handle):
        return self.windows.get(handle)

    def fail(self, error, result=0):
        return self.kernel.fail(error, result)

    def top_level(self):
        return [w for w in self.windows.values() if w.parent is None]

    # --- Delivery.

    def deliver(self, window, message, wparam, lparam):
        """Hands a message to the window's procedure on the running thread; its answer."""
        if window.window_class.procedure is not None:
            return (yield Callback(window.window_class.procedure, window.handle, message,
                                   wparam, lparam))
        return (yield from self.control_procedure(window, message, wparam, lparam))

    def send(self, window, message, wparam, lparam):
        if window.thread is self.cpu.current:
            return (yield from self.deliver(window, message, wparam, lparam))
        entry = [window, message, wparam, lparam, None]
        self.queue(window.thread).sent.append(entry)
        yield Wait("SendMessageW", lambda: entry[4] is not None or window.thread.ended)
        return entry[4] or 0

    def serve_sent(self, thread):
        queue = self.queue(thread)
        while queue.sent:
            entry = queue.sent.pop(0)
            answer = 0
            if entry[0].handle in self.windows:
                answer = yield from self.deliver(*entry[:4])
            entry[4] = answer & 0xFFFFFFFF if answer is not None else 0

    def control_procedure(self, window, message, wparam, lparam):
        if message == WM_PAINT:
            window.invalid = None  # a control draws itself whole, at once
            return 0
        if message == WM_SETTEXT:
            window.text = self.memory.wide(lparam) if lparam else ""
            return 1
        if window.window_class.control == "button":
            if message == WM_LBUTTONDOWN:
                window.pressed = True
                self.capture = window
            elif message == WM_LBUTTONUP and window.pressed:
                window.pressed = False
                self.capture = None
                x, y = lparam & 0xFFFF, lparam >> 16
                if x < window.rect[2] and y < window.rect[3] and window.parent is not None:
                    yield from self.send(window.parent, WM_COMMAND,
                                         window.identifier | BN_CLICKED << 16, window.handle)
            return 0
        if message == PBM_SETRANGE:
            previous = window.bar_range
            window.bar_range = (lparam & 0xFFFF, lparam >> 16)
            return previous[0] | previous[1] << 16
        if message == PBM_SETPOS:
            previous = window.bar_position
            low, high = window.bar_range
            window.bar_position = max(low, min(high, signed(wparam)))
            return previous
        return 0

    def has_work(self, thread, wake_mask=None):
        queue = self.queue(thread)
        status = ((QS_SENDMESSAGE if queue.sent else 0)
                  | (QS_POSTMESSAGE if queue.posted or queue.quit is not None else 0)
                  | (QS_MOUSEBUTTON if queue.input else 0)
                  | (QS_PAINT if self.to_paint(thread) else 0))
        return status & wake_mask if wake_mask is not None else status

    def to_paint(self, thread):
        return next((w for w in self.windows.values()
                     if w.thread is thread and w.invalid is not None), None)

    def target_of(self, x, y):
        """The enabled, visible window under a screen point, deepest first."""
        for window in self.top_level():
            wx, wy, ww, wh = window.rect
            if window.visible and wx <= x < wx + ww and wy <= y < wy + wh:
                for child in window.children:
                    cx, cy, cw, ch = child.rect
                    if (child.visible and child.enabled and cx <= x - wx < cx + cw
                            and cy <= y - wy < cy + ch):
                        return child, (x - wx - cx, y - wy - cy)
                return window, (x - wx, y - wy)
        return None, None

    def next_message(self, thread, remove):
        """The thread's next message as (window handle, message, wParam, lParam), or None."""
        queue = self.queue(thread)
        if queue.posted:
            return queue.posted.pop(0) if remove else queue.posted[0]
        while queue.input:
            message, x, y = queue.input[0]
            window, point = self.target_of(x, y)
            if self.capture is not None:
                window = self.capture
                point = (x - self.screen_origin(window)[0], y - self.screen_origin(window)[1])
            if remove or window is None:
                queue.input.pop(0)
            if window is not None:
                return (window.handle, message, MK_LBUTTON if message == WM_LBUTTONDOWN else 0,
                        (point[0] & 0xFFFF) | (point[1] & 0xFFFF) << 16)
        if queue.quit is not None:
            code = queue.quit
            if remove:
                queue.quit = None
            return (0, WM_QUIT, code, 0)
        window = self.to_paint(thread)
        if window is not None:
            return (window.handle, WM_PAINT, 0, 0)
        return None

    def screen_origin(self, window):
        x, y = window.rect[:2]
        while window.parent is not None:
            window = window.parent
            x, y = x + window.rect[0], y + window.rect[1]
        return x, y

    def write_message(self, address, message):
        # MSG: window, message, wParam, lParam, time, the point (none in the model).
        self.memory.put_words(address, list(message) + [self.kernel.ticks(), 0, 0])

    def click(self, window):
        """A tap in the middle of window, as the touch screen gives it to the main thread."""
        x, y = self.screen_origin(window)
        x, y = x + window.rect[2] // 2, y + window.rect[3] // 2
        queue = self.queue(window.thread)
        queue.input += [(WM_LBUTTONDOWN, x, y), (WM_LBUTTONUP, x, y)]

    # --- Messages.

    @coredll
    def GetMessageW(self, address, window, first, last):
        if window or first or last:
            raise ProgramFault("a message filter, which the stand-in lacks")
        thread = self.cpu.current
        while True:
            yield from self.serve_sent(thread)
            message = self.next_message(thread, remove=True)
            if message is not None:
                self.write_message(address, message)
                return 0 if message[1] == WM_QUIT else 1
            if thread is self.main_thread:
                self.observer.idle()
            if not self.has_work(thread):
                yield Wait("GetMessageW", lambda: self.has_work(thread) != 0)

    @coredll
    def PeekMessageW(self, address, window, first, last, flags):
        if window or first or last:
            raise ProgramFault("a message filter, which the stand-in lacks")
        thread = self.cpu.current
        yield from self.serve_sent(thread)
        message = self.next_message(thread, remove=bool(flags & PM_REMOVE))
        if message is None:
            return 0
        self.write_message(address, message)
        return 1

    @coredll
    def MsgWaitForMultipleObjectsEx(self, count, handles_address, milliseconds, wake_mask,
                                    flags):
        thread = self.cpu.current
        handles = self.memory.words(handles_address, count) if count else []
        return (yield from self.kernel.wait_for(
            "MsgWaitForMultipleObjectsEx", handles, milliseconds,
            lambda: self.has_work(thread, wake_mask) != 0))

    @coredll
    def TranslateMessage(self, address):
        return 0  # the model has no keys: nothing to translate

    @coredll
    def TranslateAcceleratorW(self, window, accelerators, address):
        # No table is loaded (LoadAcceleratorsW finds none), and no key comes in.
        return self.fail(ERROR_INVALID_HANDLE) if accelerators == 0 else 0

    @coredll
    def DispatchMessageW(self, address):
        handle, message, wparam, lparam = self.memory.words(address, 4)
        window = self.window(handle)
        if window is None:
            return 0
        return (yield from self.deliver(window, message, wparam, lparam))

    @coredll
    def SendMessageW(self, handle, message, wparam, lparam):
        window = self.window(handle)
        if window is None:
            return self.fail(ERROR_INVALID_WINDOW_HANDLE)
        return (yield from self.send(window, message, wparam, lparam))

    @coredll
    def PostMessageW(self, handle, message, wparam, lparam):
        window = self.window(handle)
        if window is None:
            return self.fail(ERROR_INVALID_WINDOW_HANDLE)
        self.queue(window.thread).posted.append((handle, message, wparam, lparam))
        return 1

    @coredll
    def PostQuitMessage(self, code):
        self.queue(self.cpu.current).quit = code

    @coredll
    def DefWindowProcW(self, handle, message, wparam, lparam):
        window = self.window(handle)
        if window is None:
            return 0
        if message == WM_ERASEBKGND:
            dc = self.dcs.get(wparam)
            background = window.window_class.background
            if dc is None or background is None or STOCK_OBJECTS[background][1] is None:
                return 0
            window.erase_rect(dc.clip)
            return 1
        if message == WM_PAINT:
            window.invalid = None
            window.erase = False
            return 0
        if message == WM_SETTEXT:
            window.text = self.memory.wide(lparam) if lparam else ""
            return 1
        if message == WM_CLOSE:
            return (yield from self.destroy(window))
        return 0

    # --- Windows.

    @coredll
    def RegisterClassW(self, address):
        words = self.memory.words(address, WNDCLASS_WORDS)
        name = self.memory.wide(words[9])
        if name.lower() in self.classes:
            return self.fail(ERROR_CLASS_ALREADY_EXISTS)
        background = next((i for i in STOCK_OBJECTS if STOCK_HANDLE_BASE + i == words[7]), None)
        self.classes[name.lower()] = WindowClass(name, words[1], background)
        return 0xC000 + len(self.classes)

    @coredll
    def CreateWindowExW(self, ex_style, class_address, title_address, style, x, y, width,
                        height, parent_handle, menu, instance, parameter):
        class_name = self.memory.wide(class_address)
        window_class = self.classes.get(class_name.lower())
        if window_class is None:
            return self.fail(ERROR_CANNOT_FIND_WND_CLASS)
        parent = self.window(parent_handle) if parent_handle else None
        if parent_handle and parent is None:
            return self.fail(ERROR_INVALID_WINDOW_HANDLE)
        if style & WS_CHILD and parent is None:
            return self.fail(ERROR_INVALID_PARAMETER)
        rect = tuple(signed(v) for v in (x, y, width, height))
        if parent is None:
            # The handheld gives a top-level window of the default size the work area.
            rect = tuple(WORK_AREA[i] if v == signed(CW_USEDEFAULT) else v
                         for i, v in enumerate(rect))
        title = self.memory.wide(title_address) if title_address else ""
        window = Window(self.new_handle(), window_class, title, style, rect, parent, menu,
                        self.cpu.current)
        self.windows[window.handle] = window
        if parent is not None:
            parent.children.append(window)
        if window_class.procedure is not None:
            create = self.cpu.push(b"".join((v & 0xFFFFFFFF).to_bytes(4, "little") for v in (
                parameter, instance, menu, parent_handle, rect[3], rect[2], rect[1], rect[0],
                style, title_address, class_address, ex_style)))
            if signed((yield from self.deliver(window, WM_CREATE, 0, create))) == -1:
                yield from self.destroy(window)
                return 0
        if window.visible:
            window.invalid, window.erase = window.client(), True
        return window.handle

    def destroy(self, window):
        if window.thread is not self.cpu.current:
            return self.fail(ERROR_ACCESS_DENIED)
        yield from self.deliver(window, WM_DESTROY, 0, 0)
        for child in list(window.children):
            yield from self.destroy(child)
        self.windows.pop(window.handle, None)
        if window.parent is not None:
            window.parent.children.remove(window)
        if self.capture is window:
            self.capture = None
        return 1

    @coredll
    def DestroyWindow(self, handle):
        window = self.window(handle)
        if window is None:
            return self.fail(ERROR_INVALID_WINDOW_HANDLE)
        return (yield from self.destroy(window))

    @coredll
    def ShowWindow(self, handle, command):
        window = self.window(handle)
        if window is None:
            return 0
        was_visible = window.visible
        window.visible = command != SW_HIDE
        if window.visible and not was_visible:
            window.invalid, window.erase = window.client(), True
        return int(was_visible)

    @coredll
    def UpdateWindow(self, handle):
        window = self.window(handle)
        if window is None:
            return self.fail(ERROR_INVALID_WINDOW_HANDLE)
        if window.invalid is not None:
            yield from self.deliver(window, WM_PAINT, 0, 0)
        return 1

    @coredll
    def EnableWindow(self, handle, enable):
        window = self.window(handle)
        if window is None:
            return 0
        was_disabled = not window.enabled
        window.enabled = bool(enable)
        return int(was_disabled)

    @coredll
    def SetWindowTextW(self, handle, text_address):
        window = self.window(handle)
        if window is None:
            return self.fail(ERROR_INVALID_WINDOW_HANDLE)
        return (yield from self.send(window, WM_SETTEXT, 0, text_address))

    @coredll
    def IsWindow(self, handle):
        return int(handle in self.windows)

    @coredll
    def FindWindowW(self, class_address, title_address):
        class_name = self.memory.wide(class_address).lower() if class_address else None
        title = self.memory.wide(title_address) if title_address else None
        for window in self.top_level():
            if ((class_name is None or window.window_class.name.lower() == class_name)
                    and (title is None or window.text == title)):
                return window.handle
        return 0

    @coredll
    def SetForegroundWindow(self, handle):
        # The handle combined with 0x01 asks for the window's last active box instead; the
        # model's windows show no boxes, so that is the window itself.
        return int((handle & ~1) in self.windows)

    @coredll
    def GetClientRect(self, handle, address):
        window = self.window(handle)
        if window is None:
            return self.fail(ERROR_INVALID_WINDOW_HANDLE)
        self.memory.put_words(address, window.client())
        return 1

    @coredll
    def InvalidateRect(self, handle, rect_address, erase):
        window = self.window(handle)
        if window is None:
            return self.fail(ERROR_INVALID_WINDOW_HANDLE)
        rect = (tuple(signed(v) for v in self.memory.words(rect_address, 4)) if rect_address
                else window.client())
        window.invalid = union(window.invalid, rect)
        window.erase = window.erase or bool(erase)
        return 1

    # --- Resources and common controls.

    @coredll
    def LoadStringW(self, instance, string_id, buffer, capacity):
        text = self.program.string(string_id) if instance == self.program.base else None
        if text is None or capacity == 0:
            return self.fail(ERROR_RESOURCE_NAME_NOT_FOUND)
        text = text[:capacity - 1]
        self.memory.put_wide(buffer, text)
        return len(text)

    @coredll
    def LoadIconW(self, instance, icon_id):
        if instance != self.program.base or not self.program.has_resource(RT_GROUP_ICON,
                                                                          icon_id):
            return self.fail(ERROR_RESOURCE_NAME_NOT_FOUND)
        return self.new_handle()

    @coredll
    def LoadAcceleratorsW(self, instance, table_id):
        if instance != self.program.base or not self.program.has_resource(RT_ACCELERATOR,
                                                                          table_id):
            return self.fail(ERROR_RESOURCE_NAME_NOT_FOUND)
        raise ProgramFault("an accelerator table, which the stand-in lacks")

    @commctrl
    def InitCommonControls(self):
        self.classes.setdefault("msctls_progress32", WindowClass(
            "msctls_progress32", None, WHITE_BRUSH, "progress"))

    @coredll
    def MessageBoxW(self, owner, text_address, caption_address, style):
        text = self.memory.wide(text_address) if text_address else ""
        caption = self.memory.wide(caption_address) if caption_address else ""
        buttons = MESSAGE_BOX_BUTTONS.get(style & MB_TYPE_MASK)
        if buttons is None:
            raise ProgramFault("a message box of style 0x%x, which the stand-in lacks" % style)
        default = buttons[min((style & MB_DEFBUTTON_MASK) >> MB_DEFBUTTON_SHIFT,
                              len(buttons) - 1)]
        icon = MESSAGE_BOX_ICONS.get(style & MB_ICON_MASK)
        if icon is None:
            raise ProgramFault("a message box of style 0x%x, which the stand-in lacks" % style)
        how = "%s, %s" % ("owner 0x%08x" % owner if owner else "no owner", icon)
        return BUTTON_IDS[self.observer.message_box(caption, text, buttons, default, how)]

    # --- Device contexts.

    def dc(self, handle):
        dc = self.dcs.get(handle)
        if dc is None:
            raise ProgramFault("a device context 0x%08x that is not one" % handle)
        return dc

    def font_of(self, dc):
        return self.objects[dc.state["font"]][1] if dc.state["font"] else DEFAULT_FONT

    def open_dc(self, window, clip):
        handle = self.new_handle()
        self.dcs[handle] = DeviceContext(window, clip)
        return handle

    @coredll
    def GetDC(self, handle):
        window = self.window(handle) if handle else None
        if handle and window is None:
            return 0
        clip = window.client() if window else (0, 0, SCREEN_WIDTH, SCREEN_HEIGHT)
        return self.open_dc(window, clip)

    @coredll
    def ReleaseDC(self, handle, dc_handle):
        return int(self.dcs.pop(dc_handle, None) is not None)

    @coredll
    def BeginPaint(self, handle, address):
        window = self.window(handle)
        if window is None:
            return 0
        clip = window.invalid or (0, 0, 0, 0)
        erase = window.erase
        window.invalid, window.erase = None, False
        dc_handle = self.open_dc(window, clip)
        erased = False
        if erase:
            erased = (yield from self.deliver(window, WM_ERASEBKGND, dc_handle, 0)) != 0
        self.memory.write(address, b"".join(v.to_bytes(4, "little", signed=True) for v in (
            dc_handle, int(erase and not erased)) + clip) + bytes(PAINTSTRUCT_BYTES - 24))
        return dc_handle

    @coredll
    def EndPaint(self, handle, address):
        dc = self.dcs.pop(self.memory.word(address), None)
        if dc is not None and dc.window is not None:
            self.observer.painted(dc.window)
        return 1

    @coredll
    def GetStockObject(self, index):
        return STOCK_HANDLE_BASE + index if index in STOCK_OBJECTS else 0

    @coredll
    def CreateFontIndirectW(self, address):
        data = self.memory.read(address, LOGFONT_BYTES)
        height = int.from_bytes(data[0:4], "little", signed=True)
        weight = int.from_bytes(data[16:20], "little", signed=True)
        face = data[LOGFONT_FACE_OFFSET:LOGFONT_FACE_OFFSET + 2 * LF_FACESIZE].decode(
            "utf-16-le").split("\0")[0]
        handle = self.new_handle()
        self.objects[handle] = ("font", Font(face, height, weight))
        return handle

    @coredll
    def DeleteObject(self, handle):
        if handle not in self.objects:
            return 0
        if handle < STOCK_HANDLE_BASE or handle > STOCK_HANDLE_BASE + max(STOCK_OBJECTS):
            del self.objects[handle]
        return 1

    @coredll
    def SelectObject(self, dc_handle, handle):
        dc = self.dc(dc_handle)
        thing = self.objects.get(handle)
        if thing is None:
            return 0
        previous = dc.state[thing[0]]
        dc.state[thing[0]] = handle
        defaults = {"font": SYSTEM_FONT, "brush": WHITE_BRUSH, "pen": BLACK_PEN}
        return previous or STOCK_HANDLE_BASE + defaults[thing[0]]

    @coredll
    def SaveDC(self, dc_handle):
        dc = self.dc(dc_handle)
        dc.saved.append(dict(dc.state))
        return len(dc.saved)

    @coredll
    def RestoreDC(self, dc_handle, level):
        dc = self.dc(dc_handle)
        level = signed(level)
        keep = len(dc.saved) + level if level < 0 else level - 1
        if not 0 <= keep < len(dc.saved):
            return 0
        dc.state = dc.saved[keep]
        del dc.saved[keep:]
        return 1

    @coredll
    def SetTextColor(self, dc_handle, colour):
        dc = self.dc(dc_handle)
        previous = dc.state["colour"]
        dc.state["colour"] = colour
        return previous

    @coredll
    def GetDeviceCaps(self, dc_handle, index):
        self.dc(dc_handle)
        if index not in DEVICE_CAPS:
            raise ProgramFault("GetDeviceCaps index %d, which the stand-in lacks" % index)
        return DEVICE_CAPS[index]

    @coredll
    def GetTextMetricsW(self, dc_handle, address):
        self.memory.write(address, self.font_of(self.dc(dc_handle)).text_metrics())
        return 1

    @coredll
    def GetTextExtentExPointW(self, dc_handle, text_address, count, most, fit_address,
                              extents_address, size_address):
        font = self.font_of(self.dc(dc_handle))
        text = self.memory.wide(text_address, count)
        extents = [font.width(text[:i + 1]) for i in range(len(text))]
        if fit_address:
            self.memory.put_word(fit_address, sum(1 for e in extents if e <= signed(most)))
        if extents_address:
            self.memory.put_words(extents_address, extents)
        if size_address:
            self.memory.put_words(size_address, [font.width(text), font.cell_height])
        return 1

    @coredll
    def ExtTextOutW(self, dc_handle, x, y, options, rect_address, text_address, count,
                    spacing_address):
        dc = self.dc(dc_handle)
        if options or rect_address or spacing_address:
            raise ProgramFault("options, a rectangle or spacing, which the stand-in lacks")
        text = Text(signed(x), signed(y), self.memory.wide(text_address, count),
                    self.font_of(dc), dc.state["colour"])
        if dc.window is not None and text.text and intersects(text.cell, dc.clip):
            dc.window.texts[(text.x, text.y)] = text
        return 1

    @coredll
    def Rectangle(self, dc_handle, left, top, right, bottom):
        dc = self.dc(dc_handle)
        brush = self.objects.get(dc.state["brush"] or STOCK_HANDLE_BASE + WHITE_BRUSH)
        if dc.window is not None and brush[1] is not None:
            dc.window.erase_rect(tuple(signed(v) for v in (left, top, right, bottom)))
        return 1
