# rpx install and rpx list: package files into a directory standing for /flash, and its
# package database.
target_sources(rpx PRIVATE ${CMAKE_CURRENT_LIST_DIR}/install_command.cpp
                           ${CMAKE_CURRENT_LIST_DIR}/list_command.cpp)
target_link_libraries(rpx PRIVATE installer_network)
installer_test(rpx_install_test LABELS root
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/install_command_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/list_command.cpp
    LIBS rpx_core)
if(TARGET rpx_install_test)
    target_compile_definitions(rpx_install_test PRIVATE RPX_BINARY="$<TARGET_FILE:rpx>"
        SAMPLES_DIR="${CMAKE_BINARY_DIR}/samples")
    add_dependencies(rpx_install_test rpx) # and the samples, which samples/ adds
endif()
