# Whole installation runs under Wine: the install harness (the run with the real adapters and a
# recording UI) against the reference service over TLS, with a stand-in application in the package.
set(QUORVEX_INSTALL_HARNESS_DIR "${CMAKE_CURRENT_LIST_DIR}/install-harness")

# The stand-in application: started by the run, it leaves a marker next to itself.
add_executable(quorvex-marker-app ${QUORVEX_INSTALL_HARNESS_DIR}/MarkerApp.cpp)
target_link_options(quorvex-marker-app PRIVATE -municode -mwindows)

# The harness needs the file system and WinHTTP adapters and the TLS fixture.
if(EXISTS ${CMAKE_SOURCE_DIR}/src/platform/win32/Win32FileSystem.h
   AND EXISTS ${CMAKE_SOURCE_DIR}/src/platform/win32/WinHttpTransport.h
   AND EXISTS ${CMAKE_CURRENT_LIST_DIR}/tls.cmake)
  include(${CMAKE_CURRENT_LIST_DIR}/tls.cmake)

  add_executable(install-harness ${QUORVEX_INSTALL_HARNESS_DIR}/InstallHarness.cpp)
  target_link_libraries(install-harness PRIVATE quorvex_win32)
  target_link_options(install-harness PRIVATE -municode)

  quorvex_add_wine_test(install_whole_run
    COMMAND python3 ${QUORVEX_INSTALL_HARNESS_DIR}/run_install_test.py
            --wine-run ${CMAKE_BINARY_DIR}/wine-run
            --harness $<TARGET_FILE:install-harness>
            --marker-app $<TARGET_FILE:quorvex-marker-app>
            --prefix ${QUORVEX_WINE_ROOT}/prefix
            --storage ${QUORVEX_SERVICE_STORAGE}
            --port-file ${QUORVEX_SERVICE_PORT_FILE}
            --work ${CMAKE_CURRENT_BINARY_DIR}/install-run
    FIXTURES qv_service
    TIMEOUT 600)
endif()
