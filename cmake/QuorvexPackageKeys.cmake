# The vendor's package keys, embedded in an installer at build time: P-256 public keys in PEM,
# checked and converted with openssl when the build is configured.

# One or more PEM files (absolute, or relative to the source folder); two allow a rotation.
set(QUORVEX_PACKAGE_KEYS "" CACHE STRING "P-256 public keys (PEM files) whose signatures the installer accepts on a package; empty: packages are not checked")
# How many of them must have signed a package (distinct keys): 2 or more, and no single key can
# make a package install.
set(QUORVEX_PACKAGE_THRESHOLD "1" CACHE STRING "Signatures by at least this many distinct keys of QUORVEX_PACKAGE_KEYS are needed on a package")

# Reads one PEM public key: sets outEntry to its C++ initializer and outId to its key id (the
# first 8 bytes of the SHA-256 of its DER SubjectPublicKeyInfo, in hex). Refuses anything that
# is not an uncompressed-convertible P-256 public key.
function(quorvex_read_package_key pem outEntry outId)
  cmake_path(ABSOLUTE_PATH pem BASE_DIRECTORY "${CMAKE_SOURCE_DIR}" NORMALIZE OUTPUT_VARIABLE path)
  if(NOT EXISTS "${path}")
    message(FATAL_ERROR "QUORVEX_PACKAGE_KEYS: ${pem}: no such file")
  endif()
  find_program(QUORVEX_OPENSSL openssl)
  if(NOT QUORVEX_OPENSSL)
    message(FATAL_ERROR "QUORVEX_PACKAGE_KEYS needs the openssl program to read ${pem} (tools/setup installs it)")
  endif()
  execute_process(COMMAND "${QUORVEX_OPENSSL}" pkey -pubin -in "${path}" -noout -text
                  RESULT_VARIABLE failed OUTPUT_VARIABLE text ERROR_VARIABLE problem)
  if(failed)
    message(FATAL_ERROR "QUORVEX_PACKAGE_KEYS: ${pem} is not a PEM public key (a private key or another file?); "
                        "give the public key, as \"qv-sign --public\" or \"openssl ec -pubout\" writes it")
  endif()
  if(NOT text MATCHES "ASN1 OID: prime256v1")
    string(REGEX MATCH "ASN1 OID: [^\n]*|Public-Key: [^\n]*" what "${text}")
    message(FATAL_ERROR "QUORVEX_PACKAGE_KEYS: ${pem} is not a P-256 (prime256v1) public key (${what})")
  endif()
  string(MD5 name "${path}")
  set(der "${CMAKE_BINARY_DIR}/package-keys/${name}.der")
  file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/package-keys")
  execute_process(COMMAND "${QUORVEX_OPENSSL}" ec -pubin -in "${path}" -conv_form uncompressed -outform DER -out "${der}"
                  RESULT_VARIABLE failed OUTPUT_QUIET ERROR_VARIABLE problem)
  file(READ "${der}" hex HEX)
  string(LENGTH "${hex}" length)
  if(failed OR NOT length EQUAL 182 OR NOT hex MATCHES "^3059301306072a8648ce3d020106082a8648ce3d03010703420004")
    message(FATAL_ERROR "QUORVEX_PACKAGE_KEYS: ${pem}: openssl could not write it as an uncompressed P-256 key: ${problem}")
  endif()
  file(SHA256 "${der}" digest)
  string(SUBSTRING "${digest}" 0 16 id)
  string(SUBSTRING "${hex}" 54 128 point)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," idBytes "${id}")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," pointBytes "${point}")
  set(${outEntry} "    {{${idBytes}},\n     {${pointBytes}}},  // ${id}: ${pem}\n" PARENT_SCOPE)
  set(${outId} "${id}" PARENT_SCOPE)
  set_property(DIRECTORY "${CMAKE_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${path}")
endfunction()

# Writes the source that gives an installer its keys and threshold (InstallerPackageKeys and
# InstallerPackageThreshold in src/window/InstallerKeys.h) to out; the file changes only when
# they do. THRESHOLD defaults to QUORVEX_PACKAGE_THRESHOLD; the other arguments are the keys.
function(quorvex_package_keys_source out)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "THRESHOLD" "")
  set(threshold "${QUORVEX_PACKAGE_THRESHOLD}")
  if(DEFINED ARG_THRESHOLD)
    set(threshold "${ARG_THRESHOLD}")
  endif()
  if(threshold STREQUAL "")
    set(threshold 1)
  endif()
  if(NOT threshold MATCHES "^[1-9][0-9]?$")
    message(FATAL_ERROR "QUORVEX_PACKAGE_THRESHOLD: \"${threshold}\" is not a number of keys from 1 to 99")
  endif()
  set(entries "")
  set(ids "")
  foreach(pem IN LISTS ARG_UNPARSED_ARGUMENTS)
    quorvex_read_package_key("${pem}" entry id)
    if(id IN_LIST ids)
      message(FATAL_ERROR "QUORVEX_PACKAGE_KEYS: ${pem} is a key already given (key id ${id})")
    endif()
    string(APPEND entries "${entry}")
    list(APPEND ids ${id})
  endforeach()
  list(LENGTH ids count)
  if(count EQUAL 0 AND NOT threshold EQUAL 1)
    message(FATAL_ERROR "QUORVEX_PACKAGE_THRESHOLD is ${threshold} but QUORVEX_PACKAGE_KEYS gives no key")
  endif()
  if(count GREATER 0 AND threshold GREATER count)
    message(FATAL_ERROR "QUORVEX_PACKAGE_THRESHOLD is ${threshold} but QUORVEX_PACKAGE_KEYS gives only ${count} "
                        "key(s): no package could install")
  endif()
  if(entries STREQUAL "")
    set(body "std::span<const PackageKey> InstallerPackageKeys() { return {}; }\n")
  else()
    set(body "namespace {\nconst PackageKey kKeys[] = {\n${entries}};\n}  // namespace\n\nstd::span<const PackageKey> InstallerPackageKeys() { return kKeys; }\n")
  endif()
  string(APPEND body "std::size_t InstallerPackageThreshold() { return ${threshold}; }\n")
  set(text "// Generated at configure time from the package keys this installer is built with.\n#include \"window/InstallerKeys.h\"\n\nnamespace quorvex::window {\n\n${body}\n}  // namespace quorvex::window\n")
  file(CONFIGURE OUTPUT "${out}" CONTENT "${text}" @ONLY)
endfunction()
