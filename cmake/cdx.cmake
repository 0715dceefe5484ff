# cdx_library(NAME [RECURSE] DEPENDS dep...): a static library of every .cpp in
# the calling folder (and, with RECURSE, in its subfolders: one folder per
# module family); the folder's parent is on the include path, so headers are
# included as "platform/xxx.h", "cdxlib/xxx.h", "base/structs/xxx.h".
function(cdx_library name)
  cmake_parse_arguments(ARG "RECURSE" "" "DEPENDS" ${ARGN})
  if(ARG_RECURSE)
    file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  else()
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  endif()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPENDS} Threads::Threads)
endfunction()

# cdx_tool(NAME SOURCES... DEPENDS dep...): a command-line program.
function(cdx_tool name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPENDS})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
endfunction()
