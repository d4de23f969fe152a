# The signer: key pairs, key files and signing a digest (host only), with its tests.
if(NOT TARGET rpx_signer)
    add_library(rpx_signer STATIC ${CMAKE_CURRENT_LIST_DIR}/signer.cpp)
    target_link_libraries(rpx_signer PUBLIC installer_package)
endif()

find_package(OpenSSL REQUIRED)
installer_test(signer_test LABELS unit
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/signer_test.cpp ${CMAKE_CURRENT_LIST_DIR}/signer_target_test.cpp
    LIBS rpx_signer OpenSSL::Crypto)
if(TARGET signer_test)
    # The 32-bit program of the nested target build that answers the cross-checks.
    target_compile_definitions(signer_test PRIVATE
        SIGNATURE_CROSS_CHECK="${CMAKE_BINARY_DIR}/target/package/signature_cross_check")
    if(TARGET installer32)
        add_dependencies(signer_test installer32)
    endif()
endif()
