# Fails when the disassembly of FILE holds a fused multiply-add instruction:
# the numeric code rounds every product and every sum on its own (the build's
# -ffp-contract=off, and the x86-64 target lists' no-fma), so that every
# architecture and lane width gives the same bits.
#   cmake -DOBJDUMP=<objdump of the target> -DFILE=<library> -DARCH=<x86_64|aarch64> -P check_no_fused.cmake
if(ARCH STREQUAL "aarch64")
  # Scalar, Advanced SIMD and SVE forms: fmadd, fmsub, fnmadd, fnmsub, fmla,
  # fmls (by element too), fmlal/fmlsl (widening), bfmla.
  set(fused "[ \t](fn?m(add|sub)|fml[as]l?2?|bfml[as][lbt]*|fmad|fmsb|fnmad|fnmsb|fnml[as])[ \t]")
elseif(ARCH STREQUAL "x86_64")
  # FMA3 (vfmadd132pd, vfnmsub231sd, vfmaddsub..., vfmsubadd...) and FMA4 forms.
  set(fused "[ \t]vfn?m(add|sub)")
else()
  message(STATUS "no fused multiply-add check for ${ARCH}")
  return()
endif()
execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn ${FILE} OUTPUT_FILE ${FILE}.disassembly
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -d ${FILE} failed")
endif()
file(STRINGS ${FILE}.disassembly lines REGEX "${fused}")
file(STRINGS ${FILE}.disassembly instructions REGEX "^ +[0-9a-f]+:")
list(LENGTH instructions count)
if(count EQUAL 0)
  message(FATAL_ERROR "no instructions in the disassembly of ${FILE}")
endif()
if(lines)
  list(LENGTH lines found)
  list(SUBLIST lines 0 10 shown)
  string(REPLACE ";" "\n" shown "${shown}")
  message(FATAL_ERROR "${found} fused multiply-add instructions in ${FILE}, for example:\n${shown}")
endif()
message(STATUS "no fused multiply-add among the ${count} instructions of ${FILE}")
file(REMOVE ${FILE}.disassembly)
