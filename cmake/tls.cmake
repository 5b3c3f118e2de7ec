# TLS on the clients' port and in the client library: OpenSSL 3 where it is
# found, never for Windows this round, and not in the fuzz build. Elsewhere
# the rooms that use it build stand-ins that say there is none, and the
# command lines refuse the TLS options. Sets PEERDIR_TLS ON or OFF and says
# which in one line.
set(PEERDIR_TLS OFF)
set(peerdir_tls_missing "")
if(WIN32)
  set(peerdir_tls_missing "not built for Windows")
elseif(PEERDIR_FUZZ)
  set(peerdir_tls_missing "not in the fuzz build")
else()
  find_package(OpenSSL 3 QUIET COMPONENTS SSL Crypto)
  if(NOT OpenSSL_FOUND)
    set(peerdir_tls_missing "missing OpenSSL 3 (tools/ensure-packages.sh tls installs it)")
  endif()
endif()

if(peerdir_tls_missing)
  message(STATUS "TLS: not built: ${peerdir_tls_missing}")
else()
  message(STATUS "TLS: built with OpenSSL ${OPENSSL_VERSION}")
  set(PEERDIR_TLS ON)
endif()
