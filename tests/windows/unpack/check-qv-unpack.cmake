# Runs qv-unpack.exe through wine-run on the fixtures in DATA; Wine sees the host's / as Z:.
# A good package lands; one with a climbing name fails with one line naming the entry and
# writes nothing.
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

function(to_wine_path out path)
  string(REPLACE "/" "\\" converted "Z:${path}")
  set(${out} "${converted}" PARENT_SCOPE)
endfunction()

function(run_unpack package folder)
  to_wine_path(winPackage "${DATA}/${package}")
  to_wine_path(winFolder "${WORK}/${folder}")
  execute_process(COMMAND "${WINE_RUN}" "${QV_UNPACK}" "${winPackage}" "${winFolder}"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(rc "${rc}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
endfunction()

run_unpack(names-and-attributes.zip good)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "qv-unpack failed on a good package (${rc}): ${err}")
endif()
file(READ "${WORK}/good/Instalação/café.txt" text)
if(NOT text STREQUAL "acentuação\n")
  message(FATAL_ERROR "unexpected content of café.txt: '${text}'")
endif()
file(SIZE "${WORK}/good/stored.bin" size)
if(NOT size EQUAL 256)
  message(FATAL_ERROR "stored.bin has ${size} bytes")
endif()

run_unpack(climbing-name.zip bad)
string(STRIP "${err}" line)
if(NOT rc EQUAL 1 OR NOT line MATCHES "\"\\.\\./evil\\.txt\"" OR line MATCHES "\n")
  message(FATAL_ERROR "expected exit 1 and one line naming ../evil.txt, got ${rc}: '${err}'")
endif()
file(GLOB_RECURSE written "${WORK}/bad/*")
if(written OR EXISTS "${WORK}/evil.txt")
  message(FATAL_ERROR "a package with a refused name wrote something: ${written}")
endif()
message(STATUS "qv-unpack.exe: ok; refused: ${line}")
