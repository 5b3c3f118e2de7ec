# The shared registry's access to etcd (src/etcd): built only where its
# libraries are found, never for Windows, and not in the fuzz build, whose
# one target drives the wire protocol and nothing of the registry.
#
# The sanitizer builds have it. Debian's cpp-httplib is a compiled library
# (libcpp-httplib.so) that no sanitizer instrumented: they check our code in
# full, and see the library's allocations, locks and system calls through
# the calls they intercept, but not its own reads and writes of memory.
# That is enough for the tests of both rooms to run there unchanged, with no
# stand-in for etcd. Sets PEERDIR_SHARED_REGISTRY ON or OFF for the code
# that builds on it, and says which in one line.
set(PEERDIR_SHARED_REGISTRY OFF)
set(peerdir_registry_missing "")

if(WIN32)
  set(peerdir_registry_missing "not built for Windows")
elseif(PEERDIR_FUZZ)
  set(peerdir_registry_missing "not in the fuzz build")
else()
  # Debian's cpp-httplib has no CMake config; its pkg-config file carries the
  # definitions (OpenSSL, zlib, brotli) the library was built with, which
  # change its classes' layout, so our code must be compiled with the same.
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(PEERDIR_HTTPLIB QUIET IMPORTED_TARGET cpp-httplib)
  endif()
  find_package(nlohmann_json 3 QUIET CONFIG)
  find_package(OpenSSL QUIET COMPONENTS SSL Crypto)
  if(NOT PKG_CONFIG_FOUND)
    list(APPEND peerdir_registry_missing "pkg-config")
  elseif(NOT PEERDIR_HTTPLIB_FOUND)
    list(APPEND peerdir_registry_missing "cpp-httplib")
  endif()
  if(NOT nlohmann_json_FOUND)
    list(APPEND peerdir_registry_missing "nlohmann-json")
  endif()
  if(NOT OpenSSL_FOUND)
    list(APPEND peerdir_registry_missing "OpenSSL")
  endif()
  if(peerdir_registry_missing)
    list(JOIN peerdir_registry_missing ", " peerdir_registry_missing)
    set(peerdir_registry_missing "missing ${peerdir_registry_missing} (tools/ensure-packages.sh shared-registry installs them)")
  endif()
endif()

if(peerdir_registry_missing)
  message(STATUS "Shared registry on etcd: not built: ${peerdir_registry_missing}")
  return()
endif()

set(PEERDIR_SHARED_REGISTRY ON)
if(PEERDIR_SANITIZE)
  message(STATUS "Shared registry on etcd: built, under -fsanitize=${PEERDIR_SANITIZE} (cpp-httplib's own code uninstrumented)")
else()
  message(STATUS "Shared registry on etcd: built")
endif()

add_library(peerdir_etcd STATIC
  src/etcd/etcd_codec.cpp
  src/etcd/etcd_http.cpp
  src/etcd/etcd.cpp
  src/etcd/etcd_watch.cpp
  src/etcd/etcd_tls.cpp
)
target_include_directories(peerdir_etcd PUBLIC src)
target_compile_options(peerdir_etcd PRIVATE ${PEERDIR_WARNINGS})
target_link_libraries(peerdir_etcd
  PUBLIC Threads::Threads peerdir_metrics
  PRIVATE PkgConfig::PEERDIR_HTTPLIB nlohmann_json::nlohmann_json OpenSSL::SSL OpenSSL::Crypto)
