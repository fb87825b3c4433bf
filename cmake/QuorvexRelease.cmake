# What a vendor ships: the numbers of the version resource, byte-for-byte reproducible Windows
# executables, and an Authenticode signature on the installer.
#
#   QUORVEX_FILE_VERSION          MAJOR.MINOR.PATCH[.BUILD] of the version resource; empty: the
#                                 numbers that end QUORVEX_VERSION_NAME (Quorvex_2.4.0 -> 2.4.0.0)
#   QUORVEX_SIGN_PKCS12           PKCS#12 file with the code-signing certificate, its chain and key;
#                                 empty: nothing is signed
#   QUORVEX_SIGN_PASSWORD_FILE    file whose first line is that file's password
#   QUORVEX_SIGN_TIMESTAMP_URL    RFC 3161 time-stamp authority; empty: no time stamp
#
# quorvex_sign_executable(TARGET) signs TARGET's executable after each link.
include_guard(GLOBAL)

# --- Version resource: numbers from the configuration, never from the clock.
set(QUORVEX_FILE_VERSION "" CACHE STRING
    "Numbers of the installer's version resource, MAJOR.MINOR.PATCH[.BUILD]; empty: from QUORVEX_VERSION_NAME")
if(QUORVEX_FILE_VERSION STREQUAL "")
  if(NOT QUORVEX_VERSION_NAME MATCHES "([0-9]+\\.[0-9]+\\.[0-9]+(\\.[0-9]+)?)$")
    message(FATAL_ERROR "QUORVEX_VERSION_NAME \"${QUORVEX_VERSION_NAME}\" does not end in version numbers "
                        "(like Quorvex_2.4.0): set -DQUORVEX_FILE_VERSION=MAJOR.MINOR.PATCH for the version resource")
  endif()
  set(quorvexFileVersion "${CMAKE_MATCH_1}")
else()
  set(quorvexFileVersion "${QUORVEX_FILE_VERSION}")
endif()
if(NOT quorvexFileVersion MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)(\\.([0-9]+))?$")
  message(FATAL_ERROR "QUORVEX_FILE_VERSION \"${quorvexFileVersion}\" is not MAJOR.MINOR.PATCH[.BUILD]")
endif()
set(quorvexParts "${CMAKE_MATCH_1}" "${CMAKE_MATCH_2}" "${CMAKE_MATCH_3}")
if("${CMAKE_MATCH_5}" STREQUAL "")
  list(APPEND quorvexParts 0)
else()
  list(APPEND quorvexParts "${CMAKE_MATCH_5}")
endif()
foreach(part IN LISTS quorvexParts)
  # Each is a 16-bit field of the resource; leading zeros would make windres read octal.
  if(part GREATER 65535 OR (part MATCHES "^0[0-9]"))
    message(FATAL_ERROR "QUORVEX_FILE_VERSION \"${quorvexFileVersion}\": each number must be 0 to 65535, "
                        "without leading zeros")
  endif()
endforeach()
list(GET quorvexParts 0 QUORVEX_FILE_VERSION_MAJOR)
list(GET quorvexParts 1 QUORVEX_FILE_VERSION_MINOR)
list(GET quorvexParts 2 QUORVEX_FILE_VERSION_PATCH)
list(GET quorvexParts 3 QUORVEX_FILE_VERSION_BUILD)
# Definitions for a resource script that carries the version resource.
set(QUORVEX_VERSION_RC_DEFINITIONS
    QUORVEX_VERSION_MAJOR=${QUORVEX_FILE_VERSION_MAJOR} QUORVEX_VERSION_MINOR=${QUORVEX_FILE_VERSION_MINOR}
    QUORVEX_VERSION_PATCH=${QUORVEX_FILE_VERSION_PATCH} QUORVEX_VERSION_BUILD=${QUORVEX_FILE_VERSION_BUILD})

# --- Reproducible executables: the same source and configuration give the same bytes, whatever
# the source and build folders are called and whenever the build runs.
if(WIN32)
  # Source and build paths reach objects through __FILE__ and debug information; both are made
  # relative. The build folder usually lies inside the source folder, so its mapping comes last
  # and wins.
  add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=>"
                      "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_BINARY_DIR}/=>")
  # ld writes the link time into the PE header otherwise; nothing on Windows needs it.
  add_link_options(-Wl,--no-insert-timestamp)
endif()

# --- Signing.
# The password only ever travels in a file: a -D value would stay in CMakeCache.txt and show up
# in process lists.
if(DEFINED CACHE{QUORVEX_SIGN_PASSWORD} OR DEFINED QUORVEX_SIGN_PASSWORD)
  unset(QUORVEX_SIGN_PASSWORD CACHE)
  unset(QUORVEX_SIGN_PASSWORD)
  message(FATAL_ERROR "QUORVEX_SIGN_PASSWORD is not accepted (it would be kept in the CMake cache): "
                      "put the password in a file that only you can read and pass -DQUORVEX_SIGN_PASSWORD_FILE=FILE")
endif()
set(QUORVEX_SIGN_PKCS12 "" CACHE FILEPATH
    "PKCS#12 file with the code-signing certificate, its chain and private key; empty: the installer is not signed")
set(QUORVEX_SIGN_PASSWORD_FILE "" CACHE FILEPATH "File whose first line is the PKCS#12 file's password")
set(QUORVEX_SIGN_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamp authority (http or https URL); empty: no time stamp")

if(QUORVEX_SIGN_PKCS12)
  if(NOT WIN32)
    message(FATAL_ERROR "QUORVEX_SIGN_PKCS12: only the Windows build makes executables to sign")
  endif()
  foreach(var QUORVEX_SIGN_PKCS12 QUORVEX_SIGN_PASSWORD_FILE)
    if(${var} AND NOT IS_ABSOLUTE "${${var}}")
      get_filename_component(${var} "${${var}}" ABSOLUTE BASE_DIR "${CMAKE_BINARY_DIR}")
    endif()
    if(${var} AND NOT EXISTS "${${var}}")
      message(FATAL_ERROR "${var}: no such file: ${${var}}")
    endif()
  endforeach()
  if(QUORVEX_SIGN_TIMESTAMP_URL AND NOT QUORVEX_SIGN_TIMESTAMP_URL MATCHES "^https?://[^/]")
    message(FATAL_ERROR "QUORVEX_SIGN_TIMESTAMP_URL \"${QUORVEX_SIGN_TIMESTAMP_URL}\" is not an http or https URL")
  endif()
  find_program(QUORVEX_OSSLSIGNCODE osslsigncode)
  if(NOT QUORVEX_OSSLSIGNCODE)
    message(FATAL_ERROR "QUORVEX_SIGN_PKCS12 is set but osslsigncode was not found (tools/setup installs it)")
  endif()
  if(QUORVEX_SIGN_TIMESTAMP_URL)
    message(STATUS "Signing with ${QUORVEX_SIGN_PKCS12}, time stamp from ${QUORVEX_SIGN_TIMESTAMP_URL}")
  else()
    message(STATUS "Signing with ${QUORVEX_SIGN_PKCS12}, without a time stamp")
  endif()
elseif(QUORVEX_SIGN_PASSWORD_FILE OR QUORVEX_SIGN_TIMESTAMP_URL)
  message(FATAL_ERROR "QUORVEX_SIGN_PASSWORD_FILE and QUORVEX_SIGN_TIMESTAMP_URL need QUORVEX_SIGN_PKCS12")
endif()

# Signs TARGET's executable in place after every link, with SHA-256 and, when configured, an
# RFC 3161 time stamp. A failed signature removes the executable, so that no unsigned file is
# left where a signed one is expected. Without QUORVEX_SIGN_PKCS12 it does nothing.
function(quorvex_sign_executable target)
  if(NOT QUORVEX_SIGN_PKCS12)
    return()
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -D "OSSLSIGNCODE=${QUORVEX_OSSLSIGNCODE}" -D "EXECUTABLE=$<TARGET_FILE:${target}>"
            -D "PKCS12=${QUORVEX_SIGN_PKCS12}" -D "PASSWORD_FILE=${QUORVEX_SIGN_PASSWORD_FILE}"
            -D "TIMESTAMP_URL=${QUORVEX_SIGN_TIMESTAMP_URL}" -D "DESCRIPTION=Quorvex"
            -P ${CMAKE_SOURCE_DIR}/cmake/QuorvexSign.cmake
    VERBATIM)
  # Another certificate or password signs again.
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${QUORVEX_SIGN_PKCS12} ${QUORVEX_SIGN_PASSWORD_FILE}
                                                             ${CMAKE_SOURCE_DIR}/cmake/QuorvexSign.cmake)
endfunction()
