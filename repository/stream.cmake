# Installing package streams: single packages and bundles with their members.
target_sources(installer_repository PRIVATE ${CMAKE_CURRENT_LIST_DIR}/install_stream.cpp)
installer_test(install_stream_test LABELS root
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/install_stream_test.cpp
    LIBS installer_repository installer_test_signing)
