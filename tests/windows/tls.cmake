# TLS fixtures for the Wine tests: a test certificate authority trusted in the private Wine
# prefix, the reference service over TLS, and a scriptable fault server with a proxy.
# Other test modules include this file and require the fixtures by name:
#
#   tls_ca        the test CA and certificates, made with openssl in ${QUORVEX_TLS_DIR}; the
#                 CA is added to the prefix's machine Root store (requires wine_env).
#                 Files: ${QUORVEX_TLS_DIR}/ca.pem, server.pem, server.key (127.0.0.1 and
#                 localhost), and the faulty certificates listed in fixtures/make-certs.sh.
#   qv_service    the reference service (from ${QUORVEX_NATIVE_BUILD_DIR}) on a free port of
#                 127.0.0.1, https, base path /admin, the installer's account (requires tls_ca).
#                 Files: ${QUORVEX_SERVICE_PORT_FILE} (the port number),
#                 ${QUORVEX_SERVICE_STORAGE}/server_files/updates/ (the packages it serves:
#                 put files there before requesting them), ${QUORVEX_SERVICE_STATE}/log.
#                 API base: https://127.0.0.1:<port>/admin
#   fault_server  fixtures/fault-server.py (routes documented there) on free ports
#                 (requires tls_ca). Files: ${QUORVEX_FAULT_STATE}/ports ("NAME PORT" lines),
#                 ${QUORVEX_FAULT_STATE}/proxy.log (targets tunnelled by its proxy).
#
# The servers are stopped by the fixtures' cleanup tests after the last test that needs them.
include_guard(GLOBAL)

set(QUORVEX_NATIVE_BUILD_DIR "${CMAKE_SOURCE_DIR}/build/native" CACHE PATH
    "Native build tree whose reference service the Windows tests run against")
set(QUORVEX_TLS_DIR "${CMAKE_BINARY_DIR}/tls")
set(QUORVEX_SERVICE_STATE "${QUORVEX_TLS_DIR}/service")
set(QUORVEX_SERVICE_STORAGE "${QUORVEX_SERVICE_STATE}/storage")
set(QUORVEX_SERVICE_PORT_FILE "${QUORVEX_SERVICE_STATE}/port")
set(QUORVEX_FAULT_STATE "${QUORVEX_TLS_DIR}/faults")
set(QUORVEX_FIXTURES "${CMAKE_CURRENT_LIST_DIR}/fixtures")

add_executable(trust-ca ${QUORVEX_FIXTURES}/trust-ca.cpp)
target_link_libraries(trust-ca PRIVATE crypt32)
target_link_options(trust-ca PRIVATE -municode)

add_test(NAME tls_ca_setup
         COMMAND bash -c "'${QUORVEX_FIXTURES}/make-certs.sh' '${QUORVEX_TLS_DIR}' && \
'${CMAKE_BINARY_DIR}/wine-run' '$<TARGET_FILE:trust-ca>' 'Z:${QUORVEX_TLS_DIR}/ca.pem'")
set_tests_properties(tls_ca_setup PROPERTIES FIXTURES_SETUP tls_ca FIXTURES_REQUIRED wine_env TIMEOUT 120)
# The same authority trusted in the 32-bit prefix, for the tests that also run there.
if(QUORVEX_WINE32)
  add_test(NAME tls_ca32_setup
           COMMAND ${CMAKE_BINARY_DIR}/wine-run $<TARGET_FILE:trust-ca> Z:${QUORVEX_TLS_DIR}/ca.pem)
  set_tests_properties(tls_ca32_setup PROPERTIES FIXTURES_SETUP tls_ca32 FIXTURES_REQUIRED "wine_env32;tls_ca"
                       ENVIRONMENT QUORVEX_WINE_ARCH=win32 TIMEOUT 120)
endif()

# The service is built by the native preset, which tools/test builds before this one; without
# it the tests that need it fail at the fixture.
add_test(NAME qv_service_start
         COMMAND bash -c "mkdir -p '${QUORVEX_SERVICE_STORAGE}/server_files/updates' && \
printf '%s' '&vOlt_582%' >'${QUORVEX_SERVICE_STATE}/password' && \
exec '${QUORVEX_FIXTURES}/background.sh' start '${QUORVEX_SERVICE_STATE}' '${QUORVEX_SERVICE_PORT_FILE}' \
'${QUORVEX_NATIVE_BUILD_DIR}/service/qv-service' --listen 127.0.0.1:0 --port-file '${QUORVEX_SERVICE_PORT_FILE}' \
--cert '${QUORVEX_TLS_DIR}/server.pem' --key '${QUORVEX_TLS_DIR}/server.key' --storage '${QUORVEX_SERVICE_STORAGE}' \
--base-path /admin --user Tellavorne --password-file '${QUORVEX_SERVICE_STATE}/password'")
add_test(NAME qv_service_stop COMMAND ${QUORVEX_FIXTURES}/background.sh stop ${QUORVEX_SERVICE_STATE})
set_tests_properties(qv_service_start PROPERTIES FIXTURES_SETUP qv_service FIXTURES_REQUIRED tls_ca TIMEOUT 60)
set_tests_properties(qv_service_stop PROPERTIES FIXTURES_CLEANUP qv_service)

add_test(NAME fault_server_start
         COMMAND ${QUORVEX_FIXTURES}/background.sh start ${QUORVEX_FAULT_STATE} ${QUORVEX_FAULT_STATE}/ports
                 python3 ${QUORVEX_FIXTURES}/fault-server.py --certs ${QUORVEX_TLS_DIR} --state ${QUORVEX_FAULT_STATE})
add_test(NAME fault_server_stop COMMAND ${QUORVEX_FIXTURES}/background.sh stop ${QUORVEX_FAULT_STATE})
set_tests_properties(fault_server_start PROPERTIES FIXTURES_SETUP fault_server FIXTURES_REQUIRED tls_ca TIMEOUT 60)
set_tests_properties(fault_server_stop PROPERTIES FIXTURES_CLEANUP fault_server)
