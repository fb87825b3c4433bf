# The installer that ships, checked as a file: PE32 i386 GUI, large-address-aware, NX and
# dynamic base; imports only KnownDLLs (anything else would be looked for beside the program
# first, before it could say otherwise); the repository's manifest; the configured version.
# The check also proves itself on copies spoiled for each of its rules.
if(TARGET QuorvexInstall)
  add_test(NAME installer_executable
           COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/release/check-executable.py $<TARGET_FILE:QuorvexInstall>
                   --manifest ${CMAKE_SOURCE_DIR}/resources/QuorvexInstall.manifest
                   --version ${QUORVEX_FILE_VERSION_MAJOR}.${QUORVEX_FILE_VERSION_MINOR}.${QUORVEX_FILE_VERSION_PATCH}.${QUORVEX_FILE_VERSION_BUILD}
                   --self-test)
endif()
