# The certificates the programs carry as trust anchors, and where each comes from:
#   VELIN_EU_LIST_SIGNERS_PEM    signers of the European list of trusted lists (default: the ones of
#                                the Official Journal, res/VelinVerify/trust/)
#   VELIN_LIST_PUBLISHER_PEM     publisher of data/cnipa.sst (default: none, the list is not used)
#   VELIN_UPDATE_AUTHORITY_PEM   authority of the package publishers (default: none, the update run
#                                downloads nothing)
# VELIN_TEST_TRUST adds the test PKI's certificates, which sign the test lists and packages: only
# scripts/test builds with it. VELIN_RELEASE (the release preset) refuses any anchor taken from
# tests/, whose private keys anyone can read.
#
# The functions work in script mode too: tests/unit/trust (check_trust_anchors.cmake) runs them with cmake -P.
include_guard(GLOBAL)

# Sets velin_eu_list_signer_files, velin_list_publisher_file and velin_update_authority_file in the
# caller's scope: the files given, plus the test PKI's when test_trust is on.
function(velin_trust_files source_dir test_trust eu_given publisher_given authority_given)
    set(eu ${eu_given})
    set(publisher "${publisher_given}")
    set(authority "${authority_given}")
    if(test_trust)
        list(APPEND eu ${source_dir}/tests/fixtures/tsl/eu-signer.cert.pem)
        list(REMOVE_DUPLICATES eu)
        if(publisher STREQUAL "")
            set(publisher ${source_dir}/tests/fixtures/pki/publisher.cert.pem)
        endif()
        if(authority STREQUAL "")
            set(authority ${source_dir}/tests/fixtures/pki/update/update-authority.cert.pem)
        endif()
    endif()
    set(velin_eu_list_signer_files ${eu} PARENT_SCOPE)
    set(velin_list_publisher_file "${publisher}" PARENT_SCOPE)
    set(velin_update_authority_file "${authority}" PARENT_SCOPE)
endfunction()

# Sets <out> to why these anchors cannot go into a release build, one sentence each; empty when
# they can. A file counts as under tests/ by its real path, so neither "../" nor a link hides it.
function(velin_release_trust_problems out source_dir test_trust)
    set(problems "")
    if(test_trust)
        string(APPEND problems "VELIN_TEST_TRUST is on: a release build trusts no test certificate. ")
    endif()
    get_filename_component(tests_dir ${source_dir}/tests REALPATH)
    foreach(file IN LISTS ARGN)
        get_filename_component(real ${file} REALPATH)
        string(FIND "${real}/" "${tests_dir}/" at)
        if(at EQUAL 0)
            string(APPEND problems "${file} lies under tests/: its private key is public. ")
        endif()
    endforeach()
    string(STRIP "${problems}" problems)
    set(${out} "${problems}" PARENT_SCOPE)
endfunction()

# Sets <out> to the PEM text of the files, one after the other; stops the configuration when a
# file is missing or holds no certificate.
function(velin_read_pems out variable)
    set(text "")
    foreach(file IN LISTS ARGN)
        if(NOT EXISTS ${file})
            message(FATAL_ERROR "${variable}: ${file} does not exist")
        endif()
        file(READ ${file} content)
        if(NOT content MATCHES "-----BEGIN CERTIFICATE-----")
            message(FATAL_ERROR "${variable}: ${file} holds no PEM certificate")
        endif()
        string(APPEND text "${content}\n")
    endforeach()
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Compiles the certificates of the files into target as `const char* const <symbol>` (empty text
# when there are none), declared in header. Editing a file configures again.
function(velin_embed_pems target symbol header variable)
    velin_read_pems(velin_pem_text ${variable} ${ARGN})
    foreach(file IN LISTS ARGN)
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${file})
    endforeach()
    set(source ${CMAKE_CURRENT_BINARY_DIR}/${symbol}.cpp)
    file(CONFIGURE OUTPUT ${source}
        CONTENT "// Generated from ${variable}.\n#include \"${header}\"\n\nnamespace velin {\n\nconst char* const ${symbol} = R\"velin_pem(@velin_pem_text@)velin_pem\";\n\n} // namespace velin\n"
        @ONLY)
    target_sources(${target} PRIVATE ${source})
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
    return()
endif()

option(VELIN_TEST_TRUST "Also trust the test PKI's list signers, list publisher and update authority (tests only)" OFF)
option(VELIN_RELEASE "A build for installation: refuse anchors taken from tests/" OFF)
set(VELIN_EU_LIST_SIGNERS_PEM ${PROJECT_SOURCE_DIR}/res/VelinVerify/trust/eu-lotl-signers-oj-2019.pem
    CACHE FILEPATH "PEM certificates of the signers of the European list of trusted lists")
set(VELIN_LIST_PUBLISHER_PEM "" CACHE FILEPATH
    "PEM certificate of the publisher that signs data/cnipa.sst (empty: the list is not used)")
set(VELIN_UPDATE_AUTHORITY_PEM "" CACHE FILEPATH
    "PEM certificate of the authority that issues the package publishers' certificates (empty: no updates)")

# A build folder configured before the test anchors needed their own option still holds them in its
# cache: without the option they go back to the defaults, so that no build trusts them unasked.
if(NOT VELIN_TEST_TRUST)
    foreach(variable VELIN_EU_LIST_SIGNERS_PEM VELIN_LIST_PUBLISHER_PEM VELIN_UPDATE_AUTHORITY_PEM)
        velin_release_trust_problems(velin_cached_problem ${PROJECT_SOURCE_DIR} OFF ${${variable}})
        if(velin_cached_problem)
            message(WARNING "${variable} named a test certificate (${${variable}}); back to the default.")
            set(velin_default "")
            if(variable STREQUAL "VELIN_EU_LIST_SIGNERS_PEM")
                set(velin_default ${PROJECT_SOURCE_DIR}/res/VelinVerify/trust/eu-lotl-signers-oj-2019.pem)
            endif()
            set_property(CACHE ${variable} PROPERTY VALUE "${velin_default}")
        endif()
    endforeach()
endif()

velin_trust_files(${PROJECT_SOURCE_DIR} ${VELIN_TEST_TRUST} "${VELIN_EU_LIST_SIGNERS_PEM}"
                  "${VELIN_LIST_PUBLISHER_PEM}" "${VELIN_UPDATE_AUTHORITY_PEM}")
if(VELIN_RELEASE)
    velin_release_trust_problems(velin_trust_problems ${PROJECT_SOURCE_DIR} ${VELIN_TEST_TRUST}
                                 ${velin_eu_list_signer_files} ${velin_list_publisher_file}
                                 ${velin_update_authority_file})
    if(velin_trust_problems)
        message(FATAL_ERROR "Release build: ${velin_trust_problems}")
    endif()
endif()
message(STATUS "European list signers: ${velin_eu_list_signer_files}")
message(STATUS "CNIPA list publisher: ${velin_list_publisher_file}")
message(STATUS "Update authority: ${velin_update_authority_file}")
