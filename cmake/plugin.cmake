# The plug-in, built twice from one source: the diagnostic build writes every
# trace line, the plain build none. Each build is an object library that the
# .tap file and the unit tests share.
file(GLOB BRANTLOW_PLUGIN_SOURCES CONFIGURE_DEPENDS
     ${CMAKE_SOURCE_DIR}/lib/*.cpp ${CMAKE_SOURCE_DIR}/app/*.cpp)
# The start-up unit defines abort and _init: it goes into the .tap file only.
list(REMOVE_ITEM BRANTLOW_PLUGIN_SOURCES ${CMAKE_SOURCE_DIR}/app/startup.cpp)

foreach(variant diag plain)
  if(variant STREQUAL "diag")
    set(diag_value 1)
    set(tap_name brantlow)
  else()
    set(diag_value 0)
    set(tap_name brantlow-plain)
  endif()

  add_library(brantlow_obj_${variant} OBJECT ${BRANTLOW_PLUGIN_SOURCES})
  target_include_directories(brantlow_obj_${variant} PUBLIC ${CMAKE_SOURCE_DIR})
  target_compile_definitions(brantlow_obj_${variant} PUBLIC BRANTLOW_DIAG=${diag_value})
  target_compile_options(brantlow_obj_${variant} PRIVATE ${BRANTLOW_PLUGIN_FLAGS}
                         -fvisibility=hidden -fstack-usage)

  # Static form for the unit tests, linked with the simulated receiver.
  add_library(brantlow_core_${variant} STATIC $<TARGET_OBJECTS:brantlow_obj_${variant}>)
  target_include_directories(brantlow_core_${variant} PUBLIC ${CMAKE_SOURCE_DIR})
  target_compile_definitions(brantlow_core_${variant} PUBLIC BRANTLOW_DIAG=${diag_value})
  target_link_libraries(brantlow_core_${variant} PUBLIC tap dl)

  # The plug-in file the firmware loads. Sanitized builds have no .tap: the
  # sanitizer runtimes cannot live in a file that needs only libtap, libc and libdl.
  if(NOT BRANTLOW_SANITIZE)
    add_library(brantlow_tap_${variant} SHARED $<TARGET_OBJECTS:brantlow_obj_${variant}>
                ${CMAKE_SOURCE_DIR}/app/startup.cpp)
    target_include_directories(brantlow_tap_${variant} PRIVATE ${CMAKE_SOURCE_DIR})
    target_compile_definitions(brantlow_tap_${variant} PRIVATE BRANTLOW_DIAG=${diag_value})
    target_compile_options(brantlow_tap_${variant} PRIVATE ${BRANTLOW_PLUGIN_FLAGS}
                           -fvisibility=hidden -fstack-usage)
    set_target_properties(brantlow_tap_${variant} PROPERTIES
      OUTPUT_NAME ${tap_name} PREFIX "" SUFFIX ".tap"
      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
      LINKER_LANGUAGE CXX)
    target_link_options(brantlow_tap_${variant} PRIVATE
      -nostartfiles -nodefaultlibs -Wl,-Bsymbolic -Wl,-z,defs -Wl,--no-as-needed)
    # The file for the receiver goes without symbol and debug sections: the
    # firmware needs neither, and the receiver's space is small.
    if(CMAKE_CROSSCOMPILING)
      target_link_options(brantlow_tap_${variant} PRIVATE -s)
    endif()
    # libdl by its file name: since glibc 2.34 there is no libdl.so link name,
    # and -ldl would take the empty libdl.a and leave libdl out of NEEDED.
    target_link_libraries(brantlow_tap_${variant} PRIVATE tap c -l:libdl.so.2 gcc)
  endif()
endforeach()

# The identification records must stay in the order they are written.
set_source_files_properties(${CMAKE_SOURCE_DIR}/app/tap_id.cpp PROPERTIES COMPILE_OPTIONS
                            $<$<CXX_COMPILER_ID:GNU>:-fno-toplevel-reorder>)
