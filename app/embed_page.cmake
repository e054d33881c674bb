# Writes OUT: a C++ file whose ViewPage() returns HTML with the style sheet CSS and the
# script JS put in place of its @STYLE@ and @SCRIPT@ lines. Run by the build whenever one
# of the three files changes.
file(READ ${HTML} html)
file(READ ${CSS} css)
file(READ ${JS} js)
foreach(text IN ITEMS html css js)
  string(FIND "${${text}}" ")qrvxpage\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${text} holds the literal's delimiter")
  endif()
endforeach()
file(WRITE ${OUT} "// Made by app/embed_page.cmake from the page's sources.\n"
  "#include \"app/view_page.h\"\n\n#include <string>\n\nnamespace app {\n\n"
  "std::string ViewPage() {\n"
  "    std::string page = R\"qrvxpage(${html})qrvxpage\";\n"
  "    const std::string style = R\"qrvxpage(${css})qrvxpage\";\n"
  "    const std::string script = R\"qrvxpage(${js})qrvxpage\";\n"
  "    page.replace(page.find(\"@STYLE@\"), 7, style);\n"
  "    page.replace(page.find(\"@SCRIPT@\"), 8, script);\n"
  "    return page;\n}\n\n} // namespace app\n")
