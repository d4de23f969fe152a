# Signature checks: the signature hash, field and curve arithmetic, the compiled-in public key
# and the known-digest table (both generated at build time from the files chosen at configure
# time: INSTALLER_PUBLIC_KEY, INSTALLER_KNOWN_DIGESTS).
set(SIGNATURE_GENERATED ${CMAKE_BINARY_DIR}/generated/package)
file(MAKE_DIRECTORY ${SIGNATURE_GENERATED})

add_custom_command(
    OUTPUT ${SIGNATURE_GENERATED}/signature_public_key.h
    COMMAND ${CMAKE_COMMAND} -DKEY_FILE=${INSTALLER_PUBLIC_KEY}
            -DOUTPUT=${SIGNATURE_GENERATED}/signature_public_key.h
            -P ${CMAKE_SOURCE_DIR}/cmake/SignaturePublicKey.cmake
    DEPENDS ${INSTALLER_PUBLIC_KEY} ${CMAKE_SOURCE_DIR}/cmake/SignaturePublicKey.cmake
    COMMENT "Public key for package signatures from ${INSTALLER_PUBLIC_KEY}"
    VERBATIM)

# known_digest_table(<input text file> <output source> <symbol prefix>)
function(known_digest_table input output symbol)
    add_custom_command(
        OUTPUT ${output}
        COMMAND ${CMAKE_COMMAND} -DINPUT=${input} -DOUTPUT=${output} -DSYMBOL=${symbol}
                -P ${CMAKE_SOURCE_DIR}/cmake/KnownDigestTable.cmake
        DEPENDS ${input} ${CMAKE_SOURCE_DIR}/cmake/KnownDigestTable.cmake
        COMMENT "Known-digest table from ${input}"
        VERBATIM)
endfunction()
known_digest_table(${INSTALLER_KNOWN_DIGESTS} ${SIGNATURE_GENERATED}/known_digest_table.cpp
                   knownDigest)

target_sources(installer_package PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/field25519.cpp
    ${CMAKE_CURRENT_LIST_DIR}/field25519_five_limbs.cpp
    ${CMAKE_CURRENT_LIST_DIR}/field25519_ten_limbs.cpp
    ${CMAKE_CURRENT_LIST_DIR}/signature_hash.cpp
    ${CMAKE_CURRENT_LIST_DIR}/signature_ladder.cpp
    ${CMAKE_CURRENT_LIST_DIR}/signature.cpp
    ${CMAKE_CURRENT_LIST_DIR}/known_digests.cpp
    ${SIGNATURE_GENERATED}/known_digest_table.cpp
    ${SIGNATURE_GENERATED}/signature_public_key.h)

if(INSTALLER_TARGET)
    # Host tests run the 32-bit arithmetic through this program (tools/rpx/signer.cmake).
    add_executable(signature_cross_check ${CMAKE_CURRENT_LIST_DIR}/signature_cross_check.cpp)
    target_link_libraries(signature_cross_check PRIVATE installer_package)
else()
    find_package(OpenSSL REQUIRED)
    # A full table of 1227 made-up digests, between comments and empty lines, built through the
    # same generator into the test binary.
    set(full_table_text ${CMAKE_CURRENT_BINARY_DIR}/known_digests_full.txt)
    set(text "# 1227 test digests\n\n")
    foreach(i RANGE 1 1227)
        string(SHA1 digest "known digest ${i}")
        string(APPEND text "${digest}\n")
        if(i EQUAL 600)
            string(APPEND text "   \n# half way\n")
        endif()
    endforeach()
    file(CONFIGURE OUTPUT ${full_table_text} CONTENT "${text}")
    known_digest_table(${full_table_text} ${CMAKE_CURRENT_BINARY_DIR}/known_digests_full.cpp
                       fullTestDigest)

    installer_test(signature_test LABELS unit
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/field25519_test.cpp
                ${CMAKE_CURRENT_LIST_DIR}/signature_hash_test.cpp
                ${CMAKE_CURRENT_LIST_DIR}/signature_ladder_test.cpp
                ${CMAKE_CURRENT_LIST_DIR}/known_digests_test.cpp
                ${CMAKE_CURRENT_LIST_DIR}/signature_test.cpp
                ${CMAKE_CURRENT_BINARY_DIR}/known_digests_full.cpp
        LIBS installer_package OpenSSL::Crypto)
    if(TARGET signature_test)
        target_compile_definitions(signature_test PRIVATE
            CMAKE_COMMAND_PATH="${CMAKE_COMMAND}"
            KNOWN_DIGEST_GENERATOR="${CMAKE_SOURCE_DIR}/cmake/KnownDigestTable.cmake"
            PUBLIC_KEY_GENERATOR="${CMAKE_SOURCE_DIR}/cmake/SignaturePublicKey.cmake")
        add_dependencies(signature_test installer_package)
    endif()

    # The 32-bit installer's ten-limb arithmetic under the same field and curve tests, on the host.
    installer_test(signature_ten_limbs_test LABELS unit
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/field25519_test.cpp
                ${CMAKE_CURRENT_LIST_DIR}/signature_ladder_test.cpp
                ${CMAKE_CURRENT_LIST_DIR}/field25519.cpp
                ${CMAKE_CURRENT_LIST_DIR}/field25519_five_limbs.cpp
                ${CMAKE_CURRENT_LIST_DIR}/field25519_ten_limbs.cpp
                ${CMAKE_CURRENT_LIST_DIR}/signature_ladder.cpp
        LIBS OpenSSL::Crypto)
    if(TARGET signature_ten_limbs_test)
        target_compile_definitions(signature_ten_limbs_test PRIVATE FIELD25519_TEN_LIMBS)
    endif()
endif()
