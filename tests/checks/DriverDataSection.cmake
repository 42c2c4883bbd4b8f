# Every writable global of the driver must lie in the section that the simulated board
# restores before each run (DRIVER_DATA in KernelServices.h). A global outside it keeps
# whatever an earlier run left in it, so a test would start from a state that no fresh
# load of the driver has.
#
#   cmake -DOBJDUMP=objdump -DLIBRARY=librailwatch_driver.a -P DriverDataSection.cmake
execute_process(COMMAND ${OBJDUMP} -t ${LIBRARY} OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -t ${LIBRARY} failed")
endif()

string(REPLACE "\n" ";" lines "${symbols}")
set(outside "")
set(inside 0)
foreach(line IN LISTS lines)
  # "<value> <flags> <section>\t<size> <name>"; data objects carry the flag O.
  if(NOT line MATCHES "^[0-9a-f]+ ......O ([^\t]+)\t[0-9a-f]+ (.+)$")
    continue()
  endif()
  set(section "${CMAKE_MATCH_1}")
  set(name "${CMAKE_MATCH_2}")
  if(section STREQUAL "railwatch_driver_data")
    math(EXPR inside "${inside} + 1")
  elseif(section MATCHES "^\\.(data|bss|tdata|tbss)" AND NOT section MATCHES "^\\.data\\.rel\\.ro")
    # The sanitizers' own bookkeeping is no state of the driver.
    if(NOT name MATCHES "^(\\.|__asan|__odr_asan|__tsan|__ubsan|__sancov)")
      list(APPEND outside "${name} (${section})")
    endif()
  endif()
endforeach()

if(outside)
  list(JOIN outside "\n  " text)
  message(FATAL_ERROR "writable driver globals outside DRIVER_DATA:\n  ${text}\n"
                      "declare each one DRIVER_DATA so that every run starts from its initialiser")
endif()
if(inside EQUAL 0)
  message(FATAL_ERROR "no driver global lies in railwatch_driver_data: the check sees nothing")
endif()
message(STATUS "${inside} writable driver globals, all in railwatch_driver_data")
