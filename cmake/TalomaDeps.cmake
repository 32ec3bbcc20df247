# OpenSSL 3 (libcrypto) and xxHash, found by header and library so that a machine lacking one stops
# here with the Debian package to install, rather than at the first #include or at link time.
# Each is an imported target (Taloma::Crypto, Taloma::xxhash); the cache variables
# OPENSSL_INCLUDE_DIR, OPENSSL_CRYPTO_LIBRARY, XXHASH_INCLUDE_DIR, XXHASH_LIBRARY override the search.

function(taloma_require_dep target what header library include_var library_var package)
  find_path(${include_var} ${header} DOC "Include directory holding ${header} (${what})")
  find_library(${library_var} NAMES ${library} DOC "The ${what} library")
  # A directory given on the command line is not searched again: check that it holds the header.
  if(NOT ${include_var} OR NOT EXISTS "${${include_var}}/${header}")
    message(FATAL_ERROR "${what}: header ${header} not found (${include_var}=${${include_var}}). "
                        "Install the Debian package ${package} (apt-get install ${package}).")
  endif()
  if(NOT ${library_var} OR NOT EXISTS "${${library_var}}")
    message(FATAL_ERROR "${what}: library lib${library} not found (${library_var}=${${library_var}}). "
                        "Install the Debian package ${package} (apt-get install ${package}).")
  endif()
  if(NOT TARGET ${target})
    add_library(${target} UNKNOWN IMPORTED GLOBAL)
    set_target_properties(${target} PROPERTIES
      IMPORTED_LOCATION "${${library_var}}"
      INTERFACE_INCLUDE_DIRECTORIES "${${include_var}}")
  endif()
endfunction()

taloma_require_dep(Taloma::Crypto "OpenSSL 3 libcrypto" openssl/evp.h crypto
                   OPENSSL_INCLUDE_DIR OPENSSL_CRYPTO_LIBRARY libssl-dev)
# The code uses OpenSSL 3 interfaces only; an older header set would fail deep inside the build.
file(STRINGS "${OPENSSL_INCLUDE_DIR}/openssl/opensslv.h" _taloma_ssl_major
     REGEX "^# *define +OPENSSL_VERSION_MAJOR +[0-9]+")
string(REGEX MATCH "[0-9]+$" _taloma_ssl_major "${_taloma_ssl_major}")
if(NOT _taloma_ssl_major OR _taloma_ssl_major LESS 3)
  message(FATAL_ERROR "OpenSSL 3 libcrypto: ${OPENSSL_INCLUDE_DIR}/openssl/opensslv.h is not OpenSSL 3 "
                      "(major version '${_taloma_ssl_major}'). Install the Debian package libssl-dev "
                      "(apt-get install libssl-dev) or point OPENSSL_INCLUDE_DIR at OpenSSL 3 headers.")
endif()

taloma_require_dep(Taloma::xxhash "xxHash" xxhash.h xxhash
                   XXHASH_INCLUDE_DIR XXHASH_LIBRARY libxxhash-dev)
