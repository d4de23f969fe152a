# Package records: version words, the database record, package files on media, header parsing,
# relations, and the confined lookup of paths below an installation root.
target_sources(installer_package PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/version.cpp
    ${CMAKE_CURRENT_LIST_DIR}/record_reporter.cpp
    ${CMAKE_CURRENT_LIST_DIR}/record_files.cpp
    ${CMAKE_CURRENT_LIST_DIR}/record_root.cpp
    ${CMAKE_CURRENT_LIST_DIR}/record_text.cpp
    ${CMAKE_CURRENT_LIST_DIR}/record_header.cpp
    ${CMAKE_CURRENT_LIST_DIR}/record_relations.cpp
    ${CMAKE_CURRENT_LIST_DIR}/installed_package.cpp
    ${CMAKE_CURRENT_LIST_DIR}/package_file.cpp)

installer_test(package_version_test LABELS unit
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/version_test.cpp LIBS installer_package)
installer_test(record_test LABELS unit
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/record_test.cpp LIBS installer_package)
# Runs parts of its tests as root in a private mount namespace (testbed/support/private_root.h).
installer_test(installed_package_test LABELS root
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/installed_package_test.cpp
    LIBS installer_package)

installer_fuzz(package_file_fuzz SOURCE ${CMAKE_CURRENT_LIST_DIR}/package_file_fuzz.cpp
               LIBS installer_package)
