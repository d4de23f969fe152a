# Planning: install checks, ordering, and the plan of uninstalls, disables and enables.
target_sources(installer_repository PRIVATE ${CMAKE_CURRENT_LIST_DIR}/planning.cpp)
installer_test(planning_test LABELS unit
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/planning_test.cpp
    LIBS installer_repository
    ROOT_CASES "PlanTest.ApplyingEnablesDisablesAndUninstallsTheDatabase") # a private /flash
