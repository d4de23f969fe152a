# The package-installer child and the image store.
target_sources(installer_network PRIVATE ${CMAKE_CURRENT_LIST_DIR}/installer_child.cpp
                                         ${CMAKE_CURRENT_LIST_DIR}/image_store.cpp)
target_link_libraries(installer_network PUBLIC installer_repository)
installer_test(installer_child_test LABELS root
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/installer_child_test.cpp
    LIBS installer_network installer_test_signing)
