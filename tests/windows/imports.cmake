# The installer's import table: only libraries the system always loads from System32
# (KnownDLLs). Anything else would be looked for beside the program first, before it could
# say otherwise.
if(TARGET QuorvexInstall)
  get_filename_component(QUORVEX_COMPILER_NAME ${CMAKE_CXX_COMPILER} NAME)
  string(REGEX REPLACE "g\\+\\+.*$" "objdump" QUORVEX_OBJDUMP_NAME ${QUORVEX_COMPILER_NAME})
  find_program(QUORVEX_OBJDUMP NAMES ${QUORVEX_OBJDUMP_NAME} REQUIRED)
  add_test(NAME installer_imports
           COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${QUORVEX_OBJDUMP} -DPROGRAM=$<TARGET_FILE:QuorvexInstall>
                   -P ${CMAKE_CURRENT_LIST_DIR}/fixtures/check-imports.cmake)
endif()
