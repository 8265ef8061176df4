"""The handheld's processor: an emulated StrongARM SA-1110 that runs the program's threads.

Processor owns the emulated machine: Unicorn's ARM core set to the SA-1110 (ARMv4, no Thumb,
no bx or clz), the memory the program was given (its image, a stack per thread with an
unmapped page below it, the kernel's read-only data page, a page of call traps) and the
threads. Anything else the program touches, an instruction the SA-1110 lacks, or a call the
stand-in lacks ends the emulation with a ProgramFault: one line saying what and where.

Calls. Every import slot points at its own `svc` in the trap page, which UC_HOOK_INTR
catches; the call's function gets r0-r3 and then the stack words as its arguments and its
result goes back in r0. A function marked @coredll or @commctrl either returns at once or
is a generator that may yield
  - Callback(address, *args): run the program's code there (a window procedure, a thread's
    start) on the calling thread; the yield gives back its r0. Calls nest as deeply as the
    program's own calls do.
  - Wait(what, ready, deadline, readers, writers): the thread blocks until ready() holds,
    the deadline (time.monotonic()) passes or a file descriptor moves, and then goes on.
The threads take turns at those waits, as on the handheld's kernel; a thread that makes
calls without waiting gives way after QUANTUM_S. All of it runs on one host thread.
"""
import inspect
import select
import threading
import time

from unicorn import (UC_ARCH_ARM, UC_ERR_INSN_INVALID, UC_HOOK_BLOCK, UC_HOOK_INTR,
                     UC_HOOK_MEM_INVALID, UC_MEM_FETCH_PROT, UC_MEM_FETCH_UNMAPPED,
                     UC_MEM_READ_PROT, UC_MEM_READ_UNMAPPED, UC_MEM_WRITE_PROT,
                     UC_MEM_WRITE_UNMAPPED, UC_MODE_ARM, Uc, UcError)
from unicorn.arm_const import (UC_ARM_REG_CPSR, UC_ARM_REG_LR, UC_ARM_REG_PC, UC_ARM_REG_R0,
                               UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3, UC_ARM_REG_SP,
                               UC_CPU_ARM_SA1110)

from loader import PAGE, PROT_EXEC, PROT_READ, PROT_WRITE

# The kernel's data page, mapped read-only into every process; the kernel keeps the running
# thread's id at +8 (what GetCurrentThreadId reads).
KERNEL_DATA_PAGE = 0xFFFFC000
CURRENT_THREAD_SLOT = 0xFFFFC808

TRAP_PAGE = 0x7F000000  # high in the process's slot, away from the image and the stacks
# The first traps are not calls: where a callback, a thread and the process's start return.
CALLBACK_RETURN_TRAP, THREAD_RETURN_TRAP, START_RETURN_TRAP = 0, 1, 2
SVC = 0xEF000000  # svc #0
EXCEPTION_SVC = 2  # the interrupt number Unicorn gives an svc

STACK_AREA = 0x01000000  # thread n's stack ends at STACK_AREA + (n + 1) * STACK_SLOT
STACK_SLOT = 0x00100000
STACK_ALIGNMENT = 8

USER_MODE = 0x10  # CPSR: user mode, ARM state, interrupts enabled
QUANTUM_S = 0.1  # the handheld's thread quantum
NEVER = 0xFFFFFFFC  # an address no program runs to: emu_start's "until"
ARGUMENT_REGISTERS = (UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3)
FIRST_THREAD_ID = 0x0A3F0002  # ids as the handheld's look: even, and not small
THREAD_ID_STEP = 0x10000

MEMORY_ACCESS = {
    UC_MEM_READ_UNMAPPED: ("read", "outside the program's memory"),
    UC_MEM_WRITE_UNMAPPED: ("write", "outside the program's memory"),
    UC_MEM_FETCH_UNMAPPED: ("execution", "outside the program's memory"),
    UC_MEM_READ_PROT: ("read", "which the program may not read"),
    UC_MEM_WRITE_PROT: ("write", "into memory the program may only read"),
    UC_MEM_FETCH_PROT: ("execution", "which is not the program's code"),
}


class ProgramFault(Exception):
    """Ends the emulation: what the program did that the handheld would not run, in a line."""


def export(dll):
    def mark(function):
        function.dll = dll
        return function
    return mark


coredll = export("COREDLL.dll")
commctrl = export("COMMCTRL.dll")


class Callback:
    def __init__(self, address, *args):
        self.address = address
        self.args = args


class Wait:
    def __init__(self, what, ready, deadline=None, readers=(), writers=()):
        self.what = what
        self.ready = ready
        self.deadline = deadline
        self.readers = readers
        self.writers = writers

    def over(self, now):
        return self.ready() or (self.deadline is not None and now >= self.deadline)


class Memory:
    """The emulated address space as the program was given it; reads and writes made for a
    call are checked against it as the program's own are."""

    def __init__(self, uc):
        self.uc = uc
        self.regions = []  # (begin, end, protection, name)

    def map(self, address, size, protection, name):
        self.uc.mem_map(address, size, protection)
        self.regions.append((address, address + size, protection, name))

    def load(self, address, data):
        """Writes as the kernel does, whatever the protection."""
        self.uc.mem_write(address, bytes(data))

    def _check(self, address, size, protection, access):
        end = address + max(size, 1)
        while address < end:
            region = next((r for r in self.regions if r[0] <= address < r[1]), None)
            if region is None:
                raise ProgramFault("%s of %d bytes at 0x%08x, outside the program's memory"
                                   % (access, size, address))
            if not region[2] & protection:
                raise ProgramFault("%s of %d bytes at 0x%08x, in %s, which the program may "
                                   "not %s" % (access, size, address, region[3], access))
            address = region[1]

    def read(self, address, size):
        self._check(address, size, PROT_READ, "read")
        return bytes(self.uc.mem_read(address, size))

    def write(self, address, data):
        self._check(address, len(data), PROT_WRITE, "write")
        self.uc.mem_write(address, bytes(data))

    def word(self, address):
        return int.from_bytes(self.read(address, 4), "little")

    def put_word(self, address, value):
        self.write(address, (value & 0xFFFFFFFF).to_bytes(4, "little"))

    def words(self, address, count):
        data = self.read(address, 4 * count)
        return [int.from_bytes(data[i:i + 4], "little") for i in range(0, len(data), 4)]

    def put_words(self, address, values):
        self.write(address, b"".join((v & 0xFFFFFFFF).to_bytes(4, "little") for v in values))

    def wide_units(self, address, limit=None):
        """The UTF-16 units from address up to the terminator, or limit units if sooner."""
        units = []
        while limit is None or len(units) < limit:
            unit = int.from_bytes(self.read(address + 2 * len(units), 2), "little")
            if unit == 0:
                break
            units.append(unit)
        return units

    def wide(self, address, limit=None):
        units = self.wide_units(address, limit)
        return b"".join(u.to_bytes(2, "little") for u in units).decode("utf-16-le", "replace")

    def put_wide(self, address, text, terminate=True):
        data = text.encode("utf-16-le") + (b"\0\0" if terminate else b"")
        self.write(address, data)


class Arguments:
    """A variadic call's arguments from a given word on: registers first, then memory."""

    def __init__(self, memory, registers, address):
        self.memory = memory
        self.registers = list(registers)
        self.address = address

    def next(self):
        if self.registers:
            return self.registers.pop(0)
        value = self.memory.word(self.address)
        self.address += 4
        return value


class Thread:
    def __init__(self, thread_id):
        self.id = thread_id
        self.context = None  # the registers while another thread runs
        self.frames = []  # the stand-in's calls under way on this thread, innermost last
        self.wait = None
        self.ended = False
        self.exit_code = None
        self.last_error = 0


class Frame:
    def __init__(self, generator, label, return_address, sp):
        self.generator = generator
        self.label = label
        self.return_address = return_address
        self.sp = sp


class Binding:
    def __init__(self, dll, name, function):
        self.label = "%s!%s" % (dll, name)
        self.function = function
        self.count = 0
        self.variadic = False
        if function is not None:
            parameters = list(inspect.signature(function).parameters)
            self.variadic = parameters[-1:] == ["varargs"]
            self.count = len(parameters) - self.variadic


class Processor:
    def __init__(self):
        self.uc = Uc(UC_ARCH_ARM, UC_MODE_ARM)
        self.uc.ctl_set_cpu_model(UC_CPU_ARM_SA1110)
        self.memory = Memory(self.uc)
        self.memory.map(KERNEL_DATA_PAGE, PAGE, PROT_READ, "the kernel's data page")
        self.memory.map(TRAP_PAGE, PAGE, PROT_READ | PROT_EXEC, "the stand-in's call traps")
        self.uc.reg_write(UC_ARM_REG_CPSR, USER_MODE)
        self._traps = [self._callback_returned, self._thread_returned, self._start_returned]
        self.threads = []
        self.current = None
        self.exit_code = None
        self.instructions = 0
        self._running = False
        self._stopping = False
        self._next_pc = None  # where the running thread goes on once the hook returns
        self._fault = None
        self._error = None
        self._memory_fault = None
        self._slice_start = 0.0
        self._time_up = False
        self._limit_s = None
        self.uc.hook_add(UC_HOOK_INTR, self._on_interrupt)
        self.uc.hook_add(UC_HOOK_MEM_INVALID, self._on_memory_fault)
        # Once for each block of instructions run, not for each instruction: that costs
        # the emulation about half its speed, where a hook for each would cost most of it.
        self.uc.hook_add(UC_HOOK_BLOCK, self._on_block)

    def trap_address(self, index):
        return TRAP_PAGE + 4 * index

    # --- Binding the program's imports.

    def bind(self, imports, providers, withheld=None):
        """Points each import slot at a trap of its own; a call no provider has is bound
        too, and ends the emulation when it is made. The call named withheld is bound to
        nothing: its slot is left 0, as the Windows CE 3.0 loader leaves the slot of a call
        its system does not export, and the program is started all the same."""
        functions = {}
        for provider in providers:
            for name, member in inspect.getmembers(provider):
                if hasattr(member, "dll"):
                    functions[(member.dll.lower(), name)] = member
        for item in imports:
            if item.name == withheld:
                self.memory.load(item.slot, bytes(4))
                continue
            binding = Binding(item.dll, item.name, functions.get((item.dll.lower(), item.name)))
            self.memory.load(item.slot, self.trap_address(len(self._traps)).to_bytes(4, "little"))
            self._traps.append(lambda binding=binding: self._enter(binding))
        if len(self._traps) * 4 > PAGE:
            raise ProgramFault("the program imports %d calls, more than the trap page holds"
                               % len(self._traps))
        self.memory.load(TRAP_PAGE, SVC.to_bytes(4, "little") * len(self._traps))

    # --- Threads.

    def add_thread(self, entry, args, stack_size, return_trap, top=b""):
        """A thread that starts at entry with args in r0-r3 and returns to return_trap;
        top goes at the top of its stack, above its first stack pointer."""
        index = len(self.threads)
        stack_top = STACK_AREA + (index + 1) * STACK_SLOT
        self.memory.map(stack_top - stack_size, stack_size, PROT_READ | PROT_WRITE,
                        "a thread's stack")
        sp = (stack_top - len(top)) & ~(STACK_ALIGNMENT - 1)
        self.memory.load(sp, top)
        thread = Thread(FIRST_THREAD_ID + index * THREAD_ID_STEP)
        saved = self.uc.context_save()
        for register, value in zip(ARGUMENT_REGISTERS, args):
            self.uc.reg_write(register, value)
        self.uc.reg_write(UC_ARM_REG_SP, sp)
        self.uc.reg_write(UC_ARM_REG_LR, self.trap_address(return_trap))
        self.uc.reg_write(UC_ARM_REG_PC, entry)
        self.uc.reg_write(UC_ARM_REG_CPSR, USER_MODE)
        thread.context = self.uc.context_save()
        self.uc.context_restore(saved)
        self.threads.append(thread)
        return thread

    def start_process(self, entry, instance, command_line, show, stack_size):
        """The main thread, which calls entry(instance, 0, command line, show) as the
        handheld starts a program; its return ends the process."""
        text = command_line.encode("utf-16-le") + b"\0\0"
        stack_top = STACK_AREA + (len(self.threads) + 1) * STACK_SLOT
        where = (stack_top - len(text)) & ~(STACK_ALIGNMENT - 1)
        return self.add_thread(entry, [instance, 0, where, show], stack_size,
                               START_RETURN_TRAP, text)

    def start_thread(self, entry, argument, stack_size):
        return self.add_thread(entry, [argument], stack_size, THREAD_RETURN_TRAP)

    def push(self, data):
        """Room for data on the running thread's stack, below its stack pointer; the call
        under way gives it back when it returns."""
        sp = (self.uc.reg_read(UC_ARM_REG_SP) - len(data)) & ~(STACK_ALIGNMENT - 1)
        self.memory.write(sp, data)
        self.uc.reg_write(UC_ARM_REG_SP, sp)
        return sp

    def end(self, code):
        if self.exit_code is None:
            self.exit_code = code & 0xFFFFFFFF
        self._yield_processor()

    # --- Running.

    def run(self, limit_s):
        """Runs the threads until the process ends; its exit code."""
        self._limit_s = limit_s
        def time_up():
            self._time_up = True
            self.uc.emu_stop()
        watchdog = threading.Timer(limit_s, time_up)
        watchdog.daemon = True
        watchdog.start()
        try:
            while self.exit_code is None:
                thread = self._next_thread()
                self._switch_to(thread)
                if thread.wait is not None:
                    thread.wait = None
                    self._advance(None)
                    if thread.wait is not None or thread.ended or self.exit_code is not None:
                        continue
                self._execute()
        finally:
            watchdog.cancel()
        return self.exit_code

    def _execute(self):
        self._running = True
        self._slice_start = time.monotonic()
        try:
            self.uc.emu_start(self.uc.reg_read(UC_ARM_REG_PC), NEVER)
        except UcError as error:
            if self._fault is None:
                self._fault = self._describe(error)
        finally:
            self._running = False
            self._stopping = False
        if self._next_pc is not None:
            self.uc.reg_write(UC_ARM_REG_PC, self._next_pc)
            self._next_pc = None
        if self._error is not None:
            raise self._error
        if self._fault is not None:
            raise self._fault

    def _describe(self, error):
        pc = self.uc.reg_read(UC_ARM_REG_PC)
        if error.errno == UC_ERR_INSN_INVALID:
            word = int.from_bytes(self.uc.mem_read(pc, 4), "little")
            return ProgramFault("invalid instruction for the StrongARM at 0x%08x (%08x)"
                                % (pc, word))
        if self._memory_fault is not None:
            return ProgramFault(self._memory_fault)
        return ProgramFault("the processor stopped at 0x%08x: %s" % (pc, error))

    def _next_thread(self):
        """The next thread that can go on, the running one last; waits for one if none can."""
        while True:
            if self._time_up:
                raise ProgramFault("the program had not ended after %d s" % self._limit_s)
            now = time.monotonic()
            start = self.threads.index(self.current) + 1 if self.current in self.threads else 0
            order = self.threads[start:] + self.threads[:start]
            for thread in order:
                if not thread.ended and (thread.wait is None or thread.wait.over(now)):
                    return thread
            waits = [t.wait for t in self.threads if not t.ended]
            deadlines = [w.deadline for w in waits if w.deadline is not None]
            readers = [fd for w in waits for fd in w.readers]
            writers = [fd for w in waits for fd in w.writers]
            if not deadlines and not readers and not writers:
                raise ProgramFault("every thread waits for ever: " + "; ".join(
                    "thread 0x%08x in %s" % (t.id, t.wait.what)
                    for t in self.threads if not t.ended))
            timeout = max(0.0, min(deadlines) - now) if deadlines else None
            select.select(readers, writers, [], timeout)

    def _switch_to(self, thread):
        if thread is self.current:
            return
        if self.current is not None and not self.current.ended:
            self.current.context = self.uc.context_save()
        self.uc.context_restore(thread.context)
        self.memory.load(CURRENT_THREAD_SLOT, thread.id.to_bytes(4, "little"))
        self.current = thread

    def _yield_processor(self):
        if self._running:
            self._stopping = True
            self.uc.emu_stop()

    def _set_pc(self, address):
        # Unicorn forgets a stop asked for in a hook once the hook writes the pc, so inside
        # a hook the pc is written as the hook returns, or after the stop.
        if self._running:
            self._next_pc = address
        else:
            self.uc.reg_write(UC_ARM_REG_PC, address)

    # --- Hooks.

    def _on_interrupt(self, uc, number, data):
        try:
            call_site = uc.reg_read(UC_ARM_REG_PC) - 4
            index = (call_site - TRAP_PAGE) // 4
            if number != EXCEPTION_SVC:
                raise ProgramFault("processor exception %d at 0x%08x" % (number, call_site + 4))
            if not TRAP_PAGE <= call_site < TRAP_PAGE + 4 * len(self._traps):
                raise ProgramFault("a system call (svc) of the program's own at 0x%08x"
                                   % call_site)
            self._traps[index]()
            if self._next_pc is not None and not self._stopping:
                uc.reg_write(UC_ARM_REG_PC, self._next_pc)
                self._next_pc = None
        except ProgramFault as fault:
            self._fault = fault
            uc.emu_stop()
        except Exception as error:  # a fault of the stand-in's own: shown whole
            self._error = error
            uc.emu_stop()

    def _on_block(self, uc, address, size, data):
        self.instructions += size // 4

    def _on_memory_fault(self, uc, access, address, size, value, data):
        kind, where = MEMORY_ACCESS.get(access, ("access", "outside the program's memory"))
        # Unicorn gives the start of the block of instructions that faulted, not the
        # instruction itself.
        self._memory_fault = ("%s of %d bytes at 0x%08x, %s, in the code from 0x%08x (lr 0x%08x)"
                              % (kind, size, address, where, uc.reg_read(UC_ARM_REG_PC),
                                 uc.reg_read(UC_ARM_REG_LR)))
        if kind == "execution":
            self._memory_fault = ("execution at 0x%08x, %s (lr 0x%08x)"
                                  % (address, where, uc.reg_read(UC_ARM_REG_LR)))
        return False

    # --- Calls.

    def _enter(self, binding):
        return_address = self.uc.reg_read(UC_ARM_REG_LR)
        if binding.function is None:
            raise ProgramFault("%s, which the stand-in lacks, called from 0x%08x"
                               % (binding.label, return_address - 4))
        registers = [self.uc.reg_read(r) for r in ARGUMENT_REGISTERS]
        sp = self.uc.reg_read(UC_ARM_REG_SP)
        stack_count = max(0, binding.count - len(registers))
        args = registers[:binding.count] + (self.memory.words(sp, stack_count)
                                            if stack_count else [])
        if binding.variadic:
            args.append(Arguments(self.memory, registers[binding.count:],
                                  sp + 4 * stack_count))
        try:
            result = binding.function(*args)
        except ProgramFault as fault:
            raise ProgramFault("%s: %s, called from 0x%08x"
                               % (binding.label, fault, return_address - 4)) from None
        if inspect.isgenerator(result):
            self.current.frames.append(Frame(result, binding.label, return_address, sp))
            self._advance(None)
        else:
            self._return(result, return_address)
        if self.current.wait is None and time.monotonic() - self._slice_start >= QUANTUM_S:
            self._yield_processor()

    def _return(self, result, return_address):
        self.uc.reg_write(UC_ARM_REG_R0, int(result or 0) & 0xFFFFFFFF)
        self._set_pc(return_address)

    def _advance(self, value):
        """Takes the running thread's innermost call a step on, with value as what it
        asked for last."""
        frame = self.current.frames[-1]
        try:
            request = frame.generator.send(value)
        except StopIteration as done:
            self.current.frames.pop()
            self.uc.reg_write(UC_ARM_REG_SP, frame.sp)
            self._return(done.value, frame.return_address)
            return
        except ProgramFault as fault:
            raise ProgramFault("%s: %s, called from 0x%08x"
                               % (frame.label, fault, frame.return_address - 4)) from None
        if isinstance(request, Callback):
            if request.address % 4:
                raise ProgramFault("%s: a procedure at 0x%08x, which is not ARM code, called "
                                   "from 0x%08x" % (frame.label, request.address,
                                                    frame.return_address - 4))
            for register, value in zip(ARGUMENT_REGISTERS, request.args):
                self.uc.reg_write(register, value & 0xFFFFFFFF)
            self.uc.reg_write(UC_ARM_REG_LR, self.trap_address(CALLBACK_RETURN_TRAP))
            self._set_pc(request.address)
        else:
            self.current.wait = request
            self._yield_processor()

    def _callback_returned(self):
        self._advance(self.uc.reg_read(UC_ARM_REG_R0))

    def _thread_returned(self):
        self.current.ended = True
        self.current.exit_code = self.uc.reg_read(UC_ARM_REG_R0)
        self._yield_processor()

    def _start_returned(self):
        self.end(self.uc.reg_read(UC_ARM_REG_R0))
