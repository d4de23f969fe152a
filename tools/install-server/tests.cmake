# In-process tests of the server's protocol side and of the served directory.
installer_test(install_server_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/engine_test.cpp
    LIBS install_server_core)
