# The Windows build, from the top-level directory: its checks, run by ctest,
# and the zip for users, with the x64 program from this build and the x86 one
# from the build in STELLO_X86_BUILD.
enable_testing()
add_subdirectory(tests/windows)

set(readme ${CMAKE_BINARY_DIR}/README.txt)
configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/README.txt ${readme} @ONLY NEWLINE_STYLE CRLF)
install(FILES ${readme} DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME stelloprog-${PROJECT_VERSION}-windows)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(STELLO_X86_BUILD ${PROJECT_SOURCE_DIR}/build/mingw-x86 CACHE PATH
    "Build of the x86 program that the zip takes it from")
  set(CPACK_INSTALL_CMAKE_PROJECTS
    "${CMAKE_BINARY_DIR};stelloprog;ALL;/"
    "${STELLO_X86_BUILD};stelloprog;ALL;/")
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/package-check.cmake)
  file(WRITE ${CPACK_PROJECT_CONFIG_FILE}
    "if(NOT EXISTS \"${STELLO_X86_BUILD}/cmake_install.cmake\")\n"
    "  message(FATAL_ERROR \"the zip takes the x86 program from ${STELLO_X86_BUILD}: build it first\")\n"
    "endif()\n")
endif()
include(CPack)
