# The signer: key pairs, key files and signing a digest (host only), with its tests.
if(NOT TARGET rpx_signer)
    add_library(rpx_signer STATIC ${CMAKE_CURRENT_LIST_DIR}/signer.cpp)
    target_link_libraries(rpx_signer PUBLIC installer_package)
endif()

find_package(OpenSSL REQUIRED)
installer_test(signer_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/signer_test.cpp
    LIBS rpx_signer OpenSSL::Crypto)
