# Writes the header with the public key the installer checks package signatures against.
#   cmake -DKEY_FILE=<key file> -DOUTPUT=<header> -P SignaturePublicKey.cmake
# The key file holds 64 hex digits (the form `rpx keygen` writes; surrounding white space is
# ignored) or the 32 key bytes themselves.
if(NOT EXISTS "${KEY_FILE}")
    message(FATAL_ERROR "${KEY_FILE}: public key file not found")
endif()
file(READ "${KEY_FILE}" text)
string(STRIP "${text}" text)
if(text MATCHES "^[0-9a-fA-F]+$" AND NOT text MATCHES "[^0-9a-fA-F]")
    string(LENGTH "${text}" digits)
    if(NOT digits EQUAL 64)
        message(FATAL_ERROR "${KEY_FILE}: ${digits} hex digits, a public key has 64")
    endif()
    set(hex "${text}")
else()
    file(READ "${KEY_FILE}" hex HEX)
    string(LENGTH "${hex}" digits)
    if(NOT digits EQUAL 64)
        message(FATAL_ERROR "${KEY_FILE}: neither 64 hex digits nor 32 bytes")
    endif()
endif()
string(TOLOWER "${hex}" hex)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " bytes "${hex}")
string(STRIP "${bytes}" bytes)
file(WRITE "${OUTPUT}"
"// Generated from ${KEY_FILE}; do not edit.
#pragma once

#include <cstdint>

constexpr uint8_t installerPublicKey[32] = {${bytes}};
")
