# The Windows side: the installer's libraries, the sample game, the tools
# the tests run under Wine, and the tests.

# Only the installer's own link optimizes across objects (make-installer);
# the tests and tools take the ordinary code of the same objects.
add_link_options(-fno-use-linker-plugin)

# wWinMain and the runtime hooks on their own, linked only into installers:
# the hooks would end a test's process where GoogleTest expects exceptions.
add_library(qv_entry OBJECT app/MainWin32.cpp core/RuntimeWin32.cpp)
target_link_libraries(qv_entry PUBLIC qv_app)
target_compile_options(qv_entry PRIVATE -municode ${QV_SHIPPED_FLAGS})

set(QV_INSTALLER_LINK_FLAGS -static -static-libgcc -static-libstdc++ -municode -mwindows)
set(QV_INSTALLER_SYSTEM_LIBS -lole32 -loleaut32 -luuid -lwbemuuid -lshell32 -luser32 -lkernel32)

# The packer and the checks make-installer runs are native programs, built
# from the layers' own libraries by a native build of this source tree of
# their own (in host/), which the cross toolchain does not reach.
include(ExternalProject)
set(QVPACK ${CMAKE_BINARY_DIR}/host/qvpack)
set(QVCHECK ${CMAKE_BINARY_DIR}/host/qvcheck)
ExternalProject_Add(host_tools
  SOURCE_DIR ${CMAKE_CURRENT_SOURCE_DIR}
  BINARY_DIR ${CMAKE_BINARY_DIR}/host
  CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DQV_TOOLS_ONLY=ON
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target qvpack qvcheck
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${QVPACK} ${QVCHECK})

# Wine maps an image's sections straight from the file only when they are
# page-aligned in it; otherwise it copies them, the embedded archive
# included, into private memory.
include(cmake/LinkerScript.cmake)
qv_installer_linker_script(${CMAKE_BINARY_DIR}/installer.ld)
# What scripts/make-installer needs to link an installer from this build:
# the floors top first, as a static link wants them.
set(_floor_files "")
foreach(floor app report fingerprint shortcuts archive core)
  list(APPEND _floor_files $<TARGET_FILE:qv_${floor}>)
endforeach()
set(_installer_link_flags ${QV_INSTALLER_LINK_FLAGS} -Os -flto -Wl,--no-insert-timestamp -Wl,--gc-sections
    -Wl,--file-alignment,4096 -Wl,-T,${CMAKE_BINARY_DIR}/installer.ld -s)
# The installer's code, optimised across all its objects once per build:
# each installer is this file with its resources added, not a new link.
set(QV_INSTALLER_STUB ${CMAKE_BINARY_DIR}/installer-stub.exe)
add_custom_command(OUTPUT ${QV_INSTALLER_STUB}
  COMMAND ${CMAKE_CXX_COMPILER} ${_installer_link_flags} -o ${QV_INSTALLER_STUB}
          $<TARGET_OBJECTS:qv_entry> ${_floor_files} ${QV_INSTALLER_SYSTEM_LIBS}
  DEPENDS qv_entry $<TARGET_OBJECTS:qv_entry> qv_app qv_report qv_fingerprint qv_shortcuts qv_archive qv_core
          ${CMAKE_BINARY_DIR}/installer.ld
  COMMENT "Linking the installer's code" COMMAND_EXPAND_LISTS VERBATIM)
add_custom_target(installer_stub ALL DEPENDS ${QV_INSTALLER_STUB})
string(REPLACE ";" " " _link_flags "${_installer_link_flags}")
string(REPLACE ";" " " _system_libs "${QV_INSTALLER_SYSTEM_LIBS}")
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/installer-build.env CONTENT
"QV_CXX='${CMAKE_CXX_COMPILER}'
QV_RC='${CMAKE_RC_COMPILER}'
QV_RC_DIR='${CMAKE_CURRENT_SOURCE_DIR}/app'
QV_LIBS='$<JOIN:$<TARGET_OBJECTS:qv_entry>, > $<JOIN:${_floor_files}, >'
QV_LINK_FLAGS='${_link_flags}'
QV_STUB='${QV_INSTALLER_STUB}'
QV_SYSTEM_LIBS='${_system_libs}'
QV_QVPACK='${QVPACK}'
QV_QVCHECK='${QVCHECK}'
")

# The sample game's client: records each start beside itself.
add_executable(sample_client WIN32 samples/client/Client.cpp samples/client/Client.rc)
target_compile_options(sample_client PRIVATE -municode)
target_link_options(sample_client PRIVATE -municode -static -static-libgcc -static-libstdc++)
target_compile_definitions(sample_client PRIVATE UNICODE _UNICODE)

# The sample installer, made the way a publisher makes one.
# The archive is packed on its own so that tests can compare against it.
set(SAMPLE_INSTALLER ${CMAKE_BINARY_DIR}/sample-installer.exe)
set(SAMPLE_ARCHIVE ${CMAKE_BINARY_DIR}/sample-res.qvz)
file(GLOB_RECURSE _sample_res CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/samples/game/res/*)
add_custom_command(OUTPUT ${SAMPLE_ARCHIVE}
  COMMAND ${QVPACK} create ${SAMPLE_ARCHIVE} ${CMAKE_CURRENT_SOURCE_DIR}/samples/game/res
  DEPENDS host_tools ${QVPACK} ${_sample_res} COMMENT "Packing the sample game's resources" VERBATIM)
add_custom_command(OUTPUT ${SAMPLE_INSTALLER}
  COMMAND ${CMAKE_COMMAND} -E env QV_BUILD_DIR=${CMAKE_BINARY_DIR}
          bash ${CMAKE_CURRENT_SOURCE_DIR}/scripts/make-installer
          --settings ${CMAKE_CURRENT_SOURCE_DIR}/samples/game/setting.ini
          --client $<TARGET_FILE:sample_client>
          --archive ${SAMPLE_ARCHIVE}
          --stats-host 127.0.0.1 -o ${SAMPLE_INSTALLER}
  DEPENDS installer_stub ${QV_INSTALLER_STUB} sample_client host_tools ${QVPACK} ${QVCHECK} ${SAMPLE_ARCHIVE}
          ${CMAKE_BINARY_DIR}/installer-build.env tools/pe-add-resources.py scripts/make-installer app/Installer.rc app/installer.manifest app/installer.ico
          samples/game/setting.ini ${_sample_res}
  COMMENT "Making the sample installer" VERBATIM)
add_custom_target(sample_installer ALL DEPENDS ${SAMPLE_INSTALLER})

# Console tools for tests and benchmarks.
foreach(tool qvstat qvcopy qvextract qvlnk qvhold qvpost qvver qvreport qvrun qvfileinfo)
  add_executable(${tool} tools/${tool}.cpp)
  target_link_options(${tool} PRIVATE -municode -static -static-libgcc -static-libstdc++)
  target_compile_options(${tool} PRIVATE -municode)
  target_include_directories(${tool} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${tool} PRIVATE qv_app)
endforeach()
target_sources(qvlnk PRIVATE tools/ShellLinkReaderWin32.cpp)
target_link_libraries(qvfileinfo PRIVATE version)

# DLLs planted under system libraries' names, and a program that falls for them.
foreach(lib wininet version iphlpapi netapi32)
  add_library(planted_${lib} SHARED tests/planted/Planted.cpp)
  set_target_properties(planted_${lib} PROPERTIES OUTPUT_NAME ${lib} PREFIX ""
                        LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/planted RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/planted)
  target_compile_definitions(planted_${lib} PRIVATE "PLANTED_NAME=L\"${lib}\"")
  target_link_options(planted_${lib} PRIVATE -static -static-libgcc)
  list(APPEND _planted planted_${lib})
endforeach()
add_executable(naive_loader WIN32 tests/planted/Naive.cpp)
target_link_libraries(naive_loader PRIVATE wininet version)
target_link_options(naive_loader PRIVATE -static -static-libgcc -static-libstdc++)
add_custom_target(planted ALL DEPENDS ${_planted} naive_loader)

# Unit tests under Wine.
set(_live_tests tests/FolderOpsLiveTest.cpp tests/ArchiveLiveTest.cpp tests/ShortcutLiveTest.cpp
    tests/UpdateWaitLiveTest.cpp tests/TextLiveTest.cpp tests/FlashLiveTest.cpp tests/FingerprintLiveTest.cpp
    tests/SettingsLiveTest.cpp)
add_executable(qv_tests ${QV_PORTABLE_TESTS} ${_live_tests} tests/TestFolderWin32.cpp tools/ShellLinkReaderWin32.cpp)
add_executable(qvflashstub tests/FlashStub.cpp tests/FlashStub.rc)
add_dependencies(qv_tests qvflashstub)
target_include_directories(qv_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(qv_tests PRIVATE qv_app shlwapi GTest::gtest_main)
target_link_options(qv_tests PRIVATE -static -static-libgcc -static-libstdc++)
# The host's processor brand string, for the CPUID test.
execute_process(COMMAND sh -c "sed -n 's/^model name[[:space:]]*: *//p' /proc/cpuinfo | head -1 | sed 's/[[:space:]]*$//'"
                OUTPUT_VARIABLE QV_HOST_CPU_BRAND OUTPUT_STRIP_TRAILING_WHITESPACE)
string(REPLACE ";" "," QV_HOST_CPU_BRAND "${QV_HOST_CPU_BRAND}")
# One Wine process per test suite: starting a process under Wine costs more
# than most of the cases it would run.
set(_suites "")
foreach(src ${QV_PORTABLE_TESTS} ${_live_tests})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${src})
  file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/${src} _lines REGEX "^TEST(_F)?\\(")
  foreach(line ${_lines})
    string(REGEX REPLACE "^TEST(_F)?\\(([A-Za-z0-9_]+),.*" "\\2" _suite "${line}")
    list(APPEND _suites ${_suite})
  endforeach()
endforeach()
list(REMOVE_DUPLICATES _suites)
foreach(suite ${_suites})
  add_test(NAME unit.${suite} COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:qv_tests> --gtest_filter=${suite}.*)
  set_tests_properties(unit.${suite} PROPERTIES FIXTURES_REQUIRED wine
                       ENVIRONMENT "LANG=zh_CN.UTF-8;QV_HOST_CPU_BRAND=${QV_HOST_CPU_BRAND}")
endforeach()

add_test(NAME wine_prefix COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} cmd /c exit 0)
set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine)

# End-to-end tests: each gets a private copy of the booted prefix.
set(_e2e_env
  QV_SOURCE_DIR=${CMAKE_CURRENT_SOURCE_DIR} QV_BUILD_DIR=${CMAKE_BINARY_DIR}
  QV_WINE_RUN=${CMAKE_CROSSCOMPILING_EMULATOR} QV_SAMPLE_INSTALLER=${SAMPLE_INSTALLER}
  QV_QVSTAT=$<TARGET_FILE:qvstat> QV_QVPACK=${QVPACK} QV_QVLNK=$<TARGET_FILE:qvlnk>
  QV_QVHOLD=$<TARGET_FILE:qvhold> QV_NAIVE=$<TARGET_FILE:naive_loader> LANG=zh_CN.UTF-8)
file(GLOB _e2e_scripts CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/e2e/test_*.sh)
foreach(script ${_e2e_scripts})
  get_filename_component(_name ${script} NAME_WE)
  string(REGEX REPLACE "^test_" "e2e." _name ${_name})
  # Every installer reports to 127.0.0.1:80: each test has a network of
  # its own, so that port is its alone and the tests run side by side.
  add_test(NAME ${_name} COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/tools/netns-run.sh bash ${script})
  set_tests_properties(${_name} PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT "${_e2e_env}" TIMEOUT 300 COST 10)
endforeach()
# The longest first, so that a fresh build directory (no timings kept yet)
# does not leave them for last.
set_tests_properties(e2e.double_start PROPERTIES COST 40)
set_tests_properties(e2e.double_start_big e2e.http e2e.update e2e.update_other e2e.branding e2e.scanner e2e.reinstall_locked e2e.obstacles
                     PROPERTIES COST 30)
# The publisher's toolkit alone: these run no Windows program, so they
# need no Wine (label nowine).
file(GLOB _toolkit_scripts CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/toolkit/test_*.sh)
foreach(script ${_toolkit_scripts})
  get_filename_component(_name ${script} NAME_WE)
  string(REGEX REPLACE "^test_" "toolkit." _name ${_name})
  add_test(NAME ${_name} COMMAND bash ${script})
  set_tests_properties(${_name} PROPERTIES ENVIRONMENT "${_e2e_env}" TIMEOUT 300 LABELS nowine)
endforeach()
# The installer's file and how its linker script is made, read without
# running anything: these need no Wine (ctest -L nowine). Debian's
# python3-pefile serves Debian's interpreter, whatever python3 PATH finds first.
find_program(QV_DEBIAN_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
add_test(NAME pe.layout COMMAND ${QV_DEBIAN_PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/tests/pe/test_pe_layout.py
                                ${QV_INSTALLER_STUB} ${SAMPLE_INSTALLER})
add_test(NAME pe.linker_script COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tests/pe/test_linker_script.sh
                                       ${CMAKE_CURRENT_SOURCE_DIR} ${QV_LD} ${CMAKE_CXX_COMPILER})
set_tests_properties(pe.layout pe.linker_script PROPERTIES LABELS nowine)

# The harness itself: a program holding the machine's own port 80 does not
# reach into a test's network, nor the test into it.
add_test(NAME harness.netns COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tests/harness/test_netns.sh)
set_tests_properties(harness.netns PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT "${_e2e_env}" TIMEOUT 120)
