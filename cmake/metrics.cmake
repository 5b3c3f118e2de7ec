# The metrics and health endpoint (--metrics): cpp-httplib's server where
# the library is found, never for Windows this round, and not in the fuzz
# build; elsewhere a stand-in that says there is none, and the command line
# refuses the option. The counters and the exposition text need nothing but
# the standard library and are built everywhere, as the client managers
# count whether or not anyone scrapes. Sets PEERDIR_METRICS_ENDPOINT ON or
# OFF and says which in one line.
set(PEERDIR_METRICS_ENDPOINT OFF)
set(peerdir_metrics_missing "")
if(WIN32)
  set(peerdir_metrics_missing "not built for Windows")
elseif(PEERDIR_FUZZ)
  set(peerdir_metrics_missing "not in the fuzz build")
else()
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND AND NOT TARGET PkgConfig::PEERDIR_HTTPLIB)
    pkg_check_modules(PEERDIR_HTTPLIB QUIET IMPORTED_TARGET cpp-httplib)
  endif()
  if(NOT TARGET PkgConfig::PEERDIR_HTTPLIB)
    set(peerdir_metrics_missing "missing cpp-httplib (tools/ensure-packages.sh shared-registry installs it)")
  endif()
endif()

if(peerdir_metrics_missing)
  message(STATUS "Metrics endpoint: not built: ${peerdir_metrics_missing}")
  set(peerdir_metrics_endpoint src/metrics/metrics_endpoint_none.cpp)
else()
  message(STATUS "Metrics endpoint: built")
  set(PEERDIR_METRICS_ENDPOINT ON)
  set(peerdir_metrics_endpoint src/metrics/metrics_endpoint.cpp)
endif()

add_library(peerdir_metrics STATIC
  src/metrics/counters.cpp
  src/metrics/metrics_text.cpp
  ${peerdir_metrics_endpoint}
)
target_link_libraries(peerdir_metrics PUBLIC peerdir_platform)
if(PEERDIR_METRICS_ENDPOINT)
  # The library's pkg-config definitions change its classes' layout, so
  # this code is compiled with them (see shared_registry.cmake).
  target_link_libraries(peerdir_metrics PRIVATE PkgConfig::PEERDIR_HTTPLIB)
endif()
