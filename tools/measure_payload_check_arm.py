#!/usr/bin/python3
"""What the run's payload check costs the handheld's processor: the ARM program's
CheckPayloads (engine/payload_check.h), run alone on an emulated StrongARM SA-1110 (Debian's
python3-unicorn), counted in instructions.

usage: measure_payload_check_arm.py BUILD_DIR/handheld-arm/vandrel.elf

Loads the linked image's sections at their addresses, calls CheckPayloads with a context on
the stack and counts every instruction until it returns; a check that does not return (the
payloads damaged, which leaves for the run's handler) is a failure. Prints the count and the
time it takes at the SA-1110's 206 MHz at one instruction a clock, the StrongARM's best: its
loads hold the next instruction a clock where it uses the loaded value, and each 32-byte line
of the payloads it reads comes from memory, so the real time is longer.
"""
import sys

from elftools.elf.constants import SH_FLAGS
from elftools.common.exceptions import ELFError
from elftools.elf.elffile import ELFFile
from unicorn import UC_ARCH_ARM, UC_HOOK_BLOCK, UC_MODE_ARM, UC_PROT_ALL, Uc, UcError
from unicorn.arm_const import (UC_ARM_REG_CPSR, UC_ARM_REG_LR, UC_ARM_REG_PC, UC_ARM_REG_R0,
                               UC_ARM_REG_SP, UC_CPU_ARM_SA1110)

CHECK = "_Z13CheckPayloadsR14UpgradeContext"
STEP_LIMIT_S = 60
CLOCK_HZ = 206e6  # the SA-1110 of the Pocket PCs that carry the receiver's sleeve
PAGE = 0x1000
STACK_TOP = 0x01000000
STACK_SIZE = 0x10000
CONTEXT_BYTES = 0x1000  # more than an UpgradeContext
RETURN_ADDRESS = 0x02000000  # mapped, and never code of the program's
USER_MODE = 0x10


def page_span(start, size):
    first = start & ~(PAGE - 1)
    return first, (start + size - first + PAGE - 1) & ~(PAGE - 1)


def main(elf_path):
    try:
        return measure(elf_path)
    except (OSError, ELFError) as error:
        print("measure: %s is not the ARM program's linked image: %s" % (elf_path, error),
              file=sys.stderr)
        return 1


def measure(elf_path):
    uc = Uc(UC_ARCH_ARM, UC_MODE_ARM)
    uc.ctl_set_cpu_model(UC_CPU_ARM_SA1110)
    with open(elf_path, "rb") as stream:
        elf = ELFFile(stream)
        for section in elf.iter_sections():
            if section["sh_flags"] & SH_FLAGS.SHF_ALLOC and section["sh_size"]:
                uc.mem_map(*page_span(section["sh_addr"], section["sh_size"]), UC_PROT_ALL)
                if section["sh_type"] != "SHT_NOBITS":
                    uc.mem_write(section["sh_addr"], section.data())
        symbols = elf.get_section_by_name(".symtab")
        entry = next((s["st_value"] for s in symbols.iter_symbols() if s.name == CHECK), None)
    if entry is None:
        print("measure: %s has no CheckPayloads" % elf_path, file=sys.stderr)
        return 1
    uc.mem_map(STACK_TOP - STACK_SIZE, STACK_SIZE, UC_PROT_ALL)
    uc.mem_map(RETURN_ADDRESS, PAGE, UC_PROT_ALL)

    counted = [0]
    uc.hook_add(UC_HOOK_BLOCK, lambda uc, address, size, data: counted.__setitem__(
        0, counted[0] + size // 4))
    uc.reg_write(UC_ARM_REG_CPSR, USER_MODE)
    uc.reg_write(UC_ARM_REG_SP, STACK_TOP - CONTEXT_BYTES)
    uc.reg_write(UC_ARM_REG_R0, STACK_TOP - CONTEXT_BYTES)
    uc.reg_write(UC_ARM_REG_LR, RETURN_ADDRESS)
    try:
        uc.emu_start(entry, RETURN_ADDRESS, timeout=STEP_LIMIT_S * 1000000)
    except UcError as error:
        print("measure: the check did not return: %s" % error, file=sys.stderr)
        return 1
    if uc.reg_read(UC_ARM_REG_PC) != RETURN_ADDRESS:
        print("measure: the check did not return within %d s" % STEP_LIMIT_S, file=sys.stderr)
        return 1
    instructions = counted[0]
    print("CheckPayloads on the SA-1110: %d instructions, %.1f ms at 206 MHz at one "
          "instruction a clock" % (instructions, instructions / CLOCK_HZ * 1e3))
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
