# Keeps the folders' dependencies pointing one way: the include graph is checked on every build
# (check_layers.cmake), and kfs_forbid_link() fails the configuration when a program reaches a
# library it must not contain, however indirectly.

add_custom_target(kfs_layer_check ALL
                  COMMAND ${CMAKE_COMMAND} -DKFS_SOURCE_DIR=${PROJECT_SOURCE_DIR} -P
                          ${PROJECT_SOURCE_DIR}/cmake/check_layers.cmake
                  COMMENT "Checking the include graph between the folders" VERBATIM)

function(kfs_collect_links target out)
  set(seen ${${out}})
  get_target_property(direct ${target} LINK_LIBRARIES)
  get_target_property(interface ${target} INTERFACE_LINK_LIBRARIES)
  foreach(lib ${direct} ${interface})
    if(TARGET ${lib} AND NOT lib IN_LIST seen)
      list(APPEND seen ${lib})
      kfs_collect_links(${lib} seen)
    endif()
  endforeach()
  set(${out} ${seen} PARENT_SCOPE)
endfunction()

# kfs_forbid_link(PROGRAM LIBRARY...): none of the libraries may be linked into PROGRAM.
function(kfs_forbid_link program)
  if(NOT TARGET ${program})
    return()
  endif()
  set(links "")
  kfs_collect_links(${program} links)
  foreach(lib ${ARGN})
    if(lib IN_LIST links)
      message(FATAL_ERROR "${program} must not link ${lib}")
    endif()
  endforeach()
endfunction()
