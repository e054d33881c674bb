# Proves that a tool cannot reach what only the host or its clients may use: the probe tool
# (probe.cpp) compiles against the tools' include folder as it is, and fails to compile in
# every case that reaches for a moved declaration, with the compiler saying why; and the
# include check of tools/ refuses a tool that includes a host header directly.
# Run: cmake -DCOMPILER=<c++> -DTOOL_INCLUDE=<build>/tool-include -DSOURCE_DIR=<source root>
#            -DWORK_DIR=<scratch folder> -P tests/tool_probe/check.cmake
set(probe ${CMAKE_CURRENT_LIST_DIR}/probe.cpp)
function(compile reach result output)
  execute_process(
    COMMAND ${COMPILER} -std=c++20 -fsyntax-only -I${TOOL_INCLUDE} -DREACH=${reach} ${probe}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  set(${result} ${rc} PARENT_SCOPE)
  set(${output} "${out}" PARENT_SCOPE)
endfunction()

compile(0 rc out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the probe tool does not compile as it is, so no refusal below would prove anything:\n${out}")
endif()

# Case number, what it reaches, and what the compiler must say (GCC's or clang's words).
set(missing "No such file|file not found")
set(private "private|protected|inaccessible")
set(undeclared "not declared|undeclared|has not been declared|no member named|is not a member")
set(cases
  "1|includes host/session.h|${missing}"
  "2|includes host/access.h|${missing}"
  "3|makes an image with Image's constructor|${private}"
  "4|makes an image over memory of its own|${private}"
  "5|lists the operator's declarations|${undeclared}"
  "6|looks an input up by ID|${private}"
  "7|hands an image to the request|${private}"
  "8|takes an output's image from the request|${private}"
  "9|makes a request|${private}"
  "10|makes its request the current one|${private}"
  "11|sets the image size limit|${undeclared}"
  "12|trims the image pool|${undeclared}"
  "13|sets the thread count|${undeclared}"
  "14|lists the operator's outputs|${undeclared}")
set(failures "")
foreach(entry IN LISTS cases)
  string(REPLACE "|" ";" fields "${entry}")
  list(POP_FRONT fields reach what)
  list(JOIN fields "|" expected)
  compile(${reach} rc out)
  if(rc EQUAL 0)
    list(APPEND failures "case ${reach}: a tool that ${what} compiles")
  elseif(NOT out MATCHES "(${expected})")
    list(APPEND failures "case ${reach}: a tool that ${what} fails for another reason:\n${out}")
  else()
    message(STATUS "refused: a tool that ${what}")
  endif()
endforeach()

# The include check over a tree whose one tool includes host headers directly, and another
# tool's header; the header beside it is its own and passes.
set(tree ${WORK_DIR}/tree)
file(REMOVE_RECURSE ${tree})
file(WRITE ${tree}/tools/probe/probe.cpp
  "#include \"frame/tool.h\"\n#include \"probe_wide.h\"\n#include \"host/session.h\"\n"
  "#include <host/access.h>\n#include \"other_wide.h\"\n")
file(WRITE ${tree}/tools/probe/probe_wide.h "#include \"frame/wide.h\"\n")
file(WRITE ${tree}/tools/other/other_wide.h "")
execute_process(
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${tree} -P ${SOURCE_DIR}/scripts/check_tool_includes.cmake
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(rc EQUAL 0)
  list(APPEND failures "the include check passes a tool that includes host/session.h")
elseif(NOT out MATCHES "host/session\\.h" OR NOT out MATCHES "host/access\\.h"
       OR NOT out MATCHES "other_wide\\.h")
  list(APPEND failures "the include check does not name all three headers:\n${out}")
elseif(out MATCHES "probe_wide\\.h")
  list(APPEND failures "the include check refuses the header of the tool's own folder:\n${out}")
else()
  message(STATUS "refused by the include check: a tool that includes host/session.h, host/access.h or another tool's header")
endif()

if(failures)
  list(JOIN failures "\n" text)
  message(FATAL_ERROR "${text}")
endif()
