# qv-unpack.exe under Wine: a good package lands, a package with a climbing name fails
# with one line naming the entry and writes nothing.
quorvex_add_wine_test(qv_unpack_under_wine
  COMMAND ${CMAKE_COMMAND}
          -DWINE_RUN=${CMAKE_BINARY_DIR}/wine-run
          -DQV_UNPACK=$<TARGET_FILE:qv-unpack>
          -DDATA=${CMAKE_SOURCE_DIR}/tests/data
          -DWORK=${CMAKE_CURRENT_BINARY_DIR}/qv-unpack-run
          -P ${CMAKE_CURRENT_LIST_DIR}/unpack/check-qv-unpack.cmake)

# The packages made by real tools, unpacked by qv-unpack.exe (see tests/packages).
quorvex_add_wine_test(real_packages_under_wine
  COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/packages/check_real_packages.py
          --work ${CMAKE_CURRENT_BINARY_DIR}/real-packages --qv-unpack $<TARGET_FILE:qv-unpack>
          --wine-run ${CMAKE_BINARY_DIR}/wine-run)

# Links in and as the extraction folder: nothing is written through them.
quorvex_add_wine_test(qv_unpack_links
  COMMAND ${CMAKE_COMMAND}
          -DWINE_RUN=${CMAKE_BINARY_DIR}/wine-run
          -DQV_UNPACK=$<TARGET_FILE:qv-unpack>
          -DWORK=${CMAKE_CURRENT_BINARY_DIR}/qv-unpack-links
          -P ${CMAKE_CURRENT_LIST_DIR}/unpack/check-links.cmake)

# Deep packages (paths past MAX_PATH, a folder name of 255 characters) made by zip and Python's
# zipfile install; --check warns about the long paths; a link deep in one is still refused.
quorvex_add_wine_test(qv_unpack_deep_packages
  COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/unpack/check-deep-packages.py
          --work ${CMAKE_CURRENT_BINARY_DIR}/deep-packages --qv-unpack $<TARGET_FILE:qv-unpack>
          --wine-run ${CMAKE_BINARY_DIR}/wine-run)

# The same signed packages checked by qv-unpack.exe with CNG (qv-sign is the native build's).
quorvex_add_wine_test(signed_packages_under_wine
  COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/packages/check_signed_packages.py
          --work ${CMAKE_CURRENT_BINARY_DIR}/signed-packages --qv-unpack $<TARGET_FILE:qv-unpack>
          --wine-run ${CMAKE_BINARY_DIR}/wine-run --qv-sign ${QUORVEX_NATIVE_BUILD_DIR}/tools/cli/qv-sign)
