# Install step: the source the package was built from, as
# Brantlow-VERSION-source.tar.gz beside the receiver's files, so that the
# owner's guide can point at the simulated receiver, the scenarios and the
# build scripts it names. Expects SOURCE_DIR, BINARY_DIR and VERSION.
#
# The files are those git tracks when the source is a git checkout (as they
# are in the working tree), else every file of the source's folders but the
# build trees. Every entry carries one fixed date, so that the same source
# gives the same archive.
set(top "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(name "Brantlow-${VERSION}")
set(files "")
find_program(git_program git)
if(git_program AND EXISTS "${SOURCE_DIR}/.git")
  # One name a line, unquoted (the tree's names hold no line feed or ";").
  execute_process(COMMAND "${git_program}" -C "${SOURCE_DIR}" -c core.quotepath=off ls-files
                  OUTPUT_VARIABLE listed RESULT_VARIABLE failed)
  if(NOT failed)
    string(REPLACE "\n" ";" files "${listed}")
  endif()
endif()
if(files STREQUAL "")
  file(GLOB_RECURSE files RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/*")
  list(FILTER files EXCLUDE REGEX "^(build|out)/|(^|/)__pycache__/|^\\.git/")
endif()
set(stage "${BINARY_DIR}/source-archive")
file(REMOVE_RECURSE "${stage}")
foreach(f IN LISTS files)
  if(f STREQUAL "" OR IS_DIRECTORY "${SOURCE_DIR}/${f}" OR NOT EXISTS "${SOURCE_DIR}/${f}")
    continue()
  endif()
  get_filename_component(dir "${stage}/${name}/${f}" DIRECTORY)
  file(COPY "${SOURCE_DIR}/${f}" DESTINATION "${dir}" USE_SOURCE_PERMISSIONS)
endforeach()
set(archive "${top}/${name}-source.tar.gz")
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar czf "${archive}" --format=gnutar
                        "--mtime=2026-01-01 00:00:00 UTC" "${name}"
                WORKING_DIRECTORY "${stage}" RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cannot pack the source into ${archive}")
endif()
file(REMOVE_RECURSE "${stage}")
message(STATUS "Installing: ${archive}")
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${CMAKE_INSTALL_PREFIX}/${name}-source.tar.gz")
