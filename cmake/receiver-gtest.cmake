# GoogleTest for the receiver build: built from Debian's source package
# (googletest, in /usr/src/googletest) with the cross compiler, so that the
# unit tests link against MIPS libraries and never against the host's. It
# provides the targets that FindGTest would: GTest::gtest, GTest::gtest_main,
# GTest::gmock and GTest::gmock_main.
set(BRANTLOW_GTEST_SOURCE /usr/src/googletest CACHE PATH
    "GoogleTest sources built for the receiver (Debian package googletest)")
if(NOT EXISTS ${BRANTLOW_GTEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${BRANTLOW_GTEST_SOURCE}: "
                      "install the Debian package googletest (scripts/setup.sh does)")
endif()

if(NOT TARGET gtest)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  # GoogleTest is not ours to keep warning-free: build it without the
  # project's -Werror (it sets its own warning flags).
  get_directory_property(brantlow_saved_options COMPILE_OPTIONS)
  set_directory_properties(PROPERTIES COMPILE_OPTIONS "")
  add_subdirectory(${BRANTLOW_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  set_directory_properties(PROPERTIES COMPILE_OPTIONS "${brantlow_saved_options}")
endif()

foreach(lib gtest gtest_main gmock gmock_main)
  if(NOT TARGET GTest::${lib})
    add_library(GTest::${lib} ALIAS ${lib})
  endif()
endforeach()
