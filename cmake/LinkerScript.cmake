# The installer's linker script, made at configure time from the installed
# binutils' own default (ld --verbose) by moving sections into others
# (.eh_frame and .CRT into .rdata, .data and .tls into .idata) and by
# dropping the frames nothing reads. The installer's file is page-aligned,
# so that Wine maps its sections (the embedded archive among them) from the
# file instead of copying them into private memory; every section of its
# own then costs at least a page of the file, and .data and .tls hold a few
# bytes each.
#
#   qv_installer_linker_script(OUTPUT_FILE)
function(qv_installer_linker_script output)
  find_program(QV_LD NAMES ${CMAKE_C_COMPILER_TARGET}-ld i686-w64-mingw32-ld NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  execute_process(COMMAND ${QV_LD} --verbose OUTPUT_VARIABLE verbose RESULT_VARIABLE status)
  execute_process(COMMAND ${QV_LD} --version OUTPUT_VARIABLE version)
  string(REGEX REPLACE "\n.*" "" version "${version}")
  set(rule "==================================================")
  string(FIND "${verbose}" "${rule}\n" first)
  string(FIND "${verbose}" "\n${rule}" last REVERSE)
  if(NOT status EQUAL 0 OR first EQUAL -1 OR last LESS_EQUAL first)
    message(FATAL_ERROR "${QV_LD} --verbose printed no default linker script (${version})")
  endif()
  string(LENGTH "${rule}\n" skip)
  math(EXPR begin "${first} + ${skip}")
  math(EXPR length "${last} - ${begin} + 1")
  string(SUBSTRING "${verbose}" ${begin} ${length} script)

  # The body of "  NAME BLOCK(__section_alignment__) :\n  {\n ... \n  }\n",
  # and the script without the block when REMOVE is given.
  macro(qv_block name out_body remove)
    set(_head "  ${name} BLOCK(__section_alignment__) :\n  {\n")
    string(FIND "${script}" "${_head}" _at)
    if(_at EQUAL -1)
      message(FATAL_ERROR "The default linker script of ${version} no longer has the shape this build expects: "
                          "no '${name}' output section. cmake/LinkerScript.cmake needs to follow it.")
    endif()
    string(LENGTH "${_head}" _head_length)
    math(EXPR _body_at "${_at} + ${_head_length}")
    string(SUBSTRING "${script}" ${_body_at} -1 _rest)
    string(FIND "${_rest}" "\n  }\n" _end)
    if(_end EQUAL -1)
      message(FATAL_ERROR "The default linker script of ${version}: the '${name}' section does not end as expected.")
    endif()
    string(SUBSTRING "${_rest}" 0 ${_end} ${out_body})
    if(${remove})
      math(EXPR _after "${_body_at} + ${_end} + 5")
      string(SUBSTRING "${script}" 0 ${_at} _before)
      string(SUBSTRING "${script}" ${_after} -1 _tail)
      set(script "${_before}${_tail}")
    endif()
  endmacro()

  qv_block(.eh_frame eh_frame TRUE)
  qv_block(.CRT crt TRUE)
  qv_block(.rdata rdata FALSE)
  # The default's .CRT leaves the CRT's dynamic TLS initialisers (.CRT$XD*)
  # to an orphan section of the same name: they move along.
  set(crt "    KEEP (*(SORT(.CRT$XD*)))\n    KEEP (*(.CRT))\n${crt}")
  # Nothing in the installer unwinds: no exceptions, and the link fails if
  # an unwinder comes in. Of the runtime's 2 KB of frames, only crtbegin's
  # and crtend's stay: they open and close the list crtbegin hands to a
  # libgcc DLL found already loaded, and without them it would hand over
  # address 0 plus the image's relocation.
  # Configuring stops where the default no longer holds what an edit needs.
  macro(qv_expect text part what)
    string(FIND "${text}" "${part}" _found)
    if(_found EQUAL -1)
      message(FATAL_ERROR "The default linker script of ${version}: ${what}. "
                          "cmake/LinkerScript.cmake needs to follow it.")
    endif()
  endmacro()
  qv_expect("${eh_frame}" "*(.eh_frame*)" ".eh_frame does not take '*(.eh_frame*)'")
  string(REPLACE "*(.eh_frame*)" "*crtbegin.o(.eh_frame*)" _first "${eh_frame}")
  string(REPLACE "*(.eh_frame*)" "*crtend.o(.eh_frame*)" _last "${eh_frame}")
  string(CONCAT eh_frame "    __qv_frames = .;\n${_first}\n"
                        "    ASSERT(. > __qv_frames || !DEFINED(___gcc_register_frame),\n"
                        "           \"crtbegin's frames are gone: it would register address 0\");\n${_last}\n"
                        "    ASSERT(!DEFINED(__Unwind_Find_FDE), \"an unwinder is linked: it needs the frames this script drops\");")
  set(_discard "  /DISCARD/ :\n  {\n")
  qv_expect("${script}" "${_discard}" "it has no /DISCARD/ section")
  string(REPLACE "${_discard}" "${_discard}    *(.eh_frame*)\n" script "${script}")
  string(REPLACE "${rdata}" "${rdata}\n${eh_frame}\n${crt}" script "${script}")

  # The writable data joins the import tables, which the loader writes too.
  # The descriptors must stay first: ld gives the import directory the start
  # of the section named .idata when no import library marks it.
  qv_block(.data data TRUE)
  qv_block(.tls tls TRUE)
  qv_block(.idata idata FALSE)
  string(FIND "${idata}" "KEEP (SORT(*)(.idata$2))" _descriptors)
  string(SUBSTRING "${idata}" 0 ${_descriptors} _before)
  string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/" "" _before "${_before}")
  if(_descriptors EQUAL -1 OR NOT _before MATCHES "^[ \t\n]*$")
    message(FATAL_ERROR "The default linker script of ${version}: .idata does not start with the import "
                        "descriptors (.idata$2). cmake/LinkerScript.cmake needs to follow it.")
  endif()
  # Native thread-local variables would be addressed from the start of the
  # section (SECREL32), no longer the template's start. GCC for mingw uses
  # emulated TLS; the template is only the runtime's start marker, and the
  # link fails if anything comes before or after it.
  string(APPEND tls "\n    ASSERT(__tls_start == ___tls_start__ && __tls_end - __tls_start <= 4,\n"
                   "           \"thread-local data in .tls: the template must start its own section\");")
  string(REPLACE "${idata}" "${idata}\n${data}\n${tls}" script "${script}")
  file(WRITE ${output}
       "/* Made by cmake/LinkerScript.cmake from the default script of ${version}:\n"
       "   .CRT and crtbegin's and crtend's .eh_frame are part of .rdata, the other frames\n"
       "   are discarded, .data and .tls are part of .idata. */\n${script}")
endfunction()
