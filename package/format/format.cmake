# The stream reader with its SHA-1 and inflating stream, the file format's records and their
# writer.
target_sources(installer_package PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/format.cpp
    ${CMAKE_CURRENT_LIST_DIR}/writer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/block_hash.cpp
    ${CMAKE_CURRENT_LIST_DIR}/hex_text.cpp
    ${CMAKE_CURRENT_LIST_DIR}/sha1.cpp
    ${CMAKE_CURRENT_LIST_DIR}/reader.cpp
    ${CMAKE_CURRENT_LIST_DIR}/reader_signature.cpp
    ${CMAKE_CURRENT_LIST_DIR}/inflate.cpp)

if(NOT INSTALLER_TARGET)
    find_package(OpenSSL REQUIRED)
    installer_test(package_sha1_test LABELS unit SOURCES ${CMAKE_CURRENT_LIST_DIR}/sha1_test.cpp
                   LIBS installer_package OpenSSL::Crypto)
    installer_test(package_reader_test LABELS unit SOURCES ${CMAKE_CURRENT_LIST_DIR}/reader_test.cpp
                   ${CMAKE_CURRENT_LIST_DIR}/inflate_test.cpp LIBS installer_package)
endif()

installer_fuzz(package_reader_fuzz SOURCE ${CMAKE_CURRENT_LIST_DIR}/reader_fuzz.cpp
               LIBS installer_package)
