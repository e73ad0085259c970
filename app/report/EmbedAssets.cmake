# Writes OUTPUT, a C++ file that holds page/report.js and page/report.css as text, so that the
# program carries its page with it: cmake -DSOURCE=<app/report> -DOUTPUT=<file> -P EmbedAssets.cmake
file(READ ${SOURCE}/page/report.js _script)
file(READ ${SOURCE}/page/report.css _style)
foreach(_text _script _style)
  string(FIND "${${_text}}" ")zodiva_page\"" _clash)
  if(NOT _clash EQUAL -1)
    message(FATAL_ERROR "page/ holds the text that ends the embedded string")
  endif()
endforeach()
file(WRITE ${OUTPUT}.new
  "// Made by EmbedAssets.cmake from page/report.js and page/report.css; edit those.\n"
  "#include \"app/report/PageAssets.h\"\n"
  "namespace report {\n"
  "const char* const kPageScript = R\"zodiva_page(${_script})zodiva_page\";\n"
  "const char* const kPageStyle = R\"zodiva_page(${_style})zodiva_page\";\n"
  "}  // namespace report\n")
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.new)
