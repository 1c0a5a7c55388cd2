# One static library per folder, qv_<folder>. Its include path is a folder
# of its own in the build tree that holds a single link, to the source
# folder, so that "folder/Header.h" resolves only for the library itself and
# for the libraries that link it: a header of a floor above is simply not
# there.
#
#   qv_layer(NAME [PORTABLE src...] [WIN32 src...] [DEPENDS qv_lib...] [WIN32_LIBS lib...])
function(qv_layer name)
  cmake_parse_arguments(L "" "" "PORTABLE;WIN32;DEPENDS;WIN32_LIBS" ${ARGN})
  set(farm ${CMAKE_BINARY_DIR}/_layers/${name})
  file(MAKE_DIRECTORY ${farm})
  file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR}/${name} ${farm}/${name} SYMBOLIC)
  set(sources ${L_PORTABLE})
  if(WIN32)
    list(APPEND sources ${L_WIN32})
  endif()
  list(TRANSFORM sources PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/${name}/)
  set(target qv_${name})
  if(sources)
    add_library(${target} STATIC ${sources})
    set(scope PUBLIC)
    target_compile_options(${target} PRIVATE -Wall -Wextra ${QV_SHIPPED_FLAGS})
  else()
    add_library(${target} INTERFACE)   # a floor with nothing portable in it
    set(scope INTERFACE)
  endif()
  target_include_directories(${target} ${scope} ${farm})
  target_link_libraries(${target} ${scope} boost_headers ${L_DEPENDS})
  if(WIN32 AND L_WIN32_LIBS)
    target_link_libraries(${target} ${scope} ${L_WIN32_LIBS})
  endif()
  set_property(GLOBAL APPEND PROPERTY QV_LAYERS ${name})
endfunction()

# Proof that the layering holds: for each floor, a file that includes a
# header of the floor above must fail to compile with that floor's include
# path, and the top floor must see every header. The probes are built only
# by the test.
function(qv_layer_probes)
  set(cases
    "core archive/Format.h FAIL"
    "archive shortcuts/Shortcuts.h FAIL"
    "shortcuts fingerprint/Adapters.h FAIL"
    "fingerprint report/Md5.h FAIL"
    "report app/CommandLine.h FAIL"
    "fingerprint archive/Format.h FAIL"
    "app core/Text.h PASS"
    "app archive/Format.h PASS"
    "app shortcuts/Shortcuts.h PASS"
    "app fingerprint/Adapters.h PASS"
    "app report/Md5.h PASS")
  set(probes "")
  foreach(c ${cases})
    separate_arguments(parts UNIX_COMMAND "${c}")
    list(GET parts 0 floor)
    list(GET parts 1 header)
    list(GET parts 2 expect)
    string(MAKE_C_IDENTIFIER "${floor}_${header}" id)
    add_library(layer_probe_${id} OBJECT EXCLUDE_FROM_ALL ${CMAKE_CURRENT_SOURCE_DIR}/tests/layering/Probe.cpp)
    target_compile_definitions(layer_probe_${id} PRIVATE "QV_PROBE_HEADER=\"${header}\"")
    target_link_libraries(layer_probe_${id} PRIVATE qv_${floor})
    list(APPEND probes "layer_probe_${id}:${expect}:${floor} includes ${header}")
  endforeach()
  add_test(NAME layering
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tests/layering/check.sh ${CMAKE_COMMAND} ${CMAKE_BINARY_DIR} ${probes})
endfunction()
