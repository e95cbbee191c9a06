# The memory map committed under docs/ is what zelkc draws today.
#
#   cmake -DZELKC=<exe> -DCASE_DIR=<dir> -DEXPECTED=<svg> -P docs_picture.cmake

cmake_minimum_required(VERSION 3.25)

file(REMOVE_RECURSE "${CASE_DIR}")
file(MAKE_DIRECTORY "${CASE_DIR}")
execute_process(COMMAND "${ZELKC}" compile --memory-map tile0.svg -o summary.txt
  WORKING_DIRECTORY "${CASE_DIR}" RESULT_VARIABLE status ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "zelkc failed (${status}): ${err}")
endif()
file(READ "${CASE_DIR}/tile0.svg" drawn)
file(READ "${EXPECTED}" committed)
if(NOT drawn STREQUAL committed)
  message(FATAL_ERROR "${EXPECTED} is out of date; redraw it with\n"
    "  zelkc compile --memory-map docs/memory-map-tile0.svg")
endif()
