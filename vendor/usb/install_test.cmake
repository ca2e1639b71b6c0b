# Installs the build tree into a fresh prefix and checks that the program,
# the USB module and the udev rule land in their places, and no other library.
# cmake -DBUILD_DIR=... -DPREFIX=... -DLIBDIR=... -DRULES_DIR=... -DRULE=... -P install_test.cmake
cmake_minimum_required(VERSION 3.20)
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
file(GLOB_RECURSE installed RELATIVE ${PREFIX} ${PREFIX}/*)
set(expected
  bin/stelloprog
  ${LIBDIR}/libcp210xmanufacturing.so.1
  ${LIBDIR}/libcp210xmanufacturing.so.1.0.0
  ${RULES_DIR}/${RULE})
foreach(file ${expected})
  if(NOT file IN_LIST installed)
    message(FATAL_ERROR "${file} not installed; installed:\n  ${installed}")
  endif()
endforeach()
# No other library: neither the simulated module nor the fake libusb.
foreach(file ${installed})
  if(file MATCHES "\\.so" AND NOT file IN_LIST expected)
    message(FATAL_ERROR "${file} installed as well")
  endif()
endforeach()
# The module is the USB one: it needs libusb, the simulated one doesn't.
execute_process(COMMAND readelf -d ${PREFIX}/${LIBDIR}/libcp210xmanufacturing.so.1 OUTPUT_VARIABLE dynamic)
if(NOT dynamic MATCHES "libusb-1\\.0\\.so\\.0")
  message(FATAL_ERROR "the installed module is not the USB one:\n${dynamic}")
endif()
file(REMOVE_RECURSE ${PREFIX})
