# qv-unpack.exe under Wine with links planted in and as the extraction folder: every write
# through one fails naming the entry, and nothing outside the folder is written or created.
# Links are made on the host side (Wine sees them as the system's own links).
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/packages" "${WORK}/outside")

function(to_wine_path out path)
  string(REPLACE "/" "\\" converted "Z:${path}")
  set(${out} "${converted}" PARENT_SCOPE)
endfunction()

# A package holding one entry with the text "new".
function(make_package name entry)
  set(stage "${WORK}/stage-${name}")
  file(WRITE "${stage}/${entry}" "new")
  execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf "${WORK}/packages/${name}.zip" --format=zip "${entry}"
                  WORKING_DIRECTORY "${stage}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cannot make ${name}.zip")
  endif()
endfunction()

function(run_unpack package folder)
  to_wine_path(winPackage "${WORK}/packages/${package}.zip")
  to_wine_path(winFolder "${folder}")
  execute_process(COMMAND "${WINE_RUN}" "${QV_UNPACK}" "${winPackage}" "${winFolder}"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  string(STRIP "${err}" err)
  set(rc "${rc}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
endfunction()

set(failures "")
function(expect_refused what entry)
  # The refusal itself, not any failure: the folders here have "link" in their names.
  if(NOT rc EQUAL 1 OR NOT err MATCHES "\"${entry}\"" OR NOT err MATCHES "nothing is written through a link")
    set(failures "${failures}\n${what}: expected exit 1 naming \"${entry}\" and the link, got ${rc}: ${err}"
        PARENT_SCOPE)
  else()
    message(STATUS "${what}: refused: ${err}")
  endif()
endfunction()

make_package(in-folder "sub/a.txt")
make_package(file "file.txt")
make_package(new-file "new.txt")

# A folder inside the extraction folder that is a link to a folder outside it.
file(MAKE_DIRECTORY "${WORK}/folder-link/root" "${WORK}/outside/dir")
file(CREATE_LINK "${WORK}/outside/dir" "${WORK}/folder-link/root/sub" SYMBOLIC)
run_unpack(in-folder "${WORK}/folder-link/root")
expect_refused("folder link" "sub/a.txt")
if(EXISTS "${WORK}/outside/dir/a.txt")
  string(APPEND failures "\nfolder link: sub/a.txt was written outside")
endif()

# An existing file to be replaced that is a link to a file outside.
file(MAKE_DIRECTORY "${WORK}/file-link/root")
file(WRITE "${WORK}/outside/victim.txt" "keep")
file(CREATE_LINK "${WORK}/outside/victim.txt" "${WORK}/file-link/root/file.txt" SYMBOLIC)
run_unpack(file "${WORK}/file-link/root")
expect_refused("file link" "file.txt")
file(READ "${WORK}/outside/victim.txt" victim)
if(NOT victim STREQUAL "keep")
  string(APPEND failures "\nfile link: the file outside now reads '${victim}'")
endif()

# A link to a file that does not exist yet: following it would create the file outside.
file(MAKE_DIRECTORY "${WORK}/dangling/root")
file(CREATE_LINK "${WORK}/outside/created.txt" "${WORK}/dangling/root/new.txt" SYMBOLIC)
run_unpack(new-file "${WORK}/dangling/root")
expect_refused("dangling file link" "new.txt")
if(EXISTS "${WORK}/outside/created.txt")
  string(APPEND failures "\ndangling file link: a file was created outside")
endif()

# The extraction folder itself replaced by a link.
file(MAKE_DIRECTORY "${WORK}/outside/real")
file(CREATE_LINK "${WORK}/outside/real" "${WORK}/root-link" SYMBOLIC)
run_unpack(file "${WORK}/root-link")
expect_refused("folder itself a link" "file.txt")
file(GLOB written "${WORK}/outside/real/*")
if(written)
  string(APPEND failures "\nfolder itself a link: written outside: ${written}")
endif()

# The same folder link deep in a path past MAX_PATH: the check still sees it there.
set(deep "")
foreach(i RANGE 1 30)
  string(APPEND deep "node_modules/")
endforeach()
make_package(deep "${deep}sub/a.txt")
file(MAKE_DIRECTORY "${WORK}/deep-link/root/${deep}" "${WORK}/outside/deep")
file(CREATE_LINK "${WORK}/outside/deep" "${WORK}/deep-link/root/${deep}sub" SYMBOLIC)
run_unpack(deep "${WORK}/deep-link/root")
expect_refused("folder link past MAX_PATH" "${deep}sub/a.txt")
if(EXISTS "${WORK}/outside/deep/a.txt")
  string(APPEND failures "\nfolder link past MAX_PATH: sub/a.txt was written outside")
endif()

# A file link past MAX_PATH: only its final path shows it (Wine reports no link attribute).
make_package(deep-file "${deep}file.txt")
file(MAKE_DIRECTORY "${WORK}/deep-file-link/root/${deep}")
file(WRITE "${WORK}/outside/deep-victim.txt" "keep")
file(CREATE_LINK "${WORK}/outside/deep-victim.txt" "${WORK}/deep-file-link/root/${deep}file.txt" SYMBOLIC)
run_unpack(deep-file "${WORK}/deep-file-link/root")
expect_refused("file link past MAX_PATH" "${deep}file.txt")
file(READ "${WORK}/outside/deep-victim.txt" victim)
if(NOT victim STREQUAL "keep")
  string(APPEND failures "\nfile link past MAX_PATH: the file outside now reads '${victim}'")
endif()

# Links above the extraction folder are the machine's own business.
file(MAKE_DIRECTORY "${WORK}/real-above")
file(CREATE_LINK "${WORK}/real-above" "${WORK}/above" SYMBOLIC)
run_unpack(in-folder "${WORK}/above/root")
if(NOT rc EQUAL 0 OR NOT EXISTS "${WORK}/real-above/root/sub/a.txt")
  string(APPEND failures "\nlink above the folder: expected success, got ${rc}: ${err}")
endif()

if(failures)
  message(FATAL_ERROR "${failures}")
endif()
