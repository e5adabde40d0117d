# cmake -DSOURCE_DIR=... -DWORK_DIR=... -P check_trust_anchors.cmake
include(${SOURCE_DIR}/cmake/VelinTrust.cmake)

set(failures "")
macro(expect condition_text)
    if(NOT (${ARGN}))
        string(APPEND failures "\n  ${condition_text}")
    endif()
endmacro()

set(oj ${SOURCE_DIR}/res/VelinVerify/trust/eu-lotl-signers-oj-2019.pem)

# A default build: the eight certificates of the Official Journal, no publisher, no authority.
velin_trust_files(${SOURCE_DIR} OFF "${oj}" "" "")
expect("default signers are the Official Journal's" velin_eu_list_signer_files STREQUAL oj)
expect("default build has no list publisher" NOT velin_list_publisher_file)
expect("default build has no update authority" NOT velin_update_authority_file)
velin_release_trust_problems(problems ${SOURCE_DIR} OFF ${velin_eu_list_signer_files})
expect("default anchors fit a release build" NOT problems)
velin_read_pems(text VELIN_EU_LIST_SIGNERS_PEM ${oj})
string(REGEX MATCHALL "-----BEGIN CERTIFICATE-----" blocks "${text}")
list(LENGTH blocks count)
expect("the Official Journal's file holds eight certificates" count EQUAL 8)

# The test build adds the test PKI's, which a release build refuses, whatever the path says.
velin_trust_files(${SOURCE_DIR} ON "${oj}" "" "")
list(LENGTH velin_eu_list_signer_files count)
expect("test build adds the test signer" count EQUAL 2)
expect("test build trusts the demo publisher" velin_list_publisher_file MATCHES "/tests/fixtures/pki/publisher.cert.pem$")
expect("test build trusts the demo authority" velin_update_authority_file MATCHES "/update-authority.cert.pem$")
velin_release_trust_problems(problems ${SOURCE_DIR} OFF ${SOURCE_DIR}/res/../tests/fixtures/pki/publisher.cert.pem)
expect("a path through ../ into tests/ is refused" problems MATCHES "lies under tests/")

# The release preset itself stops at configuration, naming each anchor from tests/.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
file(CREATE_LINK ${SOURCE_DIR}/tests/fixtures/pki/update/update-authority.cert.pem ${WORK_DIR}/authority.pem SYMBOLIC)
execute_process(
    COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/build --preset release
            -DVELIN_LIST_PUBLISHER_PEM=${SOURCE_DIR}/tests/fixtures/pki/publisher.cert.pem
            -DVELIN_UPDATE_AUTHORITY_PEM=${WORK_DIR}/authority.pem
            -DVELIN_EU_LIST_SIGNERS_PEM=${SOURCE_DIR}/tests/fixtures/tsl/eu-signer.cert.pem
            -DVELIN_TEST_TRUST=ON
    WORKING_DIRECTORY ${SOURCE_DIR}
    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
expect("the release preset refuses test anchors" NOT status EQUAL 0)
expect("the refusal names the test option" output MATCHES "VELIN_TEST_TRUST[ \n]+is[ \n]+on")
foreach(file publisher.cert.pem authority.pem eu-signer.cert.pem)
    # CMake wraps the message's lines where it likes.
    expect("the refusal names ${file}" output MATCHES "${file}[ \n]+lies[ \n]+under[ \n]+tests/")
endforeach()
file(REMOVE_RECURSE ${WORK_DIR})

if(failures)
    message(FATAL_ERROR "Trust anchors of a build:${failures}\n${output}")
endif()
message(STATUS "Trust anchors of a build: as expected")
