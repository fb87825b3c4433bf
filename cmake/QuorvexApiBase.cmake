# The download service's address is fixed at build time and the service account's password
# goes with every request, so the address must be https with a host and nothing that reads
# as a user name. Included by the build, and runnable alone:
#   cmake -DQUORVEX_API_BASE=URL -P cmake/QuorvexApiBase.cmake
function(quorvex_check_api_base value)
  string(STRIP "${value}" stripped)
  if(NOT stripped MATCHES "^[Hh][Tt][Tt][Pp][Ss]://[^/?#]+")
    message(FATAL_ERROR "QUORVEX_API_BASE must be an https:// address with a host, e.g. "
                        "https://downloads.example.com/admin (got \"${value}\")")
  endif()
  string(REGEX REPLACE "^[Hh][Tt][Tt][Pp][Ss]://([^/?#]*).*$" "\\1" authority "${stripped}")
  if(authority MATCHES "@")
    message(FATAL_ERROR "QUORVEX_API_BASE must not carry a user name or password (got \"${value}\")")
  endif()
  if(authority MATCHES "^:" OR authority MATCHES "^\\[\\]")
    message(FATAL_ERROR "QUORVEX_API_BASE must name a host (got \"${value}\")")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  quorvex_check_api_base("${QUORVEX_API_BASE}")
endif()
