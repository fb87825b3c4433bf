# qv-download.exe under Wine: the installer's request over TLS against the fault server and
# against the reference service.
include(${CMAKE_CURRENT_LIST_DIR}/tls.cmake)

set(QUORVEX_DOWNLOAD_CHECK python3 ${QUORVEX_FIXTURES}/download-check.py
    --wine-run ${CMAKE_BINARY_DIR}/wine-run --exe $<TARGET_FILE:qv-download>)
quorvex_add_wine_test(qv_download_faults
  COMMAND ${QUORVEX_DOWNLOAD_CHECK} faults --work ${CMAKE_CURRENT_BINARY_DIR}/download-faults
          --ports ${QUORVEX_FAULT_STATE}/ports
  FIXTURES "tls_ca;fault_server")
quorvex_add_wine_test(qv_download_service
  COMMAND ${QUORVEX_DOWNLOAD_CHECK} service --work ${CMAKE_CURRENT_BINARY_DIR}/download-service
          --port-file ${QUORVEX_SERVICE_PORT_FILE} --storage ${QUORVEX_SERVICE_STORAGE}
          --service ${QUORVEX_NATIVE_BUILD_DIR}/service/qv-service --tls ${QUORVEX_TLS_DIR}
  FIXTURES "tls_ca;qv_service")
