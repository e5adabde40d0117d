# Helpers for the test tree: one GoogleTest executable per folder, labelled for ctest.
include(GoogleTest)

# velin_add_gtest(NAME <target> LABEL <unit|integration> SOURCES ... LIBS ... [PROPERTIES ...]
#                 [SLOW <gtest filter>])
# The tests matching SLOW (hundreds of megabytes of input) get the label "slow" as well:
# scripts/test runs them in the normal build only, where they take seconds, not minutes.
function(velin_add_gtest)
    cmake_parse_arguments(arg "" "NAME;LABEL;SLOW" "SOURCES;LIBS;PROPERTIES" ${ARGN})
    add_executable(${arg_NAME} ${arg_SOURCES})
    target_compile_definitions(${arg_NAME} PRIVATE VELIN_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
    target_link_libraries(${arg_NAME} PRIVATE ${arg_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
    if(arg_SLOW)
        gtest_discover_tests(${arg_NAME}
            DISCOVERY_MODE PRE_TEST
            TEST_FILTER "-${arg_SLOW}"
            PROPERTIES LABELS ${arg_LABEL} ${arg_PROPERTIES})
        gtest_discover_tests(${arg_NAME}
            DISCOVERY_MODE PRE_TEST
            TEST_FILTER "${arg_SLOW}"
            TEST_LIST ${arg_NAME}_slow_tests
            PROPERTIES ${arg_PROPERTIES})
        # A list cannot be handed through the discovery's properties: the labels are set by a
        # file that ctest reads after the discovered tests.
        set(labels ${CMAKE_CURRENT_BINARY_DIR}/${arg_NAME}_slow_labels.cmake)
        file(WRITE ${labels}
            "foreach(test IN LISTS ${arg_NAME}_slow_tests)\n"
            "    set_tests_properties(\"\${test}\" PROPERTIES LABELS \"${arg_LABEL}\;slow\")\n"
            "endforeach()\n")
        set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${labels})
    else()
        gtest_discover_tests(${arg_NAME}
            DISCOVERY_MODE PRE_TEST
            PROPERTIES LABELS ${arg_LABEL} ${arg_PROPERTIES})
    endif()
endfunction()

# velin_add_fuzzer(NAME <target> SOURCE <file> LIBS ...)
# With VELIN_FUZZ (clang) the target is a libFuzzer binary. Otherwise it is linked with a small
# driver that replays the seed corpus and a few thousand generated inputs, and runs under ctest.
# The libraries a fuzz target calls must carry the coverage instrumentation too, or the fuzzer
# sees only its own small entry function.
if(VELIN_FUZZ)
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()

function(velin_add_fuzzer)
    cmake_parse_arguments(arg "" "NAME;SOURCE;CORPUS" "LIBS" ${ARGN})
    add_executable(${arg_NAME} ${arg_SOURCE})
    target_link_libraries(${arg_NAME} PRIVATE ${arg_LIBS})
    target_compile_definitions(${arg_NAME} PRIVATE VELIN_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
    if(VELIN_FUZZ)
        target_compile_options(${arg_NAME} PRIVATE -fsanitize=fuzzer)
        target_link_options(${arg_NAME} PRIVATE -fsanitize=fuzzer)
    else()
        target_sources(${arg_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/tests/fuzz/replay_main.cpp)
        set(corpus "")
        if(arg_CORPUS)
            set(corpus ${arg_CORPUS})
        endif()
        add_test(NAME fuzz.${arg_NAME} COMMAND ${arg_NAME} ${corpus})
        set_tests_properties(fuzz.${arg_NAME} PROPERTIES LABELS unit TIMEOUT 300)
    endif()
endfunction()
