# The WinHTTP transport against the fault server over TLS.
include(${CMAKE_CURRENT_LIST_DIR}/tls.cmake)

add_executable(winhttp_tests ${CMAKE_CURRENT_LIST_DIR}/WinHttpTransportTests.cpp)
target_link_libraries(winhttp_tests PRIVATE quorvex_win32 GTest::gmock_main)
# The suites that need a proxy set in the prefix run only in the registrations below, so that
# none of them passes by skipping.
quorvex_add_wine_test(winhttp_tests
                      COMMAND winhttp_tests --gtest_filter=-WinHttpKerberosProxy.*:WinHttpUserProxy.*:WinHttpRealProxy.*
                      FIXTURES "tls_ca;fault_server"
                      ENVIRONMENT "QV_FAULT_PORTS=${QUORVEX_FAULT_STATE}/ports")

# The proxy from the user's settings, read once per process: runs of their own with the fault
# server's proxy set in the prefix, cleared afterwards; localhost goes direct, 127.0.0.1
# through the proxy. Once as a static proxy with a bypass list, once by a configuration script.
quorvex_add_wine_test(winhttp_user_proxy
  COMMAND bash -c "exec '${QUORVEX_FIXTURES}/user-proxy.sh' '${CMAKE_BINARY_DIR}/wine-env' run \
127.0.0.2:$(awk '$1==\"proxy\"{print $2}' '${QUORVEX_FAULT_STATE}/ports') localhost \
'${CMAKE_BINARY_DIR}/wine-run' '$<TARGET_FILE:winhttp_tests>' --gtest_filter=WinHttpUserProxy.*"
  FIXTURES "tls_ca;fault_server"
  ENVIRONMENT "QV_FAULT_PORTS=${QUORVEX_FAULT_STATE}/ports;QV_PROXY_LOG=${QUORVEX_FAULT_STATE}/proxy.log")
set_tests_properties(winhttp_user_proxy PROPERTIES RESOURCE_LOCK wine_user_proxy)
quorvex_add_wine_test(winhttp_user_proxy_script
  COMMAND bash -c "exec '${QUORVEX_FIXTURES}/user-proxy.sh' '${CMAKE_BINARY_DIR}/wine-env' run-script \
https://127.0.0.1:$(awk '$1==\"tls\"{print $2}' '${QUORVEX_FAULT_STATE}/ports')/pac/$(awk '$1==\"proxy\"{print $2}' '${QUORVEX_FAULT_STATE}/ports') \
'${CMAKE_BINARY_DIR}/wine-run' '$<TARGET_FILE:winhttp_tests>' --gtest_filter=WinHttpUserProxy.*"
  FIXTURES "tls_ca;fault_server"
  ENVIRONMENT "QV_FAULT_PORTS=${QUORVEX_FAULT_STATE}/ports;QV_PROXY_LOG=${QUORVEX_FAULT_STATE}/proxy.log")
set_tests_properties(winhttp_user_proxy_script PROPERTIES RESOURCE_LOCK wine_user_proxy)

# Real proxies (squid tunnelling, tinyproxy asking for a password), set as the user's proxy in
# runs of their own like the ones above.
set(QUORVEX_REAL_PROXY_STATE "${QUORVEX_TLS_DIR}/real-proxies")
add_test(NAME real_proxies_start COMMAND ${QUORVEX_FIXTURES}/real-proxies.sh start ${QUORVEX_REAL_PROXY_STATE})
add_test(NAME real_proxies_stop COMMAND ${QUORVEX_FIXTURES}/real-proxies.sh stop ${QUORVEX_REAL_PROXY_STATE})
set_tests_properties(real_proxies_start PROPERTIES FIXTURES_SETUP real_proxies TIMEOUT 60)
set_tests_properties(real_proxies_stop PROPERTIES FIXTURES_CLEANUP real_proxies)
foreach(proxy squid tinyproxy)
  if(proxy STREQUAL "squid")
    set(address 127.0.0.3)
    set(test SquidTunnelsToEachOriginOnItsOwn)
  else()
    set(address 127.0.0.4)
    set(test TinyproxyAskingForAPasswordAnswers407)
  endif()
  quorvex_add_wine_test(winhttp_${proxy}
    COMMAND bash -c "exec '${QUORVEX_FIXTURES}/user-proxy.sh' '${CMAKE_BINARY_DIR}/wine-env' run \
${address}:$(awk '$1==\"${proxy}\"{print $2}' '${QUORVEX_REAL_PROXY_STATE}/ports') localhost \
'${CMAKE_BINARY_DIR}/wine-run' '$<TARGET_FILE:winhttp_tests>' --gtest_filter=WinHttpRealProxy.${test}"
    FIXTURES "tls_ca;fault_server;real_proxies"
    ENVIRONMENT "QV_FAULT_PORTS=${QUORVEX_FAULT_STATE}/ports;QV_REAL_PROXY=${proxy};QV_SQUID_LOG=${QUORVEX_REAL_PROXY_STATE}/squid/access.log")
  set_tests_properties(winhttp_${proxy} PROPERTIES RESOURCE_LOCK wine_user_proxy)
endforeach()

# A corporate network's proxies (tests/windows/fixtures/kerberos-proxy.sh): a Kerberos KDC and
# squid asking for Negotiate, one asking for Basic, one asking for nothing; the end-to-end
# proxy scenarios use them too. The transport through the Negotiate one, with ana's ticket (no
# ";" in the command: CMake would split it there):
set(QUORVEX_KERBEROS_STATE "${QUORVEX_TLS_DIR}/kerberos" CACHE INTERNAL "")
add_test(NAME kerberos_proxy_start
         COMMAND ${QUORVEX_FIXTURES}/kerberos-proxy.sh start ${QUORVEX_KERBEROS_STATE})
add_test(NAME kerberos_proxy_stop
         COMMAND ${QUORVEX_FIXTURES}/kerberos-proxy.sh stop ${QUORVEX_KERBEROS_STATE})
set_tests_properties(kerberos_proxy_start PROPERTIES FIXTURES_SETUP kerberos_proxy TIMEOUT 60)
set_tests_properties(kerberos_proxy_stop PROPERTIES FIXTURES_CLEANUP kerberos_proxy)
quorvex_add_wine_test(winhttp_negotiate_proxy
  COMMAND bash -c "set -a && . '${QUORVEX_KERBEROS_STATE}/env' && set +a && \
exec '${QUORVEX_FIXTURES}/user-proxy.sh' '${CMAKE_BINARY_DIR}/wine-env' run \
127.0.0.5:$(awk '$1==\"negotiate\"{print $2}' '${QUORVEX_KERBEROS_STATE}/ports') '' \
'${CMAKE_BINARY_DIR}/wine-run' '$<TARGET_FILE:winhttp_tests>' --gtest_filter=WinHttpKerberosProxy.*"
  FIXTURES "tls_ca;fault_server;kerberos_proxy"
  ENVIRONMENT "QV_FAULT_PORTS=${QUORVEX_FAULT_STATE}/ports;QV_NEGOTIATE_LOG=${QUORVEX_KERBEROS_STATE}/negotiate/access.log")
set_tests_properties(winhttp_negotiate_proxy PROPERTIES RESOURCE_LOCK wine_user_proxy)
