# Fails when a file under tools/ includes anything of this project but frame/ and the
# headers of its own folder (a tool's vector rows, tools/<tool>/<tool>_wide.h): tools are
# written against frame/ (which brings the host's tool-facing headers) and nothing else.
# Standard and system headers (<...> outside the project's folders) are fine.
# Run: cmake -DSOURCE_DIR=<source root> -P scripts/check_tool_includes.cmake
file(GLOB_RECURSE files ${SOURCE_DIR}/tools/*)
set(bad "")
foreach(file IN LISTS files)
  file(STRINGS ${file} lines REGEX "^[ \t]*#[ \t]*include")
  foreach(line IN LISTS lines)
    if(line MATCHES "#[ \t]*include[ \t]*\"([^\"]*)\"")
      set(header ${CMAKE_MATCH_1})
      get_filename_component(folder ${file} DIRECTORY)
      if(header MATCHES "^[A-Za-z0-9_]+\\.h$" AND EXISTS ${folder}/${header})
        # a header beside the file, in the tool's own folder
      elseif(NOT header MATCHES "^frame/[^.][^/]*$")
        list(APPEND bad "${file}: ${line}")
      endif()
    elseif(line MATCHES "#[ \t]*include[ \t]*<((app|host|tools|tests|bench)/[^>]*)>")
      list(APPEND bad "${file}: ${line}")
    elseif(NOT line MATCHES "#[ \t]*include[ \t]*<")
      list(APPEND bad "${file}: ${line}")
    endif()
  endforeach()
endforeach()
if(bad)
  list(JOIN bad "\n  " text)
  message(FATAL_ERROR "tools may include only frame/ headers and those of their own folder:\n  ${text}")
endif()
