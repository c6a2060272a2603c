# Authenticode signing of setup.exe, when a certificate is given:
#   cmake --preset windows -DZARNITH_SIGN_PFX=release.p12 [-DZARNITH_SIGN_TIMESTAMP=http://tsa.example/]
# signs the linked setup.exe (payload and all) with osslsigncode, SHA-256. The certificate's password is read
# from the environment variable ZARNITH_SIGN_PASSWORD when the build runs (scripts/sign_exe.py), so that it
# lands neither in the cache nor in a build file. Without ZARNITH_SIGN_PFX nothing changes: setup.exe stays
# unsigned and reproducible byte for byte. A signing failure fails the build with osslsigncode's reason.
set(ZARNITH_SIGN_PFX "" CACHE FILEPATH
    "PKCS#12 file (.pfx/.p12) with the code-signing certificate and its key; empty: setup.exe is not signed")
set(ZARNITH_SIGN_TIMESTAMP "" CACHE STRING
    "URL of an RFC 3161 time-stamp server for the signature; empty: no time stamp")

if(DEFINED CACHE{ZARNITH_SIGN_PASSWORD} OR DEFINED ZARNITH_SIGN_PASSWORD)
  unset(ZARNITH_SIGN_PASSWORD CACHE)
  message(FATAL_ERROR "ZARNITH_SIGN_PASSWORD is read from the environment when the build runs, never "
                      "given to cmake (the cache would keep it): export ZARNITH_SIGN_PASSWORD=... instead")
endif()

# Signs the executable of target after it is linked, when ZARNITH_SIGN_PFX is set.
function(zarnith_sign target description)
  if(NOT ZARNITH_SIGN_PFX)
    return()
  endif()
  # CMake made a relative name on its command line absolute (from the folder it was started in).
  set(pfx "${ZARNITH_SIGN_PFX}")
  if(NOT EXISTS "${pfx}" OR IS_DIRECTORY "${pfx}")
    message(FATAL_ERROR "ZARNITH_SIGN_PFX: no certificate file ${pfx}")
  endif()
  find_program(OSSLSIGNCODE osslsigncode)
  if(NOT OSSLSIGNCODE)
    message(FATAL_ERROR "ZARNITH_SIGN_PFX needs osslsigncode (Debian package osslsigncode; scripts/bootstrap.sh installs it)")
  endif()
  set(timestamp)
  if(ZARNITH_SIGN_TIMESTAMP)
    set(timestamp --timestamp "${ZARNITH_SIGN_TIMESTAMP}")
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
                     COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/scripts/sign_exe.py --pfx "${pfx}"
                             ${timestamp} --description "${description}" --osslsigncode ${OSSLSIGNCODE}
                             $<TARGET_FILE:${target}>
                     COMMENT "Signing ${target} with ${pfx}"
                     VERBATIM)
  # Another certificate in the same file signs again.
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${pfx}")
  message(STATUS "${target} is signed with ${pfx}")
endfunction()
