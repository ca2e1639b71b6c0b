# cmake -DACTION=start|stop -DWINE=... -DWINESERVER=... -P wine.cmake, with
# WINEPREFIX set. start initialises the prefix and leaves one wineserver
# running for the cases; stop ends it and every Wine process with it.
# Wine's background services inherit the handles they are started with, so
# everything here runs with /dev/null for all three.
cmake_minimum_required(VERSION 3.20)
if(ACTION STREQUAL "start")
  execute_process(COMMAND ${WINESERVER} -p
    INPUT_FILE /dev/null OUTPUT_FILE /dev/null ERROR_FILE /dev/null)
  execute_process(COMMAND ${WINE} wineboot --init
    INPUT_FILE /dev/null OUTPUT_FILE /dev/null ERROR_FILE /dev/null RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "wineboot --init failed in $ENV{WINEPREFIX} (${rc})")
  endif()
elseif(ACTION STREQUAL "stop")
  execute_process(COMMAND ${WINESERVER} -k
    INPUT_FILE /dev/null OUTPUT_FILE /dev/null ERROR_FILE /dev/null)
else()
  message(FATAL_ERROR "ACTION is start or stop")
endif()
