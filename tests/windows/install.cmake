# Whole installation runs under Wine: the install harness (the run with the real adapters and a
# recording UI) against the reference service over TLS, with a stand-in application in the package.
# In the default 64-bit prefix (the x64 package) and in the 32-bit one (the x86 package).
include(${CMAKE_CURRENT_LIST_DIR}/tls.cmake)
set(QUORVEX_INSTALL_HARNESS_DIR "${CMAKE_CURRENT_LIST_DIR}/install-harness")

# The stand-in application: started by the run, it leaves a marker next to itself.
add_executable(quorvex-marker-app ${QUORVEX_INSTALL_HARNESS_DIR}/MarkerApp.cpp)
target_link_options(quorvex-marker-app PRIVATE -municode -mwindows)

add_executable(install-harness ${QUORVEX_INSTALL_HARNESS_DIR}/InstallHarness.cpp)
target_link_libraries(install-harness PRIVATE quorvex_win32)
target_link_options(install-harness PRIVATE -municode)

set(QUORVEX_INSTALL_RUN_ARGS
  --wine-env ${CMAKE_BINARY_DIR}/wine-env
  --harness $<TARGET_FILE:install-harness>
  --marker-app $<TARGET_FILE:quorvex-marker-app>
  --storage ${QUORVEX_SERVICE_STORAGE}
  --port-file ${QUORVEX_SERVICE_PORT_FILE})
quorvex_add_wine_test(install_whole_run
  COMMAND python3 ${QUORVEX_INSTALL_HARNESS_DIR}/run_install_test.py ${QUORVEX_INSTALL_RUN_ARGS}
          --work ${CMAKE_CURRENT_BINARY_DIR}/install-run
  FIXTURES qv_service
  TIMEOUT 600)
if(QUORVEX_WINE32)
  quorvex_add_wine_test(install_whole_run_x86
    COMMAND python3 ${QUORVEX_INSTALL_HARNESS_DIR}/run_install_test.py ${QUORVEX_INSTALL_RUN_ARGS}
            --work ${CMAKE_CURRENT_BINARY_DIR}/install-run-x86
    FIXTURES "qv_service;wine_env32;tls_ca32"
    ENVIRONMENT QUORVEX_WINE_ARCH=win32
    TIMEOUT 600)
endif()
