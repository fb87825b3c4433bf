# The installer program: the window and its drawing as a library (shared with the window's
# tests), and QuorvexInstall.exe made from the entry point and the resources.

# FaultPoint.cpp and TestHooks.cpp belong to each program instead (see their headers).
list(FILTER QUORVEX_WINDOW_SOURCES EXCLUDE REGEX "/(FaultPoint|TestHooks)\\.cpp$")
add_library(quorvex_window STATIC ${QUORVEX_WINDOW_SOURCES})
target_link_libraries(quorvex_window PUBLIC quorvex_win32 comctl32 windowscodecs)

# Makes one installer executable with its own service address, release and package keys. The
# product is QuorvexInstall; tests make copies that point at a local service.
#   RESOURCE_SCRIPT  another resource script (tests leave a resource out that way)
#   PACKAGE_KEYS       PEM public keys whose signatures a package must carry (none: no check)
#   PACKAGE_THRESHOLD  how many distinct ones must have signed (default 1)
function(quorvex_add_installer target apiBase versionName)
  cmake_parse_arguments(PARSE_ARGV 3 ARG "" "RESOURCE_SCRIPT;PACKAGE_THRESHOLD" "PACKAGE_KEYS")
  quorvex_check_api_base("${apiBase}")
  set(QUORVEX_RESOURCE_DIR ${CMAKE_SOURCE_DIR}/resources)
  set(resourceScript ${QUORVEX_RESOURCE_DIR}/QuorvexInstall.rc)
  if(ARG_RESOURCE_SCRIPT)
    set(resourceScript ${ARG_RESOURCE_SCRIPT})
  endif()
  set(keysSource ${CMAKE_CURRENT_BINARY_DIR}/${target}-keys.cpp)
  # Signatures name the package file "<versionName>_<arch>.zip", in printable ASCII.
  if(ARG_PACKAGE_KEYS AND (versionName MATCHES "[^ -~]" OR versionName MATCHES "[/\\]"))
    message(FATAL_ERROR "QUORVEX_VERSION_NAME \"${versionName}\": with package keys it must be printable ASCII "
                        "without / or \\, since signatures name the package file")
  endif()
  if(NOT DEFINED ARG_PACKAGE_THRESHOLD)
    set(ARG_PACKAGE_THRESHOLD 1)
  endif()
  quorvex_package_keys_source(${keysSource} THRESHOLD "${ARG_PACKAGE_THRESHOLD}" ${ARG_PACKAGE_KEYS})
  add_executable(${target} WIN32 ${CMAKE_SOURCE_DIR}/src/QuorvexInstall.cpp ${CMAKE_SOURCE_DIR}/src/window/FaultPoint.cpp
                 ${CMAKE_SOURCE_DIR}/src/window/TestHooks.cpp ${keysSource} ${resourceScript})
  target_link_libraries(${target} PRIVATE quorvex_window)
  target_compile_definitions(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:QUORVEX_API_BASE="${apiBase}" QUORVEX_VERSION_NAME="${versionName}">
    "$<$<COMPILE_LANGUAGE:RC>:${QUORVEX_VERSION_RC_DEFINITIONS}>")
  target_include_directories(${target} PRIVATE $<$<COMPILE_LANGUAGE:RC>:${QUORVEX_RESOURCE_DIR}>)
  # GUI subsystem with a wWinMain entry; unused code dropped and symbols stripped to keep it small.
  target_compile_options(${target} PRIVATE -ffunction-sections -fdata-sections)
  target_link_options(${target} PRIVATE -mwindows -municode -Wl,--gc-sections -s)
  set_property(TARGET ${target} APPEND PROPERTY OBJECT_DEPENDS
               ${QUORVEX_RESOURCE_DIR}/QuorvexInstall.manifest ${QUORVEX_RESOURCE_DIR}/QuorvexInstall.ico
               ${QUORVEX_RESOURCE_DIR}/logo.png
               ${QUORVEX_RESOURCE_DIR}/TabletLight.style)
endfunction()

quorvex_add_installer(QuorvexInstall "${QUORVEX_API_BASE}" "${QUORVEX_VERSION_NAME}"
                      PACKAGE_KEYS ${QUORVEX_PACKAGE_KEYS} PACKAGE_THRESHOLD "${QUORVEX_PACKAGE_THRESHOLD}")
quorvex_sign_executable(QuorvexInstall)
