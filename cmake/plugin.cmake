# The plug-in, built twice from one source: the diagnostic build writes every
# trace line, the plain build none. Each build is an object library that the
# .tap file and the unit tests share.
file(GLOB BRANTLOW_PLUGIN_SOURCES CONFIGURE_DEPENDS
     ${CMAKE_SOURCE_DIR}/lib/*.cpp ${CMAKE_SOURCE_DIR}/app/*.cpp)
# The start-up unit defines abort and _init: it goes into the .tap file only.
list(REMOVE_ITEM BRANTLOW_PLUGIN_SOURCES ${CMAKE_SOURCE_DIR}/app/startup.cpp)

# The receiver's files: base MIPS32 instruction set (nothing says the
# receiver's processor has release 2), and linked against link stubs made from
# the allow-list platform/receiver-abi.txt instead of the build machine's
# libraries: no symbol versions, no C library internals, no run path. The
# floating-point ABI stays the toolchain's hard-float one (the loader refuses
# a soft-float object in a hard-float program); the plug-in has no floating
# point, and the build checks make sure the files hold no such instruction.
set(BRANTLOW_RECEIVER_FILE OFF)
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "mipsel")
  set(BRANTLOW_RECEIVER_FILE ON)
  list(APPEND BRANTLOW_PLUGIN_FLAGS -march=mips32)
endif()
set(BRANTLOW_RECEIVER_ABI ${CMAKE_SOURCE_DIR}/platform/receiver-abi.txt)
if(BRANTLOW_RECEIVER_FILE)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${BRANTLOW_RECEIVER_ABI})
  file(STRINGS ${BRANTLOW_RECEIVER_ABI} stub_sonames REGEX "^\\[.+\\]$")
  set(stub_dir ${CMAKE_BINARY_DIR}/link-stubs)
  set(BRANTLOW_LINK_STUBS)
  set(BRANTLOW_LINK_STUB_ITEMS -L${stub_dir})
  foreach(soname IN LISTS stub_sonames)
    string(REGEX REPLACE "^\\[(.+)\\]$" "\\1" soname "${soname}")
    add_custom_command(OUTPUT ${stub_dir}/${soname}
      COMMAND ${CMAKE_COMMAND} -DLIST=${BRANTLOW_RECEIVER_ABI} -DLIBRARY=${soname}
              -DOUTPUT=${stub_dir}/${soname}.c -P ${CMAKE_SOURCE_DIR}/cmake/receiver-stubs.cmake
      COMMAND ${CMAKE_C_COMPILER} -march=mips32 -shared -fPIC -nostdlib -fno-builtin -w
              -Wl,-soname,${soname} -o ${stub_dir}/${soname} ${stub_dir}/${soname}.c
      DEPENDS ${BRANTLOW_RECEIVER_ABI} ${CMAKE_SOURCE_DIR}/cmake/receiver-stubs.cmake
      COMMENT "Link stub ${soname} from the allow-list")
    list(APPEND BRANTLOW_LINK_STUBS ${stub_dir}/${soname})
    # By file name in the stubs' folder, which the link searches first.
    list(APPEND BRANTLOW_LINK_STUB_ITEMS -l:${soname})
  endforeach()
  add_custom_target(brantlow_link_stubs DEPENDS ${BRANTLOW_LINK_STUBS})
endif()

if(NOT BRANTLOW_RECEIVER_FILE AND NOT TARGET tap)
  message(FATAL_ERROR "The host's plug-in files link against the simulated receiver: set BRANTLOW_SIM=ON")
endif()

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
  if(TARGET tap)
    add_library(brantlow_core_${variant} STATIC $<TARGET_OBJECTS:brantlow_obj_${variant}>)
    target_include_directories(brantlow_core_${variant} PUBLIC ${CMAKE_SOURCE_DIR})
    target_compile_definitions(brantlow_core_${variant} PUBLIC BRANTLOW_DIAG=${diag_value})
    target_link_libraries(brantlow_core_${variant} PUBLIC tap dl)
  endif()

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
    target_link_options(brantlow_tap_${variant} PRIVATE -nostartfiles -nodefaultlibs
      -Wl,-Bsymbolic -Wl,-z,defs -Wl,--no-as-needed -Wl,--build-id=sha1)
    if(BRANTLOW_RECEIVER_FILE)
      # The file for the receiver goes without symbol and debug sections: the
      # firmware needs neither, and the receiver's space is small. It names
      # what the stubs define and nothing else; libgcc's helpers are linked in.
      target_link_options(brantlow_tap_${variant} PRIVATE -s)
      target_link_libraries(brantlow_tap_${variant} PRIVATE ${BRANTLOW_LINK_STUB_ITEMS} gcc)
      add_dependencies(brantlow_tap_${variant} brantlow_link_stubs)
      set_target_properties(brantlow_tap_${variant} PROPERTIES
        SKIP_BUILD_RPATH ON LINK_DEPENDS "${BRANTLOW_LINK_STUBS}")
    else()
      # libdl by its file name: since glibc 2.34 there is no libdl.so link name,
      # and -ldl would take the empty libdl.a and leave libdl out of NEEDED.
      target_link_libraries(brantlow_tap_${variant} PRIVATE tap c -l:libdl.so.2 gcc)
    endif()
  endif()
endforeach()

# The identification records must stay in the order they are written.
set_source_files_properties(${CMAKE_SOURCE_DIR}/app/tap_id.cpp PROPERTIES COMPILE_OPTIONS
                            $<$<CXX_COMPILER_ID:GNU>:-fno-toplevel-reorder>)
