# The quorcache package's version is the one quorcache.h states (QUORCACHE_VERSION_*).
# A request is met by the same major version, at least as new: within a major version the
# instance record and the function table only grow, so what an older header declares stays.
file(STRINGS "${CMAKE_CURRENT_LIST_DIR}/../include/quorcache.h" _quorcache_defines
     REGEX "^#define QUORCACHE_VERSION_(MAJOR|MINOR|PATCH) +[0-9]+")
set(PACKAGE_VERSION "")
foreach(_quorcache_part MAJOR MINOR PATCH)
  if(NOT _quorcache_defines MATCHES "QUORCACHE_VERSION_${_quorcache_part} +([0-9]+)")
    set(PACKAGE_VERSION_UNSUITABLE TRUE)
    return()
  endif()
  string(APPEND PACKAGE_VERSION "${CMAKE_MATCH_1}.")
endforeach()
string(REGEX REPLACE "\\.$" "" PACKAGE_VERSION "${PACKAGE_VERSION}")
string(REGEX MATCH "^[0-9]+" _quorcache_major "${PACKAGE_VERSION}")

set(PACKAGE_VERSION_COMPATIBLE FALSE)
if(PACKAGE_FIND_VERSION_RANGE)
  # A range: at least its minimum, within its maximum, and the minimum's major version.
  if(PACKAGE_VERSION VERSION_GREATER_EQUAL PACKAGE_FIND_VERSION_MIN
     AND PACKAGE_FIND_VERSION_MIN_MAJOR STREQUAL _quorcache_major
     AND ((PACKAGE_FIND_VERSION_RANGE_MAX STREQUAL "INCLUDE"
           AND PACKAGE_VERSION VERSION_LESS_EQUAL PACKAGE_FIND_VERSION_MAX)
          OR (PACKAGE_FIND_VERSION_RANGE_MAX STREQUAL "EXCLUDE"
              AND PACKAGE_VERSION VERSION_LESS PACKAGE_FIND_VERSION_MAX)))
    set(PACKAGE_VERSION_COMPATIBLE TRUE)
  endif()
elseif(PACKAGE_FIND_VERSION STREQUAL "")
  set(PACKAGE_VERSION_COMPATIBLE TRUE)
elseif(PACKAGE_VERSION VERSION_GREATER_EQUAL PACKAGE_FIND_VERSION
       AND PACKAGE_FIND_VERSION_MAJOR STREQUAL _quorcache_major)
  set(PACKAGE_VERSION_COMPATIBLE TRUE)
  if(PACKAGE_VERSION VERSION_EQUAL PACKAGE_FIND_VERSION)
    set(PACKAGE_VERSION_EXACT TRUE)
  endif()
endif()
unset(_quorcache_defines)
unset(_quorcache_part)
unset(_quorcache_major)
