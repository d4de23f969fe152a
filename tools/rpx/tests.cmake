# Tests of the package tool, in-process through rpx_core and through the rpx program itself.
installer_test(rpx_test LABELS unit
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/manifest_test.cpp ${CMAKE_CURRENT_LIST_DIR}/rpx_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/rpx_cli_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/reader_signature_test.cpp
    LIBS rpx_core)
if(TARGET rpx_test)
    target_compile_definitions(rpx_test PRIVATE RPX_BINARY="$<TARGET_FILE:rpx>")
    add_dependencies(rpx_test rpx)
endif()
