# What `cmake --install` lays out. The programs find their companions relative to their own folder,
# so the layout under the suite's folder SUITE (the prefix itself unless VELIN_INSTALL_SUITE_DIR
# says otherwise) is fixed:
#   SUITE/bin/             velin-verify, velin-menu, velin-sign, velin-pccheck, velin-dati-carta
#                          (and "Velin Manager - Verifica PC", the name the others start it by)
#   SUITE/help/index.htm   the verifier's help page ("..\help\index.htm" from bin)
#   SUITE/Licenza.txt      the license shown by the About box ("..\Licenza.txt" from bin)
#   SUITE/java/            the PDF classes
# With a suite folder of its own (the packages use lib/velin-manager, since /usr admits no help/,
# java/ or Licenza.txt of ours), PREFIX/bin holds links to the programs: they follow the link to
# their real folder (/proc/self/exe) and find their companions there.
#   PREFIX/lib*/, PREFIX/include/   libnoraxcard and its header
#   PREFIX/share/          desktop entries, MIME types, manual pages, sample documents
# and, outside the prefix, the data folder the programs read when VELIN_DATA_DIR is unset:
#   VELIN_INSTALL_DATA_DIR/data/    the trusted lists, read-only for users
#   VELIN_INSTALL_DATA_DIR/cache/   revocation lists the administrator provides, read-only for users
# (each user downloads lists into a cache of their own, $XDG_CACHE_HOME/velin-manager/crl)
include(GNUInstallDirs)

set(VELIN_INSTALL_DATA_DIR /var/lib/velin-manager CACHE PATH
    "Data folder of an installation (trusted lists in data/, revocation lists in cache/); the programs read /var/lib/velin-manager when VELIN_DATA_DIR is unset")
set(velin_demo_lists ${PROJECT_SOURCE_DIR}/tests/fixtures/pki/velin-data/data)
set(VELIN_INSTALL_TRUSTED_LISTS "" CACHE PATH
    "Folder holding cnipa.sst, cnipa.sst.p7s, cns.sst and user.sst to install (empty: none; a build with VELIN_TEST_TRUST installs the demo lists)")
# The demo lists name the test PKI's roots: only a build that trusts the test PKI installs them
# (a build folder that cached them from before goes back to none without the test option).
velin_release_trust_problems(velin_lists_problem ${PROJECT_SOURCE_DIR} OFF ${VELIN_INSTALL_TRUSTED_LISTS})
if(velin_lists_problem AND NOT VELIN_TEST_TRUST)
    message(WARNING "VELIN_INSTALL_TRUSTED_LISTS named the test lists (${VELIN_INSTALL_TRUSTED_LISTS}); none installed.")
    set_property(CACHE VELIN_INSTALL_TRUSTED_LISTS PROPERTY VALUE "")
endif()
set(velin_install_lists "${VELIN_INSTALL_TRUSTED_LISTS}")
if(velin_install_lists STREQUAL "" AND VELIN_TEST_TRUST)
    set(velin_install_lists ${velin_demo_lists})
endif()

set(VELIN_INSTALL_SUITE_DIR "" CACHE STRING
    "Folder under the prefix for bin/, help/, java/ and Licenza.txt (empty: the prefix itself); PREFIX/bin then links to the programs")
set(velin_suite .)
if(NOT VELIN_INSTALL_SUITE_DIR STREQUAL "")
    set(velin_suite ${VELIN_INSTALL_SUITE_DIR})
endif()

# Programs: SUITE/bin exactly, since help and license are found at ../ from there.
foreach(program velin-verify velin-menu velin-sign velin-pccheck velin-dati-carta)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${velin_suite}/bin)
        install(FILES ${PROJECT_SOURCE_DIR}/docs/man/${program}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
        install(FILES ${PROJECT_SOURCE_DIR}/docs/man/it/${program}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/it/man1)
        if(NOT velin_suite STREQUAL ".")
            install(CODE "
                set(link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/${program}\")
                file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin\")
                file(REMOVE \"\${link}\")
                file(CREATE_LINK ../${velin_suite}/bin/${program} \"\${link}\" SYMBOLIC)
                message(STATUS \"Installing: \${link} -> ../${velin_suite}/bin/${program}\")")
        endif()
    endif()
endforeach()
if(TARGET velin-pccheck)
    # The verifier's activity report and the menu start the PC check tool by its product name.
    install(CODE "
        set(link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${velin_suite}/bin/Velin Manager - Verifica PC\")
        file(REMOVE \"\${link}\")
        file(CREATE_LINK velin-pccheck \"\${link}\" SYMBOLIC)
        message(STATUS \"Installing: \${link} -> velin-pccheck\")")
    install(FILES ${PROJECT_SOURCE_DIR}/res/desktop/velin-pccheck.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
endif()

install(FILES ${PROJECT_SOURCE_DIR}/help/index.htm DESTINATION ${velin_suite}/help)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${velin_suite} RENAME Licenza.txt)
if(TARGET sigillo)
    # The PDF classes and, beside them, links to the distribution's jars they need: the bridge
    # puts the folder's jars on the class path.
    install_jar(sigillo DESTINATION ${velin_suite}/java)
    foreach(jar ${VELIN_JAVA_JARS})
        get_filename_component(name ${jar} NAME)
        install(CODE "
            set(link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${velin_suite}/java/${name}\")
            file(REMOVE \"\${link}\")
            file(CREATE_LINK ${jar} \"\${link}\" SYMBOLIC)")
    endforeach()
    # The class archive, made where the jars now lie: the machine takes it only with the class
    # path it was made with. Under a DESTDIR the jars are not yet where they will be read from,
    # so a package makes it after unpacking, with the same command; without one the programs
    # start their machine as before.
    set(names "")
    foreach(jar ${VELIN_JAVA_JARS})
        get_filename_component(name ${jar} NAME)
        list(APPEND names ${name})
    endforeach()
    install(CODE "
        set(folder \"\${CMAKE_INSTALL_PREFIX}/java\")
        set(archive \"\${folder}/sigillo.jsa\")
        if(NOT \"\$ENV{DESTDIR}\" STREQUAL \"\")
            message(STATUS \"Not made under DESTDIR: \${archive}\")
        else()
            set(class_path \"\${folder}/sigillo.jar\")
            foreach(name ${names})
                string(APPEND class_path \":\${folder}/\${name}\")
            endforeach()
            file(REMOVE \"\${archive}\")
            execute_process(COMMAND \"${VELIN_ARCHIVE_JAVA}\" ${VELIN_ARCHIVE_OPTIONS}
                \"-XX:ArchiveClassesAtExit=\${archive}\" -cp \"\${class_path}\" ${VELIN_ARCHIVE_MAIN}
                RESULT_VARIABLE made)
            if(made EQUAL 0 AND EXISTS \"\${archive}\")
                message(STATUS \"Installing: \${archive}\")
                list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${archive}\")
            else()
                message(WARNING \"The class archive was not made (\${made}): the programs start Java without it.\")
            endif()
        endif()")
endif()

if(TARGET noraxcard)
    install(TARGETS noraxcard LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development)
    install(FILES ${PROJECT_SOURCE_DIR}/include/noraxcard.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
    # Programs of others build against it with `pkg-config --cflags --libs noraxcard`.
    # Written at install time, so that it names the prefix given to `cmake --install --prefix`.
    install(CODE "
        set(PROJECT_VERSION ${PROJECT_VERSION})
        set(pc_prefix \"\${CMAKE_INSTALL_PREFIX}\")
        set(pc_libdir \"${CMAKE_INSTALL_LIBDIR}\")
        set(pc_includedir \"${CMAKE_INSTALL_INCLUDEDIR}\")
        foreach(folder pc_libdir pc_includedir)
            if(NOT IS_ABSOLUTE \"\${\${folder}}\")
                set(\${folder} \"\${CMAKE_INSTALL_PREFIX}/\${\${folder}}\")
            endif()
        endforeach()
        set(pc \"\$ENV{DESTDIR}\${pc_libdir}/pkgconfig/noraxcard.pc\")
        configure_file(${PROJECT_SOURCE_DIR}/src/cardlib/noraxcard.pc.in \"\${pc}\" @ONLY)
        message(STATUS \"Installing: \${pc}\")")
endif()

# The trusted lists: written by the installation only. Every user reads them; nobody but the
# administrator may change them, or one user could make every other user trust anything.
install(DIRECTORY DESTINATION ${VELIN_INSTALL_DATA_DIR}/data
    DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
if(NOT velin_install_lists STREQUAL "")
    install(FILES
            ${velin_install_lists}/cnipa.sst
            ${velin_install_lists}/cnipa.sst.p7s
            ${velin_install_lists}/cns.sst
            ${velin_install_lists}/user.sst
        DESTINATION ${VELIN_INSTALL_DATA_DIR}/data
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()

# The installation's revocation lists: a seed that every user reads and nobody but the administrator
# writes. Downloads go to each user's own cache; a folder writable by all would let one user plant
# an old list (or a huge file) in everyone's verification.
install(DIRECTORY DESTINATION ${VELIN_INSTALL_DATA_DIR}/cache
    DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
get_filename_component(velin_lists_real "${velin_install_lists}" REALPATH)
get_filename_component(velin_demo_real ${velin_demo_lists} REALPATH)
if(NOT velin_install_lists STREQUAL "" AND velin_lists_real STREQUAL velin_demo_real)
    # With the demo lists, the demo authorities' revocation lists too, under the names their
    # distribution points give them in the cache: the sample documents then show their verdicts
    # (a revoked certificate among them) without a server.
    install(FILES ${PROJECT_SOURCE_DIR}/tests/fixtures/pki/crl/accredited-ca.crl
        DESTINATION ${VELIN_INSTALL_DATA_DIR}/cache
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
        RENAME http_3a_2f_2f127.0.0.1_3a8799_2fcrl_2faccredited_2dca.crl.crl)
    install(FILES ${PROJECT_SOURCE_DIR}/tests/fixtures/pki/crl/card-root.crl
        DESTINATION ${VELIN_INSTALL_DATA_DIR}/cache
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
        RENAME http_3a_2f_2f127.0.0.1_3a8799_2fcrl_2fcard_2droot.crl.crl)
endif()

# Desktop integration: the verifier opens signed files (.p7m, .p7s, .m7m, .tsd); the signer takes
# any documents; the card-data page reads the card; the menu is the suite's entry, described for
# software centres by its metainfo.
install(FILES
        ${PROJECT_SOURCE_DIR}/res/desktop/velin-verify.desktop
        ${PROJECT_SOURCE_DIR}/res/desktop/velin-sign.desktop
        ${PROJECT_SOURCE_DIR}/res/desktop/velin-dati-carta.desktop
        ${PROJECT_SOURCE_DIR}/res/desktop/velin-menu.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/res/desktop/velin-manager.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages)
install(FILES ${PROJECT_SOURCE_DIR}/res/desktop/it.velin.manager.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
# Straight onto a live system (no DESTDIR), the desktop's caches learn the new types at once; a
# package does this in its own scripts instead.
install(CODE "
    if(\"\$ENV{DESTDIR}\" STREQUAL \"\")
        find_program(update_mime update-mime-database)
        find_program(update_desktop update-desktop-database)
        if(update_mime)
            execute_process(COMMAND \${update_mime} \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/mime\")
        endif()
        if(update_desktop)
            execute_process(COMMAND \${update_desktop} \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/applications\")
        endif()
    endif()")

# Sample documents, the ones scripts/run-demo verifies, with a note on what each one shows.
set(velin_samples
    ${PROJECT_SOURCE_DIR}/tests/fixtures/pki/documents/contratto-signer-legal.txt.p7m
    ${PROJECT_SOURCE_DIR}/tests/fixtures/pki/documents/contratto-signer-no-nr.txt.p7m
    ${PROJECT_SOURCE_DIR}/tests/fixtures/pki/documents/contratto-signer-card.txt.p7m
    ${PROJECT_SOURCE_DIR}/tests/fixtures/pki/documents/contratto-signer-revoked.txt.p7m
    ${PROJECT_SOURCE_DIR}/tests/fixtures/pki/documents/contratto-signer-expired.txt.p7m
    ${PROJECT_SOURCE_DIR}/tests/fixtures/pki/documents/contratto-signer-forged.txt.p7m
    ${PROJECT_SOURCE_DIR}/tests/integration/pipeline/fixtures/contratto-base64.txt.p7m
    ${PROJECT_SOURCE_DIR}/tests/integration/pipeline/fixtures/contratto-smime.txt.p7m
    ${PROJECT_SOURCE_DIR}/tests/integration/pipeline/fixtures/contratto.txt.p7m.p7m
    ${PROJECT_SOURCE_DIR}/tests/integration/pipeline/fixtures/contratto-tampered.txt.p7m
    ${PROJECT_SOURCE_DIR}/tests/integration/pipeline/fixtures/contratto-one-bad.txt.p7m
    ${PROJECT_SOURCE_DIR}/tests/fixtures/m7m/samples/crlf-binary.m7m
    ${PROJECT_SOURCE_DIR}/help/esempi/LEGGIMI.txt)
install(FILES ${velin_samples} DESTINATION ${CMAKE_INSTALL_DATADIR}/velin-manager/esempi)
