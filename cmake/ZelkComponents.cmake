# What each component (the library, the importer, zelkc) builds beside itself:
# its tests, benchmarks and fuzz targets, each under its ZELK_BUILD_ option.
function(zelk_add_component_checks)
  if(ZELK_BUILD_TESTS)
    add_subdirectory(tests)
  endif()
  if(ZELK_BUILD_BENCHMARKS)
    add_subdirectory(bench)
  endif()
  if(ZELK_BUILD_FUZZERS)
    add_subdirectory(fuzz)
  endif()
endfunction()
