# The CMake package of Cache's native interface (quorcache.h), shipped in the wheel:
#
#     find_package(quorcache 0.1 CONFIG REQUIRED)
#     target_link_libraries(mymodule PRIVATE quorcache::headers)
#
# with -Dquorcache_DIR="$(python -m quor_ui.fast.quorcache --cmake-dir)", or that folder on
# CMAKE_PREFIX_PATH. quorcache::headers carries the header's folder alone: a consumer finds
# Python itself (it builds an extension module), and imports quor_ui's module at run time
# through QuorCache_Import, never links it. quorcache_INCLUDE_DIR names the same folder.
get_filename_component(quorcache_INCLUDE_DIR "${CMAKE_CURRENT_LIST_DIR}/../include" ABSOLUTE)
if(NOT EXISTS "${quorcache_INCLUDE_DIR}/quorcache.h")
  set(quorcache_FOUND FALSE)
  set(quorcache_NOT_FOUND_MESSAGE "no quorcache.h in ${quorcache_INCLUDE_DIR}")
  return()
endif()
if(NOT TARGET quorcache::headers)
  add_library(quorcache::headers INTERFACE IMPORTED)
  set_target_properties(quorcache::headers PROPERTIES
      INTERFACE_INCLUDE_DIRECTORIES "${quorcache_INCLUDE_DIR}")
endif()
