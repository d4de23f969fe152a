# installer_fuzz(NAME SOURCE x_fuzz.cpp LIBS lib ...)
# One fuzz target over a parser of untrusted input, with its seed corpus committed beside it in
# the folder x_fuzz_corpus/.
#   fuzz build (-DINSTALLER_FUZZ=ON, clang): a libFuzzer binary with AddressSanitizer and
#     UndefinedBehaviorSanitizer; `fuzzers` builds them all, testbed/fuzz-run runs them;
#   host build: the same target linked to a replay driver that runs it over every file of its
#     corpus, registered with CTest as NAME_corpus (label fuzz), so the corpus is a regression
#     test without clang.
if(NOT TARGET fuzzers AND INSTALLER_FUZZ)
    add_custom_target(fuzzers)
endif()

function(installer_fuzz name)
    if(INSTALLER_TARGET)
        return()
    endif()
    cmake_parse_arguments(F "" "SOURCE" "LIBS" ${ARGN})
    # The corpus lies beside the source, also for a source listed from an included file.
    get_filename_component(source ${F_SOURCE} ABSOLUTE)
    get_filename_component(folder ${source} DIRECTORY)
    get_filename_component(stem ${source} NAME_WE)
    set(F_CORPUS ${folder}/${stem}_corpus)
    if(NOT IS_DIRECTORY ${F_CORPUS})
        message(FATAL_ERROR "${name}: no seed corpus at ${F_CORPUS}")
    endif()
    add_executable(${name} ${F_SOURCE})
    target_link_libraries(${name} PRIVATE ${F_LIBS} installer_fuzz_support)
    target_compile_definitions(${name} PRIVATE INSTALLER_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
    if(INSTALLER_FUZZ)
        target_link_options(${name} PRIVATE -fsanitize=fuzzer)
        add_dependencies(fuzzers ${name})
    else()
        target_link_libraries(${name} PRIVATE installer_fuzz_replay)
        add_test(NAME ${name}_corpus COMMAND ${name} ${F_CORPUS})
        set_tests_properties(${name}_corpus PROPERTIES LABELS fuzz TIMEOUT 300)
    endif()
    # Where testbed/fuzz-run finds each target and its corpus: one line "binary corpus".
    file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/fuzz-targets/${name}
         CONTENT "$<TARGET_FILE:${name}> ${F_CORPUS}\n")
endfunction()
