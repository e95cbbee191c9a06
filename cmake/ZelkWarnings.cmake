# Warning and floating-point flags for this project's own targets. Every flag is
# PRIVATE so that none of them reaches a consumer's build.

function(zelk_target_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion)
  if(ZELK_WARNINGS_AS_ERRORS)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# The host reference arithmetic must round every operation on its own: no
# contraction into fused multiply-adds, whatever the optimisation level.
function(zelk_target_strict_float target)
  target_compile_options(${target} PRIVATE -ffp-contract=off -fno-fast-math)
endfunction()
