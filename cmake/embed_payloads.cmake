# Turns the two payload files into one C++ source of constant data, laid out as the
# receiver expects to be fed from: the loader, 4 zero bytes, the ROM image, each on a
# 4-byte boundary; and beside them the CRC-32 of each, which a run checks them against.
# Run in script mode:
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

# The CRC-32 of a file as zip and PNG compute it (CRC-32/ISO-HDLC: reflected polynomial
# 0x04C11DB7, initial value and final exclusive-or 0xFFFFFFFF), as a C hexadecimal number:
# the value a run checks the embedded payload against (engine/payload_check.h).
function(crc32_of path out_var)
    set(table "")
    foreach(i RANGE 255)
        set(v ${i})
        foreach(bit RANGE 7)
            math(EXPR low "${v} & 1")
            if(low)
                math(EXPR v "(${v} >> 1) ^ 0xEDB88320")
            else()
                math(EXPR v "${v} >> 1")
            endif()
        endforeach()
        list(APPEND table ${v})
    endforeach()
    file(READ "${path}" hex HEX)
    string(REGEX MATCHALL ".." bytes "${hex}")
    set(crc 0xFFFFFFFF)
    foreach(byte IN LISTS bytes)
        math(EXPR index "(${crc} ^ 0x${byte}) & 0xFF")
        list(GET table ${index} entry)
        math(EXPR crc "(${crc} >> 8) ^ ${entry}")
    endforeach()
    math(EXPR crc "${crc} ^ 0xFFFFFFFF" OUTPUT_FORMAT HEXADECIMAL)
    set(${out_var} ${crc} PARENT_SCOPE)
endfunction()

hex_bytes("${LOADER}" ${LOADER_SIZE} loader_hex)
hex_bytes("${ROM}" ${ROM_SIZE} rom_hex)
crc32_of("${LOADER}" loader_crc)
crc32_of("${ROM}" rom_crc)

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
extern const uint32_t LOADER_IMAGE_CRC = ${loader_crc};
extern const uint32_t ROM_IMAGE_CRC = ${rom_crc};
")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
