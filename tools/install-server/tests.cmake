# In-process tests of the server's protocol side, of the served directory and of the unit file.
installer_test(install_server_test LABELS unit
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/engine_test.cpp ${CMAKE_CURRENT_LIST_DIR}/layout_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/unit_test.cpp
    LIBS install_server_core installer_test_signing)
if(TARGET install_server_test)
    add_dependencies(install_server_test install-server)
endif()
# Over veth pairs between network namespaces of the test's own (root).
installer_test(install_server_network_test LABELS root
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/network_test.cpp
    LIBS installer_netns nlohmann_json::nlohmann_json)
if(TARGET install_server_network_test)
    add_dependencies(install_server_network_test install-server samples)
endif()
# The real installer in the sandbox against the server (root).
installer_test(install_server_sandbox_test LABELS sandbox
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/installer_sandbox_test.cpp
    LIBS installer_sandbox installer_netns nlohmann_json::nlohmann_json)
if(TARGET install_server_sandbox_test)
    add_dependencies(install_server_sandbox_test install-server rpx samples)
endif()
