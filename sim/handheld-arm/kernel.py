"""The handheld's kernel as the program meets it: handles, events, threads and waits,
critical sections, time, the registry, the power status, the idle timer and the process's
end.

Kernel keeps one handle table for everything CloseHandle takes (events, threads and the
serial port's files, which serial_port.py opens through add_handle). Its waits block only
the calling thread. The registry is a model: HKLM\\Drivers\\Active with the handheld's
built-in serial ports and the sleeve's driver, whose port is COM5:. Return codes and last
errors are the handheld's.
"""
import os
import time

from processor import ProgramFault, Wait, coredll

ERROR_SUCCESS = 0
ERROR_FILE_NOT_FOUND = 2
ERROR_INVALID_HANDLE = 6
ERROR_INVALID_DATA = 13
ERROR_INVALID_PARAMETER = 87
ERROR_ALREADY_EXISTS = 183
ERROR_MORE_DATA = 234
ERROR_NO_MORE_ITEMS = 259

WAIT_OBJECT_0 = 0
WAIT_TIMEOUT = 0x102
WAIT_FAILED = 0xFFFFFFFF
INFINITE = 0xFFFFFFFF

EVENT_PULSE, EVENT_RESET, EVENT_SET = 1, 2, 3
CURRENT_PROCESS = 0x42  # the process's pseudo-handle
CRITICAL_SECTION_BYTES = 20  # LockCount, OwnerThread, hCrit, needtrap, dwContentions
FIRST_HANDLE = 0x2E0012
HANDLE_STEP = 4

HKEY_LOCAL_MACHINE = 0x80000002
FIRST_KEY_HANDLE = 0x3A00
REG_SZ = 1

# The handheld's tick count does not start at 0: it has been up a while.
BOOT_TICKS = 4_000_000

# ACLineStatus, BatteryFlag, BatteryLifePercent on mains with a charged battery.
MAINS_POWER = (1, 1, 100)
POWER_STATUS_VARIABLE = "VANDREL_POWER_STATUS"
BATTERY_LIFE_UNKNOWN = 0xFFFFFFFF
BACKUP_FLAG_HIGH = 1


def active_drivers(sleeve_port):
    """HKLM\\Drivers\\Active on the handheld with the sleeve in: two built-in ports, then
    the sleeve's."""
    return {"Drivers": {"Active": {
        "02": {"Key": "Drivers\\BuiltIn\\Serial", "Name": "COM1:"},
        "05": {"Key": "Drivers\\BuiltIn\\IrDA", "Name": "COM3:"},
        "12": {"Key": "Drivers\\OptPack\\0100", "Name": sleeve_port},
    }}}


def find_key(tree, path):
    for part in path.split("\\") if path else []:
        match = next((k for k in tree if isinstance(tree[k], dict) and k.lower() == part.lower()),
                     None)
        if match is None:
            return None
        tree = tree[match]
    return tree


class Event:
    def __init__(self, name, manual_reset, signalled):
        self.name = name
        self.manual_reset = manual_reset
        self.signalled = signalled
        self.pulses = 0  # how many pulses it has had, each waking the threads waiting then

    def close(self):
        pass


class ThreadObject:
    def __init__(self, thread):
        self.thread = thread

    def close(self):
        pass


class Kernel:
    def __init__(self, processor, program, sleeve_port):
        self.cpu = processor
        self.memory = processor.memory
        self.program = program
        self.handles = {}
        self._next_handle = FIRST_HANDLE
        self.events = {}  # named events by name
        self.sections = {}  # address -> [owning thread or None, depth]
        self.registry = active_drivers(sleeve_port)
        self.keys = {}
        self._next_key = FIRST_KEY_HANDLE
        self.idle_timer_resets = 0
        self.started = time.monotonic()

    def add_handle(self, thing):
        handle = self._next_handle
        self._next_handle += HANDLE_STEP
        self.handles[handle] = thing
        return handle

    def object_of(self, handle, kind):
        thing = self.handles.get(handle)
        return thing if isinstance(thing, kind) else None

    def fail(self, error, result=0):
        self.cpu.current.last_error = error
        return result

    def ticks(self):
        return (BOOT_TICKS + int((time.monotonic() - self.started) * 1000)) & 0xFFFFFFFF

    # --- Handles, errors, time.

    @coredll
    def CloseHandle(self, handle):
        thing = self.handles.pop(handle, None)
        if thing is None:
            return self.fail(ERROR_INVALID_HANDLE)
        thing.close()
        return 1

    @coredll
    def GetLastError(self):
        return self.cpu.current.last_error

    @coredll
    def SetLastError(self, error):
        self.cpu.current.last_error = error

    @coredll
    def GetTickCount(self):
        return self.ticks()

    @coredll
    def Sleep(self, milliseconds):
        # Sleep(0) gives the rest of the quantum to any thread that can run.
        yield Wait("Sleep", lambda: False, time.monotonic() + milliseconds / 1000)

    # --- Events, threads and waits.

    @coredll
    def CreateEventW(self, attributes, manual_reset, initial_state, name_address):
        name = self.memory.wide(name_address) if name_address else None
        if name is not None and name in self.events:
            self.cpu.current.last_error = ERROR_ALREADY_EXISTS
            return self.add_handle(self.events[name])
        event = Event(name, bool(manual_reset), bool(initial_state))
        if name is not None:
            self.events[name] = event
        self.cpu.current.last_error = ERROR_SUCCESS
        return self.add_handle(event)

    @coredll
    def EventModify(self, handle, function):
        event = self.object_of(handle, Event)
        if event is None or function not in (EVENT_PULSE, EVENT_RESET, EVENT_SET):
            return self.fail(ERROR_INVALID_HANDLE if event is None else ERROR_INVALID_PARAMETER)
        event.signalled = function == EVENT_SET
        if function == EVENT_PULSE:
            event.pulses += 1
        return 1

    @coredll
    def CreateThread(self, attributes, stack_size, start, parameter, flags, id_address):
        if flags:
            raise ProgramFault("creation flags 0x%x, which the stand-in lacks" % flags)
        # The handheld gives every thread the stack the program's header reserves.
        thread = self.cpu.start_thread(start, parameter, self.program.stack_reserve)
        if id_address:
            self.memory.put_word(id_address, thread.id)
        return self.add_handle(ThreadObject(thread))

    @coredll
    def TerminateProcess(self, process, code):
        if process != CURRENT_PROCESS:
            return self.fail(ERROR_INVALID_HANDLE)
        self.cpu.end(code)
        return 1

    def waitable(self, handle):
        return isinstance(self.handles.get(handle), (Event, ThreadObject))

    def watch(self, handle):
        """A test of whether handle is signalled, as a wait begun now sees it."""
        thing = self.handles[handle]
        if isinstance(thing, ThreadObject):
            return lambda: thing.thread.ended
        pulses = thing.pulses
        return lambda: thing.signalled or thing.pulses != pulses

    def satisfy(self, handle):
        """A wait on handle has ended on its signal: an auto-reset event resets."""
        thing = self.handles[handle]
        if isinstance(thing, Event) and not thing.manual_reset:
            thing.signalled = False

    def wait_for(self, what, handles, milliseconds, other=None):
        """Waits for the first of handles to be signalled, or other() (its index is then
        len(handles)); WAIT_TIMEOUT after milliseconds, WAIT_FAILED for a handle that is
        not waitable."""
        if not all(self.waitable(h) for h in handles):
            return self.fail(ERROR_INVALID_HANDLE, WAIT_FAILED)
        deadline = None if milliseconds == INFINITE else time.monotonic() + milliseconds / 1000
        tests = [self.watch(h) for h in handles] + ([other] if other else [])
        while True:
            for index, test in enumerate(tests):
                if test():
                    if index < len(handles):
                        self.satisfy(handles[index])
                    return WAIT_OBJECT_0 + index
            if deadline is not None and time.monotonic() >= deadline:
                return WAIT_TIMEOUT
            yield Wait(what, lambda: any(test() for test in tests), deadline)

    @coredll
    def WaitForSingleObject(self, handle, milliseconds):
        return (yield from self.wait_for("WaitForSingleObject", [handle], milliseconds))

    # --- Critical sections: the handheld's 20 bytes, the owner's id in the second word.

    def section(self, address):
        state = self.sections.get(address)
        if state is None:
            raise ProgramFault("a critical section at 0x%08x that was not initialised" % address)
        return state

    def record_section(self, address, state):
        self.memory.put_words(address, [state[1], state[0].id if state[0] else 0])

    @coredll
    def InitializeCriticalSection(self, address):
        self.memory.write(address, bytes(CRITICAL_SECTION_BYTES))
        self.sections[address] = [None, 0]

    @coredll
    def DeleteCriticalSection(self, address):
        if self.section(address)[0] not in (None, self.cpu.current):
            raise ProgramFault("the critical section at 0x%08x is held by another thread"
                               % address)
        del self.sections[address]
        self.memory.write(address, bytes(CRITICAL_SECTION_BYTES))

    @coredll
    def EnterCriticalSection(self, address):
        state = self.section(address)
        me = self.cpu.current
        while state[0] not in (None, me):
            yield Wait("EnterCriticalSection", lambda: state[0] is None)
            state = self.section(address)
        state[0] = me
        state[1] += 1
        self.record_section(address, state)

    @coredll
    def LeaveCriticalSection(self, address):
        state = self.section(address)
        if state[0] is not self.cpu.current:
            raise ProgramFault("the critical section at 0x%08x is not held by this thread"
                               % address)
        state[1] -= 1
        if state[1] == 0:
            state[0] = None
        self.record_section(address, state)

    @coredll
    def InterlockedExchange(self, address, value):
        old = self.memory.word(address)
        self.memory.put_word(address, value)
        return old

    # --- Power.

    @coredll
    def SystemIdleTimerReset(self):
        self.idle_timer_resets += 1

    @coredll
    def GetSystemPowerStatusEx(self, address, update):
        """From VANDREL_POWER_STATUS ("ACLineStatus,BatteryFlag,BatteryLifePercent", as the
        desktop's stand-in reads it) when it is set, else on mains."""
        text = os.environ.get(POWER_STATUS_VARIABLE)
        fields = MAINS_POWER
        if text is not None:
            parts = text.split(",")
            if len(parts) != 3 or not all(p.isdigit() and int(p) <= 255 for p in parts):
                return self.fail(ERROR_INVALID_DATA)
            fields = tuple(int(p) for p in parts)
        unknown_times = BATTERY_LIFE_UNKNOWN.to_bytes(4, "little") * 2
        status = bytes(fields) + bytes(1) + unknown_times
        status += bytes([0, BACKUP_FLAG_HIGH, 100, 0]) + unknown_times
        self.memory.write(address, status)
        return 1

    # --- The registry.

    @coredll
    def RegOpenKeyExW(self, key, path_address, options, desired, result_address):
        # The handheld ignores the access mask.
        base = HKEY_LOCAL_MACHINE if key == HKEY_LOCAL_MACHINE else None
        tree = self.registry if base else self.keys.get(key)
        if tree is None:
            return ERROR_INVALID_HANDLE
        found = find_key(tree, self.memory.wide(path_address) if path_address else "")
        if found is None:
            return ERROR_FILE_NOT_FOUND
        handle = self._next_key
        self._next_key += HANDLE_STEP
        self.keys[handle] = found
        self.memory.put_word(result_address, handle)
        return ERROR_SUCCESS

    @coredll
    def RegEnumKeyExW(self, key, index, name_address, chars_address, reserved, class_address,
                      class_chars_address, time_address):
        tree = self.keys.get(key)
        if tree is None:
            return ERROR_INVALID_HANDLE
        names = [k for k in tree if isinstance(tree[k], dict)]
        if index >= len(names):
            return ERROR_NO_MORE_ITEMS
        capacity = self.memory.word(chars_address)
        if len(names[index]) + 1 > capacity:
            return ERROR_MORE_DATA
        self.memory.put_wide(name_address, names[index])
        self.memory.put_word(chars_address, len(names[index]))
        return ERROR_SUCCESS

    @coredll
    def RegQueryValueExW(self, key, name_address, reserved, type_address, data_address,
                         bytes_address):
        tree = self.keys.get(key)
        if tree is None:
            return ERROR_INVALID_HANDLE
        name = self.memory.wide(name_address) if name_address else ""
        match = next((k for k in tree if not isinstance(tree[k], dict)
                      and k.lower() == name.lower()), None)
        if match is None:
            return ERROR_FILE_NOT_FOUND
        data = (tree[match] + "\0").encode("utf-16-le")
        if type_address:
            self.memory.put_word(type_address, REG_SZ)
        if bytes_address == 0:
            return ERROR_SUCCESS if data_address == 0 else ERROR_INVALID_PARAMETER
        capacity = self.memory.word(bytes_address)
        self.memory.put_word(bytes_address, len(data))
        if data_address == 0:
            return ERROR_SUCCESS
        if len(data) > capacity:
            return ERROR_MORE_DATA
        self.memory.write(data_address, data)
        return ERROR_SUCCESS

    @coredll
    def RegCloseKey(self, key):
        return ERROR_SUCCESS if self.keys.pop(key, None) is not None else ERROR_INVALID_HANDLE
