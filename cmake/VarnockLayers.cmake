# The library is built in layers, each a static library that may include only
# its own headers and those of the layers it links: no target has the
# repository root or lib/ on its include path. A layer's headers are reached
# by their prefix ("common/Errors.h", "make/Maker.h") through a directory of
# the build tree that holds that prefix alone, as a link to the source
# directory, so that a file including a layer above its own fails to compile.

# Lets `target` and whatever links it include "<prefix>/..." for the files of
# `directory`. `prefix` may hold a slash ("programs/common").
function(varnock_expose target prefix directory)
  set(root ${CMAKE_BINARY_DIR}/layers/${target})
  get_filename_component(parent ${root}/${prefix} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  file(CREATE_LINK ${directory} ${root}/${prefix} SYMBOLIC)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL INTERFACE_LIBRARY)
    target_include_directories(${target} INTERFACE $<BUILD_INTERFACE:${root}>)
  else()
    target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${root}>)
  endif()
endfunction()

# The layer `name` of lib/: the target varnock_<name> from `sources`, its
# headers seen as "<name>/...", linking `below`, the layers under it.
function(varnock_layer name)
  cmake_parse_arguments(PARSE_ARGV 1 layer "" "" "SOURCES;BELOW;PRIVATE")
  add_library(varnock_${name} STATIC ${layer_SOURCES})
  varnock_expose(varnock_${name} ${name} ${PROJECT_SOURCE_DIR}/lib/${name})
  target_link_libraries(varnock_${name} PUBLIC ${layer_BELOW} PRIVATE varnock_warnings ${layer_PRIVATE})
endfunction()
