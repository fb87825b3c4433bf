# Release checks: two independent builds give byte-identical executables, and the signed
# installer verifies, also after a round through the signature's removal, and fails once a byte
# changes. The builds these tests make share this tree's configuration.
# A re-run of the configure step keeps the toolchain as given on the command line, relative.
get_filename_component(QUORVEX_RELEASE_TOOLCHAIN "${CMAKE_TOOLCHAIN_FILE}" ABSOLUTE BASE_DIR "${CMAKE_SOURCE_DIR}")
file(RELATIVE_PATH QUORVEX_RELEASE_TOOLCHAIN "${CMAKE_SOURCE_DIR}" "${QUORVEX_RELEASE_TOOLCHAIN}")
set(QUORVEX_RELEASE_CHECK python3 ${CMAKE_CURRENT_LIST_DIR}/release/release-check.py
    --work ${CMAKE_CURRENT_BINARY_DIR}/release --source ${CMAKE_SOURCE_DIR} --cmake ${CMAKE_COMMAND}
    --generator ${CMAKE_GENERATOR} --toolchain ${QUORVEX_RELEASE_TOOLCHAIN})
foreach(var CMAKE_BUILD_TYPE CMAKE_C_FLAGS CMAKE_CXX_FLAGS QUORVEX_API_BASE QUORVEX_VERSION_NAME QUORVEX_FILE_VERSION)
  list(APPEND QUORVEX_RELEASE_CHECK --define "${var}=${${var}}")
endforeach()

add_test(NAME release_reproducible COMMAND ${QUORVEX_RELEASE_CHECK} reproducible)
set_tests_properties(release_reproducible PROPERTIES TIMEOUT 1200)

# A throw-away PKI and time-stamp authority, and the installer built signed and unsigned.
add_test(NAME release_signed_build COMMAND ${QUORVEX_RELEASE_CHECK} signed-build)
set_tests_properties(release_signed_build PROPERTIES FIXTURES_SETUP release_signed TIMEOUT 900
                     RESOURCE_LOCK release_signed_tree)
add_test(NAME release_signature COMMAND ${QUORVEX_RELEASE_CHECK} signature)
set_tests_properties(release_signature PROPERTIES FIXTURES_REQUIRED release_signed TIMEOUT 120)
add_test(NAME release_config COMMAND ${QUORVEX_RELEASE_CHECK} release-config)
set_tests_properties(release_config PROPERTIES FIXTURES_REQUIRED release_signed TIMEOUT 600
                     RESOURCE_LOCK release_signed_tree)

# The platform's own verdict, under Wine with the throw-away root in the prefix's Root store.
add_executable(qv-wintrust ${CMAKE_CURRENT_LIST_DIR}/release/WinTrustCheck.cpp)
target_link_libraries(qv-wintrust PRIVATE wintrust crypt32)
target_link_options(qv-wintrust PRIVATE -municode)
quorvex_add_wine_test(release_wintrust
  COMMAND ${QUORVEX_RELEASE_CHECK} --wine-run ${CMAKE_BINARY_DIR}/wine-run --tool $<TARGET_FILE:qv-wintrust> wintrust
  FIXTURES release_signed TIMEOUT 300)
