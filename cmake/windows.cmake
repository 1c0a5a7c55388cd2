# The Windows side: the installer's libraries, the sample game, the tools
# the tests run under Wine, and the tests.

# The shipped code is built without exceptions and RTTI, and instantiates
# the string templates it uses itself (assertion mode turns off the extern
# instantiations), so that the executable holds only what it calls; its
# runtime hooks end the process quietly where the library would throw.
set(QV_SHIPPED_FLAGS -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-unwind-tables
    -D_GLIBCXX_ASSERTIONS -D__USE_MINGW_ANSI_STDIO=0
    # The assertions' file names are never shown: keep them short.
    -fmacro-prefix-map=/usr/lib/gcc/i686-w64-mingw32/12-win32/include/c++/=
    -fmacro-prefix-map=${CMAKE_CURRENT_SOURCE_DIR}/=)
target_compile_options(qv_portable PRIVATE ${QV_SHIPPED_FLAGS})

add_library(qv_win STATIC
  app/Installer.cpp app/PathOpsWin32.cpp app/ShellWin32.cpp app/UpdateWaitWin32.cpp
  archive/ArchiveWin32.cpp archive/PathHelpersWin32.cpp
  shortcuts/ShortcutsWin32.cpp
  report/TextWin32.cpp report/HttpWin32.cpp report/ReportWin32.cpp report/SystemInfoWin32.cpp
  report/FlashWin32.cpp fingerprint/MachineGuidWin32.cpp fingerprint/AdaptersWin32.cpp
  fingerprint/WmiWin32.cpp fingerprint/DiskSerialWin32.cpp)
target_link_libraries(qv_win PUBLIC qv_portable ole32 oleaut32 uuid wbemuuid shell32)
target_compile_definitions(qv_win PUBLIC UNICODE _UNICODE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0501)
target_compile_options(qv_win PRIVATE ${QV_SHIPPED_FLAGS})

# wWinMain on its own, so that an installer is this, qv_win and resources.
add_library(qv_entry OBJECT app/Main.cpp app/Runtime.cpp)
target_link_libraries(qv_entry PUBLIC qv_win)
target_compile_options(qv_entry PRIVATE -municode ${QV_SHIPPED_FLAGS})

set(QV_INSTALLER_LINK_FLAGS -static -static-libgcc -static-libstdc++ -municode -mwindows)
set(QV_INSTALLER_SYSTEM_LIBS -lole32 -loleaut32 -luuid -lwbemuuid -lshell32 -luser32 -lkernel32)

# The packer runs on the build machine: build it with the host compiler.
find_program(QV_HOST_CXX NAMES c++ g++ NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(QVPACK ${CMAKE_BINARY_DIR}/host/qvpack)
set(_qvpack_sources tools/qvpack.cpp app/PathOps.cpp archive/Format.cpp archive/EntryName.cpp)
list(TRANSFORM _qvpack_sources PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/ OUTPUT_VARIABLE _qvpack_abs)
add_custom_command(OUTPUT ${QVPACK}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/host
  COMMAND ${QV_HOST_CXX} -std=c++17 -O2 -Wall -I${CMAKE_CURRENT_SOURCE_DIR} ${_qvpack_abs} -o ${QVPACK}
  DEPENDS ${_qvpack_abs} archive/Format.h archive/EntryName.h app/PathOps.h
  COMMENT "Building host tool qvpack" VERBATIM)
add_custom_target(qvpack ALL DEPENDS ${QVPACK})
# The same packer sources build for Windows as well.
add_executable(qvpack_win tools/qvpack.cpp)
set_target_properties(qvpack_win PROPERTIES OUTPUT_NAME qvpack)
target_link_libraries(qvpack_win PRIVATE qv_portable)
target_link_options(qvpack_win PRIVATE -static -static-libgcc -static-libstdc++)

# Wine maps an image's sections straight from the file only when they are
# page-aligned in it; otherwise it copies them, the embedded archive
# included, into private memory.
# What scripts/make-installer needs to link an installer from this build.
string(REPLACE ";" " " _link_flags "${QV_INSTALLER_LINK_FLAGS}")
string(REPLACE ";" " " _system_libs "${QV_INSTALLER_SYSTEM_LIBS}")
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/installer-build.env CONTENT
"QV_CXX='${CMAKE_CXX_COMPILER}'
QV_RC='${CMAKE_RC_COMPILER}'
QV_RC_DIR='${CMAKE_CURRENT_SOURCE_DIR}/app'
QV_LIBS='$<JOIN:$<TARGET_OBJECTS:qv_entry>, > $<TARGET_FILE:qv_win> $<TARGET_FILE:qv_portable>'
QV_LINK_FLAGS='${_link_flags} -Os -Wl,--gc-sections -Wl,--file-alignment,4096 -Wl,-T,${CMAKE_CURRENT_SOURCE_DIR}/cmake/installer.ld -s'
QV_SYSTEM_LIBS='${_system_libs}'
QV_QVPACK='${QVPACK}'
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
  DEPENDS qvpack ${QVPACK} ${_sample_res} COMMENT "Packing the sample game's resources" VERBATIM)
add_custom_command(OUTPUT ${SAMPLE_INSTALLER}
  COMMAND ${CMAKE_COMMAND} -E env QV_BUILD_DIR=${CMAKE_BINARY_DIR}
          bash ${CMAKE_CURRENT_SOURCE_DIR}/scripts/make-installer
          --settings ${CMAKE_CURRENT_SOURCE_DIR}/samples/game/setting.ini
          --client $<TARGET_FILE:sample_client>
          --archive ${SAMPLE_ARCHIVE}
          --stats-host 127.0.0.1 -o ${SAMPLE_INSTALLER}
  DEPENDS qv_entry qv_win qv_portable sample_client qvpack ${QVPACK} ${SAMPLE_ARCHIVE}
          ${CMAKE_BINARY_DIR}/installer-build.env cmake/installer.ld
          scripts/make-installer app/Installer.rc app/installer.manifest app/installer.ico
          samples/game/setting.ini ${_sample_res}
  COMMENT "Making the sample installer" VERBATIM)
add_custom_target(sample_installer ALL DEPENDS ${SAMPLE_INSTALLER})

# Console tools for tests and benchmarks.
foreach(tool qvstat qvcopy qvextract qvlnk qvhold qvpost qvver qvreport)
  add_executable(${tool} tools/${tool}.cpp)
  target_link_options(${tool} PRIVATE -municode -static -static-libgcc -static-libstdc++)
  target_compile_options(${tool} PRIVATE -municode)
  target_link_libraries(${tool} PRIVATE qv_win)
endforeach()
target_sources(qvlnk PRIVATE tests/ShellLinkReader.cpp)

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
add_executable(qv_tests ${QV_PORTABLE_TESTS}
  tests/FolderOpsLiveTest.cpp tests/ArchiveLiveTest.cpp tests/ShortcutLiveTest.cpp tests/UpdateWaitLiveTest.cpp
  tests/TextLiveTest.cpp tests/FlashLiveTest.cpp tests/FingerprintLiveTest.cpp tests/TestFolder.cpp tests/ShellLinkReader.cpp)
add_executable(qvflashstub tests/FlashStub.cpp tests/FlashStub.rc)
add_dependencies(qv_tests qvflashstub)
target_link_libraries(qv_tests PRIVATE qv_win shlwapi GTest::gtest_main)
target_link_options(qv_tests PRIVATE -static -static-libgcc -static-libstdc++)
# The host's processor brand string, for the CPUID test.
execute_process(COMMAND sh -c "sed -n 's/^model name[[:space:]]*: *//p' /proc/cpuinfo | head -1 | sed 's/[[:space:]]*$//'"
                OUTPUT_VARIABLE QV_HOST_CPU_BRAND OUTPUT_STRIP_TRAILING_WHITESPACE)
string(REPLACE ";" "," QV_HOST_CPU_BRAND "${QV_HOST_CPU_BRAND}")
gtest_discover_tests(qv_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                     PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT "LANG=zh_CN.UTF-8;QV_HOST_CPU_BRAND=${QV_HOST_CPU_BRAND}")

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
  add_test(NAME ${_name} COMMAND bash ${script})
  # Every installer reports to 127.0.0.1:80, where some tests listen.
  set_tests_properties(${_name} PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT "${_e2e_env}" TIMEOUT 300
                       RESOURCE_LOCK port80)
endforeach()
