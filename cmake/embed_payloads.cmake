# Turns the two payload files into one C++ source of constant data, laid out as the
# receiver expects to be fed from: the loader, 4 zero bytes, the ROM image, each on a
# 4-byte boundary. Run in script mode:
#   cmake -DLOADER=... -DROM=... -DLOADER_SIZE=... -DROM_SIZE=... -DOUTPUT=... -P embed_payloads.cmake
# A file of the wrong size stops the build: the protocol's constants (the loader's
# length frame, the chunk loop's end, the percentage divisor) are fixed to these sizes.

function(hex_bytes path expected out_var)
    file(SIZE "${path}" size)
    if(NOT size EQUAL expected)
        message(FATAL_ERROR "${path} is ${size} bytes; the updater is built for exactly ${expected}. "
                            "Regenerate it with tools/make_payloads.py or fix the size constants.")
    endif()
    file(READ "${path}" hex HEX)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," hex "${hex}")
    # Break the initialiser into lines of 32 bytes so the compiler and diffs stay sane.
    string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){32})" "\\1\n" hex "${hex}")
    set(${out_var} "${hex}" PARENT_SCOPE)
endfunction()

hex_bytes("${LOADER}" ${LOADER_SIZE} loader_hex)
hex_bytes("${ROM}" ${ROM_SIZE} rom_hex)

file(WRITE "${OUTPUT}.tmp" "// Generated from res/ by cmake/embed_payloads.cmake. Do not edit.
#include \"engine/payload_images.h\"

namespace {
struct alignas(4) PayloadBlock {
    unsigned char loader[${LOADER_SIZE}];
    unsigned char alignment[4];
    unsigned char rom[${ROM_SIZE}];
};

const PayloadBlock kPayloads = {
{${loader_hex}},
{0, 0, 0, 0},
{${rom_hex}},
};
}  // namespace

const unsigned char* const LoaderImage = kPayloads.loader;
const unsigned char* const RomImage = kPayloads.rom;
")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
