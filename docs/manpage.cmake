# Writes the man page of k4471-cli from the program's own --help, so that it
# says what the program says:
#   cmake -DCLI=k4471-cli -DHELP2MAN=help2man -DOUTPUT=k4471-cli.1 -DWORK=dir -P manpage.cmake
# help2man reads the top-level help; each subcommand's own help (its usage and
# options) is added as a section of its own.
cmake_minimum_required(VERSION 3.25)

function(run_cli out)
  execute_process(COMMAND ${CLI} ${ARGN} OUTPUT_VARIABLE text RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${CLI} ${ARGN} failed (${result})")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Roff: backslashes, hyphens and lines that would start with a control character.
function(roff out text)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  string(REGEX REPLACE "^([.'])" "\\\\&\\1" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

run_cli(top --help)
string(REGEX MATCH "\nSubcommands:\n(([ ]+[^\n]*\n)+)" found "${top}")
if(NOT found)
  message(FATAL_ERROR "${CLI} --help lists no subcommands")
endif()
string(REGEX MATCHALL "\n  ([a-z][a-z0-9-]*)" names "\n${CMAKE_MATCH_1}")
string(REGEX REPLACE "\n  " "" names "${names}")

# One subcommand's section: its summary, usage and options; a subcommand with
# subcommands of its own (counter) is followed by a section for each of them.
function(add_section)
  string(REPLACE ";" " " title "${ARGN}")
  run_cli(help ${ARGN} --help)
  set(text "${include}.SS \"${title}\"\n")
  # The lines between the summary and the exit codes: usage, then one entry a line.
  string(REGEX REPLACE "\nExit codes:.*" "" help "${help}")
  string(REGEX MATCH "\nSubcommands:\n(([ ]+[^\n]*\n)+)" nested "${help}")
  set(nested_names)
  if(nested)
    string(REGEX MATCHALL "\n  ([a-z][a-z0-9-]*)" nested_names "\n${CMAKE_MATCH_1}")
    string(REGEX REPLACE "\n  " "" nested_names "${nested_names}")
  endif()
  string(REPLACE ";" "<semicolon>" help "${help}")
  string(REPLACE "\n" ";" lines "${help}")
  list(POP_FRONT lines summary)
  roff(summary "${summary}")
  string(APPEND text "${summary}.\n")
  foreach(line IN LISTS lines)
    string(REPLACE "<semicolon>" ";" line "${line}")
    if(line MATCHES "^Usage: [^ ]+ (.*)$")
      roff(usage "${CMAKE_MATCH_1}")
      string(APPEND text ".PP\n.B k4471\\-cli\n${usage}\n")
    elseif(line MATCHES "^  +(-[^ ].*[^ ]|[A-Z][^ ]*.*[^ ])  +([^ ].*)$")
      roff(entry "${CMAKE_MATCH_1}")
      roff(description "${CMAKE_MATCH_2}")
      string(APPEND text ".TP\n\\fB${entry}\\fR\n${description}\n")
    endif()
  endforeach()
  set(include "${text}")
  foreach(sub IN LISTS nested_names)
    add_section(${ARGN} ${sub})
  endforeach()
  set(include "${include}" PARENT_SCOPE)
endfunction()

set(include "[COMMANDS]\n")
foreach(name IN LISTS names)
  add_section(${name})
endforeach()
string(APPEND include "[SEE ALSO]\nThe K4471 manual, manual.html, in the documentation folder of the installation
(share/doc/k4471 under its prefix), tells the whole story: connecting a board, the file
formats, every message and what to do about it.\n")
file(WRITE ${WORK}/k4471-cli.h2m "${include}")

execute_process(
  COMMAND ${HELP2MAN} --no-info --no-discard-stderr --section 1
          --name "program, erase and launch a K4471 target board through its serial bootloader"
          --include ${WORK}/k4471-cli.h2m --output ${OUTPUT} ${CLI}
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "help2man failed (${result})")
endif()
