# Turns the Markdown manual into one HTML page with its style sheet inside:
#   cmake -DCMARK=cmark-gfm -DINPUT=manual.md -DSTYLE=manual.css -DOUTPUT=manual.html
#         -P manual-html.cmake
# Headings get the ids that the repository's Markdown view gives them, so the
# contents' links work in both.
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${CMARK} --extension table --extension autolink --to html ${INPUT}
                OUTPUT_VARIABLE body RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR body STREQUAL "")
  message(FATAL_ERROR "${CMARK} could not convert ${INPUT} (${result})")
endif()

# Semicolons would split the lists below: held as a placeholder until the end.
string(REPLACE ";" "@semicolon@" body "${body}")

# The id of a heading: its text in lower case, without markup and punctuation,
# spaces turned into hyphens.
function(heading_id out html)
  string(REGEX REPLACE "<[^>]*>" "" text "${html}")
  string(REGEX REPLACE "&[a-z]+@semicolon@|&#[0-9]+@semicolon@" "" text "${text}")
  string(TOLOWER "${text}" text)
  string(REGEX REPLACE "[^a-z0-9 _-]" "" text "${text}")
  string(REPLACE " " "-" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

string(REGEX MATCHALL "<h[1-6]>[^\n]*</h[1-6]>" headings "${body}")
set(seen "")
foreach(heading IN LISTS headings)
  string(REGEX MATCH "^<h([1-6])>(.*)</h[1-6]>$" _ "${heading}")
  set(level ${CMAKE_MATCH_1})
  set(inner "${CMAKE_MATCH_2}")
  heading_id(id "${inner}")
  if(id IN_LIST seen)
    message(FATAL_ERROR "${INPUT}: two headings would have the id '${id}'")
  endif()
  list(APPEND seen "${id}")
  string(REPLACE "${heading}" "<h${level} id=\"${id}\">${inner}</h${level}>" body "${body}")
  if(NOT title AND level EQUAL 1)
    string(REGEX REPLACE "<[^>]*>" "" title "${inner}")
  endif()
endforeach()

string(REPLACE "@semicolon@" ";" body "${body}")
string(REPLACE "@semicolon@" ";" title "${title}")
file(READ ${STYLE} style)
file(WRITE ${OUTPUT} "<!DOCTYPE html>
<html lang=\"en\">
<head>
<meta charset=\"utf-8\">
<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">
<title>${title}</title>
<style>
${style}</style>
</head>
<body>
<main>
${body}</main>
</body>
</html>
")
