# Runs zelkc once in a fresh directory and checks what it did.
#
#   cmake -DZELKC=<exe> -DCASE_DIR=<dir> -DARGS=<a^^b^^c> -DEXIT=<status>
#         [-DSTDOUT=<regex>] [-DSTDERR=<regex>] [-DCREATES=<f^^g>]
#         [-DABSENT=<f^^g>] [-DKEEPS=<file>] [-DXML=<f^^g>] [-DHTML=<f^^g>]
#         [-DJSON_FILE=<f> -DJSON_PATH=<k1^^k2> -DJSON_VALUE=<v>] [-DSTDIN=<file>]
#         [-DAT_MOST=<file>^^<bytes>] [-DSTDOUT_FILE=<file>] -P run_case.cmake
#
# Lists use ^^ as separator so that arguments may hold semicolons, and a
# semicolon in a single value comes as ^semicolon^. Paths are
# relative to CASE_DIR. A failing run must print exactly one error line on
# standard error, with only indented detail lines below it. KEEPS names a
# file made before the run that must come out unchanged; AT_MOST names a file
# and the most bytes it may have; ABSENT files must not exist afterwards, and
# no temporary file may be left behind. XML files must be well-formed XML;
# HTML files must be both well-formed XML and accepted by the HTML parser.
# STDOUT_FILE sends standard output to that file (such as /dev/full) instead
# of capturing it.

cmake_minimum_required(VERSION 3.25)

function(split out text)
  string(REPLACE "^^" ";" list "${text}")
  set(${out} "${list}" PARENT_SCOPE)
endfunction()

function(fail message)
  message(FATAL_ERROR "zelkc ${ARGS}\n${message}\n--- stdout ---\n${out}\n--- stderr ---\n${err}")
endfunction()

file(REMOVE_RECURSE "${CASE_DIR}")
file(MAKE_DIRECTORY "${CASE_DIR}")
set(kept_text "made before the run\n")
if(KEEPS)
  file(WRITE "${CASE_DIR}/${KEEPS}" "${kept_text}")
endif()

split(arguments "${ARGS}")
set(input)
if(STDIN)
  set(input INPUT_FILE "${STDIN}")
endif()
set(output OUTPUT_VARIABLE out)
if(STDOUT_FILE)
  set(output OUTPUT_FILE "${STDOUT_FILE}")
endif()
execute_process(
  COMMAND "${ZELKC}" ${arguments}
  ${input}
  WORKING_DIRECTORY "${CASE_DIR}"
  RESULT_VARIABLE status
  ${output}
  ERROR_VARIABLE err)

if(NOT "${status}" STREQUAL "${EXIT}")
  fail("exit status ${status}, expected ${EXIT}")
endif()
foreach(value STDOUT STDERR KEEPS JSON_FILE JSON_VALUE STDIN STDOUT_FILE)
  if(DEFINED ${value})
    string(REPLACE "^semicolon^" ";" ${value} "${${value}}")
  endif()
endforeach()
if(DEFINED STDOUT AND NOT out MATCHES "${STDOUT}")
  fail("standard output does not match: ${STDOUT}")
endif()
if(DEFINED STDERR AND NOT err MATCHES "${STDERR}")
  fail("standard error does not match: ${STDERR}")
endif()
# One "zelkc: error: ..." line, and below it only indented detail lines
# (the fit diagnosis under a memory failure).
if(NOT EXIT EQUAL 0 AND NOT err MATCHES "^zelkc: error: [^\n]+\n(  [^\n]+\n)*$")
  fail("a failure must print one \"zelkc: error: ...\" line and only indented lines below it")
endif()

split(created "${CREATES}")
foreach(file IN LISTS created)
  if(NOT EXISTS "${CASE_DIR}/${file}")
    fail("${file} was not written")
  endif()
endforeach()
split(absent "${ABSENT}")
foreach(file IN LISTS absent)
  if(EXISTS "${CASE_DIR}/${file}")
    fail("${file} was written although the run failed")
  endif()
endforeach()
if(KEEPS)
  file(READ "${CASE_DIR}/${KEEPS}" kept)
  if(NOT kept STREQUAL kept_text)
    fail("${KEEPS} was changed")
  endif()
endif()
file(GLOB_RECURSE leftovers "${CASE_DIR}/.*.tmp")
if(leftovers)
  fail("temporary files were left behind: ${leftovers}")
endif()

split(xml_files "${XML}")
split(html_files "${HTML}")
if(xml_files OR html_files)
  find_program(XMLLINT xmllint REQUIRED)
endif()
foreach(file IN LISTS xml_files html_files)
  execute_process(COMMAND "${XMLLINT}" --noout "${CASE_DIR}/${file}"
    RESULT_VARIABLE lint ERROR_VARIABLE lint_err)
  if(NOT lint EQUAL 0)
    fail("${file} is not well-formed XML:\n${lint_err}")
  endif()
endforeach()
foreach(file IN LISTS html_files)
  execute_process(COMMAND "${XMLLINT}" --html --noout "${CASE_DIR}/${file}"
    RESULT_VARIABLE lint ERROR_VARIABLE lint_err)
  if(NOT lint EQUAL 0)
    fail("${file} is not accepted by the HTML parser:\n${lint_err}")
  endif()
endforeach()

if(JSON_FILE)
  file(READ "${CASE_DIR}/${JSON_FILE}" json)
  split(path "${JSON_PATH}")
  string(JSON value ERROR_VARIABLE json_error GET "${json}" ${path})
  if(json_error)
    fail("${JSON_FILE}: ${json_error}")
  endif()
  if(NOT value STREQUAL JSON_VALUE)
    fail("${JSON_FILE} at ${JSON_PATH} holds ${value}, expected ${JSON_VALUE}")
  endif()
endif()

if(AT_MOST)
  split(limit "${AT_MOST}")
  list(GET limit 0 file)
  list(GET limit 1 bytes)
  file(SIZE "${CASE_DIR}/${file}" size)
  if(size GREATER bytes)
    fail("${file} has ${size} bytes, more than ${bytes}")
  endif()
endif()
