# brantlow_plugin_state: the plug-in's statics put back as they were at the
# program's start (tests/support/plugin_state.h). A program that links it gets
# the linker script that gathers those statics in one section.
if(NOT TARGET brantlow_plugin_state)
  add_library(brantlow_plugin_state STATIC ${CMAKE_SOURCE_DIR}/tests/support/plugin_state.cpp)
  target_include_directories(brantlow_plugin_state PUBLIC ${CMAKE_SOURCE_DIR})
  set(script ${CMAKE_SOURCE_DIR}/tests/support/plugin_state.ld)
  target_link_options(brantlow_plugin_state INTERFACE "LINKER:-T,${script}")
  set_target_properties(brantlow_plugin_state PROPERTIES INTERFACE_LINK_DEPENDS ${script})
endif()
