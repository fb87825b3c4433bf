# Signs one executable in place with osslsigncode (Authenticode, SHA-256); run after linking.
#   cmake -D OSSLSIGNCODE=... -D EXECUTABLE=... -D PKCS12=... [-D PASSWORD_FILE=...]
#         [-D TIMESTAMP_URL=...] [-D DESCRIPTION=...] -P QuorvexSign.cmake
# The password is read by osslsigncode from its file, so it appears in no command line.
# On failure the executable is removed: the build fails and leaves nothing that looks signed.
cmake_minimum_required(VERSION 3.25)

foreach(var OSSLSIGNCODE EXECUTABLE PKCS12)
  if(NOT ${var})
    message(FATAL_ERROR "QuorvexSign.cmake: ${var} is not set")
  endif()
endforeach()

set(args sign -pkcs12 "${PKCS12}" -h sha256)
if(PASSWORD_FILE)
  list(APPEND args -readpass "${PASSWORD_FILE}")
endif()
if(DESCRIPTION)
  list(APPEND args -n "${DESCRIPTION}")
endif()
if(TIMESTAMP_URL)
  list(APPEND args -ts "${TIMESTAMP_URL}")
endif()

set(signed "${EXECUTABLE}.signing")
file(REMOVE "${signed}")
execute_process(COMMAND "${OSSLSIGNCODE}" ${args} -in "${EXECUTABLE}" -out "${signed}"
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0 OR NOT EXISTS "${signed}")
  file(REMOVE "${signed}" "${EXECUTABLE}")
  message(FATAL_ERROR "Signing ${EXECUTABLE} with ${PKCS12} failed (osslsigncode ${result}):\n${output}")
endif()
file(RENAME "${signed}" "${EXECUTABLE}")
file(CHMOD "${EXECUTABLE}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                       WORLD_READ WORLD_EXECUTE)
message(STATUS "Signed ${EXECUTABLE}")
