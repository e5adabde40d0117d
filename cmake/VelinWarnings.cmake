# Compiler flags shared by every target of the suite.
add_compile_options(-Wall -Wextra -Wpedantic)
# Processor faults (integer division by zero) become C++ exceptions at the faulting instruction.
add_compile_options(-fnon-call-exceptions)
if(VELIN_WERROR)
    add_compile_options(-Werror)
endif()
# ccache gives back objects, not programs: every build links its hundred programs afresh, and lld
# links them three to four times faster than the system's linker.
if(VELIN_LLD)
    find_program(VELIN_LLD_PROGRAM ld.lld)
    if(NOT VELIN_LLD_PROGRAM)
        message(FATAL_ERROR "VELIN_LLD is on but ld.lld is not installed: scripts/setup installs it (package lld), "
                            "or configure with -DVELIN_LLD=OFF")
    endif()
    add_link_options(-fuse-ld=lld)
endif()

if(VELIN_SANITIZE)
    # The division-by-zero check is left out: integer division by zero must reach the signal
    # handler that turns it into an exception, and UBSan would report it first.
    set(velin_sanitize_flags -fsanitize=address,undefined -fno-sanitize=integer-divide-by-zero
        -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    add_compile_options(${velin_sanitize_flags})
    # The sanitizers' instrumentation makes GCC 12 report false "may be used uninitialized"
    # warnings inside the standard library (std::regex, std::function).
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        add_compile_options(-Wno-maybe-uninitialized)
    endif()
    add_link_options(${velin_sanitize_flags})
endif()

if(VELIN_TSAN)
    if(VELIN_SANITIZE)
        message(FATAL_ERROR "VELIN_TSAN and VELIN_SANITIZE exclude each other: ThreadSanitizer runs alone")
    endif()
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        # GCC 12 warns wherever a std::atomic_thread_fence is inlined, which TSan does not model;
        # the suite calls none, and one inlined from a library's header must not stop the build.
        add_compile_options(-Wno-tsan)
    endif()
endif()

# GCC 12 at -O3 reports overlaps that cannot happen inside std::string's operator+ (GCC bug
# 105329); with warnings as errors that stopped every Release build.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    add_compile_options($<$<CONFIG:Release>:-Wno-restrict>)
endif()
