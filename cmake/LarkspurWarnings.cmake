# Strict warnings and reproducible floating point for the project's own targets.
# -ffp-contract=off: the algorithms fix which steps are single and which double
# precision; fused multiply-adds would move points into other cells on CPUs
# that have them (aarch64, newer x86-64).
function(larkspur_strict_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Werror -ffp-contract=off)
endfunction()
