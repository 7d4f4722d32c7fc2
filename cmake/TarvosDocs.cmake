# The tool's man page, built from docs/tarvos.1.scd with scdoc (Debian: scdoc) and installed; and a
# `docs` target that builds the API reference of public_include/ with Doxygen when it is installed.
# Neither is needed to build or test the library.
find_program(TARVOS_SCDOC scdoc)
if(TARVOS_BUILD_TOOLS AND TARVOS_SCDOC)
  add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/tarvos.1
    COMMAND ${TARVOS_SCDOC} < ${CMAKE_CURRENT_SOURCE_DIR}/docs/tarvos.1.scd > ${CMAKE_CURRENT_BINARY_DIR}/tarvos.1
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/docs/tarvos.1.scd
    COMMENT "Building the man page tarvos.1")
  add_custom_target(tarvos_man ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/tarvos.1)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tarvos.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
elseif(TARVOS_BUILD_TOOLS)
  message(STATUS "scdoc not found: the man page tarvos.1 is not built (apt-get install scdoc)")
endif()

find_package(Doxygen QUIET)
if(DOXYGEN_FOUND)
  set(DOXYGEN_PROJECT_NAME Tarvos)
  set(DOXYGEN_PROJECT_NUMBER ${PROJECT_VERSION})
  set(DOXYGEN_PROJECT_BRIEF "${PROJECT_DESCRIPTION}")
  set(DOXYGEN_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/docs)
  set(DOXYGEN_EXTRACT_ALL YES)
  set(DOXYGEN_GENERATE_LATEX NO)
  set(DOXYGEN_WARN_IF_UNDOCUMENTED NO)
  set(DOXYGEN_FULL_PATH_NAMES YES)
  set(DOXYGEN_STRIP_FROM_PATH ${CMAKE_CURRENT_SOURCE_DIR}/public_include)
  set(DOXYGEN_EXCLUDE_SYMBOLS "TARVOS_*")
  set(DOXYGEN_PREDEFINED "TARVOS_EXPORT=")
  # The headers' plain // comments are read as Doxygen's /// and ///< (see the filter).
  set(DOXYGEN_INPUT_FILTER ${CMAKE_CURRENT_SOURCE_DIR}/cmake/doxygen-filter.sh)
  set(DOXYGEN_FILE_PATTERNS *.h)
  doxygen_add_docs(docs ${CMAKE_CURRENT_SOURCE_DIR}/public_include ${CMAKE_CURRENT_SOURCE_DIR}/docs/GUIDE.md
    COMMENT "Building the API reference in ${CMAKE_CURRENT_BINARY_DIR}/docs/html")
endif()
