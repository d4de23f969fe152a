# Writes the known-digest table: the SHA-1 digests of unsigned packages that are accepted.
#   cmake -DINPUT=<text file> -DOUTPUT=<source file> [-DSYMBOL=<prefix>] -P KnownDigestTable.cmake
# One digest per line as 40 hex digits; empty lines and lines starting with # are ignored.
# More than 1227 digests, or any other line, stops the build with the file and line named.
if(NOT SYMBOL)
    set(SYMBOL knownDigest)
endif()
set(capacity 1227)
if(NOT EXISTS "${INPUT}")
    message(FATAL_ERROR "${INPUT}: known-digest file not found")
endif()
file(READ "${INPUT}" content)
# Characters that CMake lists treat specially never belong in a valid line; neutralise them so
# that such a line is reported like any other malformed one.
string(REGEX REPLACE "[][;\\\\]" "?" content "${content}")
string(REPLACE "\n" ";" lines "${content}")
set(entries "")
set(count 0)
set(number 0)
foreach(line IN LISTS lines)
    math(EXPR number "${number} + 1")
    string(STRIP "${line}" line)
    if(line STREQUAL "" OR line MATCHES "^#")
        continue()
    endif()
    if(NOT line MATCHES "^[0-9a-fA-F]+$" OR line MATCHES "[^0-9a-fA-F]")
        message(FATAL_ERROR "${INPUT}:${number}: not a SHA-1 digest of 40 hex digits: ${line}")
    endif()
    string(LENGTH "${line}" digits)
    if(NOT digits EQUAL 40)
        message(FATAL_ERROR "${INPUT}:${number}: not a SHA-1 digest of 40 hex digits: ${line}")
    endif()
    math(EXPR count "${count} + 1")
    if(count GREATER capacity)
        message(FATAL_ERROR "${INPUT}:${number}: more than ${capacity} known digests")
    endif()
    string(TOLOWER "${line}" line)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${line}")
    string(APPEND entries "    {${bytes}},\n")
endforeach()
if(count EQUAL 0)
    set(entries "    {0},\n") # an array needs one element; the count says there are none
endif()
file(WRITE "${OUTPUT}"
"// Generated from ${INPUT}; do not edit.
#include <cstddef>
#include <cstdint>

namespace installer {

extern const uint8_t ${SYMBOL}Table[][20];
extern const size_t ${SYMBOL}Count;

const uint8_t ${SYMBOL}Table[][20] = {
${entries}};
const size_t ${SYMBOL}Count = ${count};

} // namespace installer
")
