# The publisher's public keys built into the clients (ZIDODIRUV_PUBLIC_KEYS): the same
# text as PUBLICKEY= in VornPatch.ini, checked here so a mistyped key stops the
# configuration instead of making every list fail to verify. src/patchlist/
# built_in_keys.cpp includes the generated header; changing the keys rebuilds that file
# alone.
set(ZD_PUBLIC_KEYS_TEXT "")
if(NOT ZIDODIRUV_PUBLIC_KEYS STREQUAL "")
  string(REPLACE "," ";" _zd_keys "${ZIDODIRUV_PUBLIC_KEYS}")
  set(_zd_clean "")
  foreach(_zd_key IN LISTS _zd_keys)
    string(STRIP "${_zd_key}" _zd_key)
    # The form AddPublicKeys takes: base64 of a 65-byte uncompressed point, 88
    # characters; its first byte 0x04 makes it begin with 'B' and one of A-P, its two
    # last bytes end it with a character whose two unused bits are zero and one '='.
    # (CMake's expressions count no repetitions, so the length is measured.)
    string(LENGTH "${_zd_key}" _zd_length)
    if(NOT _zd_length EQUAL 88 OR NOT _zd_key MATCHES "^B[A-P][A-Za-z0-9+/]+[AEIMQUYcgkosw048]=$")
      message(FATAL_ERROR "ZIDODIRUV_PUBLIC_KEYS: \"${_zd_key}\" is not a public key "
                          "(88 characters of base64, as 'zidodiruv-publish keygen' prints it)")
    endif()
    list(APPEND _zd_clean "${_zd_key}")
  endforeach()
  list(JOIN _zd_clean "," ZD_PUBLIC_KEYS_TEXT)
  list(LENGTH _zd_clean _zd_count)
  message(STATUS "Public keys built into the clients: ${_zd_count}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/built_in_keys.h.in ${CMAKE_CURRENT_BINARY_DIR}/generated/built_in_keys.h @ONLY)
