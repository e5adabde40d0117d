# Helpers for the test tree: one GoogleTest executable per folder, labelled for ctest.
include(GoogleTest)

# velin_add_gtest(NAME <target> LABEL <unit|integration> SOURCES ... LIBS ... [PROPERTIES ...])
function(velin_add_gtest)
    cmake_parse_arguments(arg "" "NAME;LABEL" "SOURCES;LIBS;PROPERTIES" ${ARGN})
    add_executable(${arg_NAME} ${arg_SOURCES})
    target_compile_definitions(${arg_NAME} PRIVATE VELIN_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
    target_link_libraries(${arg_NAME} PRIVATE ${arg_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
    gtest_discover_tests(${arg_NAME}
        DISCOVERY_MODE PRE_TEST
        PROPERTIES LABELS ${arg_LABEL} ${arg_PROPERTIES})
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
