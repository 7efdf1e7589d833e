# What an owner takes to the receiver: `cmake --install` of the receiver build
# lays out the receiver's disk, and `--target package` packs the same as a ZIP
# and a .tar.gz named with the version.
#
#   ProgramFiles/Brantlow.tap                           the plain build, the everyday plug-in
#   ProgramFiles/Settings/Brantlow/Brantlow-sample.ini  the commented sample settings
#   Brantlow-diagnostic.tap                             the diagnostic build, outside ProgramFiles
#                                                       so that copying that folder never puts
#                                                       two plug-ins on the disk
#   user-guide.md, screens/                             the owner's guide and its pictures
#   Brantlow-VERSION-source.tar.gz                      the source, with the simulated receiver
#   SHA256SUMS                                          checksums of all of it (sha256sum -c)
#
# Installing and upgrading are the same step: copy ProgramFiles onto the
# receiver's disk. So the package holds no file named Brantlow.ini: the copy
# never overwrites the owner's settings. The sample is not read by the
# plug-in under its own name, and its values are the built-in ones.
#
# The plug-in files are installed byte for byte as built and tested: as plain
# files, so that installing rewrites nothing in them.
install(FILES $<TARGET_FILE:brantlow_tap_plain> DESTINATION ProgramFiles RENAME Brantlow.tap)
install(FILES ${CMAKE_SOURCE_DIR}/docs/Brantlow.ini DESTINATION ProgramFiles/Settings/Brantlow
        RENAME Brantlow-sample.ini)
install(FILES $<TARGET_FILE:brantlow_tap_diag> DESTINATION . RENAME Brantlow-diagnostic.tap)
install(FILES ${CMAKE_SOURCE_DIR}/docs/user-guide.md DESTINATION .)
# The plug-in's windows; the simulator's report pages are the developers' own.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/screens/ DESTINATION screens
        FILES_MATCHING PATTERN "*.png" PATTERN "report*.png" EXCLUDE)
install(CODE "set(SOURCE_DIR \"${CMAKE_SOURCE_DIR}\")\nset(BINARY_DIR \"${CMAKE_BINARY_DIR}\")\nset(VERSION \"${PROJECT_VERSION}\")")
install(SCRIPT ${CMAKE_SOURCE_DIR}/cmake/package-source.cmake)
install(SCRIPT ${CMAKE_SOURCE_DIR}/cmake/package-checksums.cmake)

set(CPACK_GENERATOR ZIP TGZ)
set(CPACK_PACKAGE_NAME Brantlow)
set(CPACK_PACKAGE_VENDOR "Brantlow developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Timeshift buffer plug-in for the receiver")
set(CPACK_PACKAGE_FILE_NAME "Brantlow-${PROJECT_VERSION}-receiver")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
