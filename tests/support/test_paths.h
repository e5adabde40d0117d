// Where a test program finds the source tree, the build tree and the programs it runs.
//
// Each such folder or program is a macro (VELIN_SOURCE_DIR, VELIN_PKI_FIXTURES, ...) that calls
// velin_test_path with its own name; the values live in one small file CMake generates for each
// program (velin_test_paths() in cmake/VelinTesting.cmake). The test sources themselves then hold
// no path of the clone they were compiled in, so another clone (CI) gets their objects from
// ccache. The compiler reads this header before every C++ source of such a program (-include).
#pragma once

// The value of the path macro called name. A name the program was not given ends it with a
// message that says so.
extern "C" const char* velin_test_path(const char* name);
