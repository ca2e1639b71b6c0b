# cmake -DHOST_BUILD=build/default -DFILTER=... -P program_tables.cmake
# Runs the whole-program case tables of the Linux build in HOST_BUILD with
# the environment this script gets (STELLOPROG_WINE and the rest point them at
# the Windows program): every test program that holds a ProgramRun case runs
# once, with FILTER choosing the cases.
cmake_minimum_required(VERSION 3.20)
execute_process(COMMAND ${CMAKE_CTEST_COMMAND} --test-dir ${HOST_BUILD} --show-only=json-v1
  OUTPUT_VARIABLE json ERROR_VARIABLE error RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "no Linux build with tests in ${HOST_BUILD}: ${error}")
endif()

string(JSON count LENGTH "${json}" tests)
set(programs "")
if(count GREATER 0)
  math(EXPR last "${count} - 1")
  foreach(i RANGE ${last})
    string(JSON name GET "${json}" tests ${i} name)
    if(name MATCHES "/ProgramRun\\.")
      string(JSON program GET "${json}" tests ${i} command 0)
      list(APPEND programs "${program}")
    endif()
  endforeach()
endif()
list(REMOVE_DUPLICATES programs)
if(NOT programs)
  message(FATAL_ERROR "the Linux build in ${HOST_BUILD} has no whole-program cases; build it first")
endif()

set(failed "")
foreach(program IN LISTS programs)
  message(STATUS "${program} --gtest_filter=${FILTER}")
  execute_process(COMMAND ${program} --gtest_filter=${FILTER} --gtest_brief=1 RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    list(APPEND failed "${program}")
  endif()
endforeach()
if(failed)
  message(FATAL_ERROR "cases failed under Wine: ${failed}")
endif()
