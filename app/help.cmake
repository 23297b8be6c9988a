# Turns one language's user help (Markdown with tables) into the HTML page the Help menu
# opens, with the pictures it shows beside it. Run as cmake -DCMARK=<cmark-gfm>
# -DINPUT=<file.md> -DOUTPUT=<file.html> -DLANGUAGE=<en|de> -P help.cmake.
execute_process(COMMAND ${CMARK} --extension table ${INPUT} OUTPUT_VARIABLE body
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmark-gfm could not convert ${INPUT}")
endif()
string(REGEX MATCH "<h1>[^<]*</h1>" title "${body}")
string(REGEX REPLACE "</?h1>" "" title "${title}")
# Semicolons would split CMake's lists; they come back at the end.
string(REPLACE ";" "<semicolon>" body "${body}")
# Headings get the anchors the documents' own links use (as the repository's web view makes
# them: lower case, punctuation dropped, blanks as hyphens), which cmark-gfm does not add.
string(REGEX MATCHALL "<h[1-6]>[^\n]*</h[1-6]>" headings "${body}")
foreach(heading ${headings})
  string(REGEX REPLACE "^<h([1-6])>.*$" "\\1" level "${heading}")
  string(REGEX REPLACE "<[^>]*>" "" slug "${heading}")
  string(REGEX REPLACE "&[a-z]+<semicolon>" "" slug "${slug}")
  string(TOLOWER "${slug}" slug)
  # ASCII punctuation goes; letters of other scripts (ä, ö, ü) stay, as in the web view.
  string(REGEX REPLACE "[][!\"#$%&'()*+,./:<=>?@\\^`{|}~]" "" slug "${slug}")
  string(REPLACE " " "-" slug "${slug}")
  string(REPLACE "<h${level}>" "<h${level} id=\"${slug}\">" anchored "${heading}")
  string(REPLACE "${heading}" "${anchored}" body "${body}")
endforeach()
# The other documents are not installed with the program: a link to one becomes its text
# and where the sources keep it.
string(REGEX REPLACE "<a href=\"([^\":#/]+\\.md)(#[^\"]*)?\">([^<]*)</a>"
       "\\3 (docs/\\1 in QipFinder's sources)" body "${body}")
string(REPLACE "<semicolon>" ";" body "${body}")
get_filename_component(folder ${OUTPUT} DIRECTORY)
get_filename_component(source ${INPUT} DIRECTORY)
file(MAKE_DIRECTORY ${folder})
# Pictures of the documents' folder (src="../name.png") are copied beside the page.
string(REGEX REPLACE "src=\"\\.\\./([^\"/]+\\.png)\"" "src=\"\\1\"" body "${body}")
file(WRITE ${OUTPUT} "<!DOCTYPE html>\n<html lang=\"${LANGUAGE}\">\n<head>\n<meta charset=\"utf-8\">\n"
  "<title>${title}</title>\n<style>body{max-width:52em;margin:1em auto;padding:0 1em;"
  "font-family:sans-serif;line-height:1.4}img{max-width:100%}code,pre{background:#f4f4f4}"
  "table{border-collapse:collapse}td,th{border:1px solid #ccc;padding:.2em .4em}</style>\n"
  "</head>\n<body>\n${body}</body>\n</html>\n")
string(REGEX MATCHALL "src=\"[^\"/]+\\.png\"" pictures "${body}")
foreach(picture ${pictures})
  string(REGEX REPLACE "src=\"([^\"]+)\"" "\\1" name "${picture}")
  foreach(from ${source} ${source}/..)
    if(EXISTS ${from}/${name})
      file(COPY ${from}/${name} DESTINATION ${folder})
    endif()
  endforeach()
endforeach()
