# Script run by CTest: install the build tree into a scratch prefix, then
# configure, build and run a consumer project (examples/consumer or
# examples/onnx_consumer) against that prefix, with ZELK_CONSUMER_ARGS.
foreach(var ZELK_BUILD_DIR ZELK_CONSUMER_SOURCE ZELK_SCRATCH ZELK_GENERATOR ZELK_CXX_COMPILER)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE ${ZELK_SCRATCH})
set(prefix ${ZELK_SCRATCH}/prefix)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}")
  endif()
endfunction()

run(${CMAKE_COMMAND} --install ${ZELK_BUILD_DIR} --prefix ${prefix})
run(${CMAKE_COMMAND} -S ${ZELK_CONSUMER_SOURCE} -B ${ZELK_SCRATCH}/build
    -G ${ZELK_GENERATOR} -DCMAKE_CXX_COMPILER=${ZELK_CXX_COMPILER}
    -DCMAKE_PREFIX_PATH=${prefix}
    "-DCMAKE_CXX_FLAGS=${ZELK_CXX_FLAGS}"
    "-DCMAKE_EXE_LINKER_FLAGS=${ZELK_LINKER_FLAGS}")
run(${CMAKE_COMMAND} --build ${ZELK_SCRATCH}/build)
run(${ZELK_SCRATCH}/build/app ${ZELK_CONSUMER_ARGS})
