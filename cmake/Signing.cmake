# Authenticode signatures (SHA-256, osslsigncode) on everything we ship: each
# product binary is signed in place as the last step of its own build, so the
# tests run what the package carries; packaging/ signs each package after
# wixl has packed the signed binaries. docs/signing.md is the administrator's
# side of it.
#
# The certificate is the build's configuration: VM_SIGN_PFX (with its
# password), or VM_SIGN_CERT with VM_SIGN_KEY. Without one, the build tree gets
# a test certificate of its own, made once; Windows trusts nothing signed with
# it. No key is ever part of the sources.
set(VM_SIGN_PFX "" CACHE FILEPATH "PKCS#12 file holding the code-signing certificate and its key")
set(VM_SIGN_CERT "" CACHE FILEPATH "code-signing certificate (PEM or DER) and its chain; with VM_SIGN_KEY")
set(VM_SIGN_KEY "" CACHE FILEPATH "private key of VM_SIGN_CERT")
set(VM_SIGN_PASSWORD_FILE "" CACHE FILEPATH "file holding the password of VM_SIGN_PFX or VM_SIGN_KEY")
set(VM_SIGN_PASSWORD "" CACHE STRING "password of VM_SIGN_PFX or VM_SIGN_KEY (kept in CMakeCache.txt: prefer VM_SIGN_PASSWORD_FILE)")
set(VM_SIGN_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamp service; the signatures carry no time stamp when empty")
set(VM_SIGN_CAFILE "" CACHE FILEPATH "root certificates the signature check trusts; empty: the test certificate, or the system's roots for a configured one")
mark_as_advanced(VM_SIGN_PASSWORD)

# The targets whose files the packages carry (packaging/build-files.wxi).
set(VM_SHIPPED_TARGETS vormidmgr cipher vmlauncher vmplugin quorix01 quorix02 quorix03
  shellexec tracewatch ciphertool addinhost vmcheck)

find_program(VM_OSSLSIGNCODE osslsigncode)
find_program(VM_OPENSSL openssl)
if(NOT VM_OSSLSIGNCODE OR NOT VM_OPENSSL)
  message(FATAL_ERROR "osslsigncode or openssl not found: run scripts/install-deps.sh")
endif()

# A configured file that is missing fails here, not as a rule ninja lacks.
foreach(setting VM_SIGN_PFX VM_SIGN_CERT VM_SIGN_KEY VM_SIGN_PASSWORD_FILE VM_SIGN_CAFILE)
  if(${setting} AND NOT EXISTS ${${setting}})
    message(FATAL_ERROR "${setting}: no such file: ${${setting}}")
  endif()
endforeach()

set(VM_SIGN_DIR ${CMAKE_BINARY_DIR}/signing)
file(MAKE_DIRECTORY ${VM_SIGN_DIR})
# What the check trusts (tests/packaging/signature-test.sh).
set(VM_SIGN_VERIFY_CA ${VM_SIGN_DIR}/verify-ca.pem)
# Files whose change signs everything again.
set(VM_SIGN_DEPENDS ${VM_SIGN_DIR}/sign-options)

# Writes a file only when its text changes (file(CONFIGURE) would expand
# ${...} and @...@ in a password or a path), with the given permissions.
function(vm_write_if_changed path text)
  file(WRITE ${path}.new "${text}")
  configure_file(${path}.new ${path} COPYONLY FILE_PERMISSIONS ${ARGN})
  file(REMOVE ${path}.new)
endfunction()

# Makes the build tree's test certificate once: a self-issued code-signing
# certificate and its unencrypted key, both in the build tree only.
function(vm_make_test_certificate cert key)
  if(EXISTS ${cert} AND EXISTS ${key})
    message(STATUS "Signing with the test certificate of this build tree: ${cert}")
    return()
  endif()
  execute_process(COMMAND ${VM_OPENSSL} req -x509 -newkey rsa:3072 -sha256 -nodes -days 3650
      -subj "/O=${VM_COMPANY}/CN=${VM_PRODUCT} test code signing"
      -addext extendedKeyUsage=codeSigning -addext keyUsage=digitalSignature
      -keyout ${key} -out ${cert}
    RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE error)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "openssl could not make the test certificate:\n${error}")
  endif()
  file(CHMOD ${key} PERMISSIONS OWNER_READ OWNER_WRITE)
  message(NOTICE "Signing: no certificate configured (VM_SIGN_PFX, or VM_SIGN_CERT and VM_SIGN_KEY); "
    "made a test code-signing certificate for this build tree: ${cert}. "
    "Windows trusts no file signed with it.")
endfunction()

# The options of `osslsigncode sign`, one to a line, for cmake/sign.sh: no
# password on a command line, and a file that changes only when they do.
set(options -h sha256 -n "${VM_PRODUCT}")
if(VM_SIGN_PFX)
  message(STATUS "Signing with ${VM_SIGN_PFX}")
  list(APPEND options -pkcs12 ${VM_SIGN_PFX})
  list(APPEND VM_SIGN_DEPENDS ${VM_SIGN_PFX})
elseif(VM_SIGN_CERT AND VM_SIGN_KEY)
  message(STATUS "Signing with ${VM_SIGN_CERT}")
  list(APPEND options -certs ${VM_SIGN_CERT} -key ${VM_SIGN_KEY})
  list(APPEND VM_SIGN_DEPENDS ${VM_SIGN_CERT} ${VM_SIGN_KEY})
elseif(VM_SIGN_CERT OR VM_SIGN_KEY)
  message(FATAL_ERROR "VM_SIGN_CERT and VM_SIGN_KEY go together")
else()
  set(test_cert ${VM_SIGN_DIR}/test-codesign.crt)
  vm_make_test_certificate(${test_cert} ${VM_SIGN_DIR}/test-codesign.key)
  list(APPEND options -certs ${test_cert} -key ${VM_SIGN_DIR}/test-codesign.key)
  list(APPEND VM_SIGN_DEPENDS ${test_cert})
endif()
if(VM_SIGN_PASSWORD_FILE)
  list(APPEND options -readpass ${VM_SIGN_PASSWORD_FILE})
  list(APPEND VM_SIGN_DEPENDS ${VM_SIGN_PASSWORD_FILE})
elseif(NOT VM_SIGN_PASSWORD STREQUAL "")
  vm_write_if_changed(${VM_SIGN_DIR}/password "${VM_SIGN_PASSWORD}" OWNER_READ OWNER_WRITE)
  list(APPEND options -readpass ${VM_SIGN_DIR}/password)
  list(APPEND VM_SIGN_DEPENDS ${VM_SIGN_DIR}/password)
endif()
if(VM_SIGN_PASSWORD STREQUAL "" OR VM_SIGN_PASSWORD_FILE)
  file(REMOVE ${VM_SIGN_DIR}/password)
endif()
if(VM_SIGN_TIMESTAMP_URL)
  list(APPEND options -ts ${VM_SIGN_TIMESTAMP_URL})
endif()
string(REPLACE ";" "\n" options "${options}")
vm_write_if_changed(${VM_SIGN_DIR}/sign-options "${options}\n" OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# The test certificate's SHA-1 thumbprint as Windows shows it (upper-case
# hex): vmcheck names a file signed with it as a development build's.
set(VM_TEST_SIGNER_SHA1 "")
if(test_cert)
  execute_process(COMMAND ${VM_OPENSSL} x509 -in ${test_cert} -noout -fingerprint -sha1
    OUTPUT_VARIABLE fingerprint RESULT_VARIABLE status OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(status EQUAL 0)
    string(REGEX REPLACE "^.*=" "" fingerprint "${fingerprint}")
    string(REPLACE ":" "" fingerprint "${fingerprint}")
    string(TOUPPER "${fingerprint}" VM_TEST_SIGNER_SHA1)
  endif()
endif()

if(VM_SIGN_CAFILE)
  configure_file(${VM_SIGN_CAFILE} ${VM_SIGN_VERIFY_CA} COPYONLY)
elseif(test_cert)
  configure_file(${test_cert} ${VM_SIGN_VERIFY_CA} COPYONLY)
else()
  configure_file(/etc/ssl/certs/ca-certificates.crt ${VM_SIGN_VERIFY_CA} COPYONLY)
endif()

# The command that signs FILE in place with the configured certificate.
set(VM_SIGN_COMMAND bash ${PROJECT_SOURCE_DIR}/cmake/sign.sh ${VM_OSSLSIGNCODE} ${VM_SIGN_DIR}/sign-options)

# Signs a shipped target's file as the last step of its link: a new
# certificate or option links it again.
function(vm_sign target)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${VM_SIGN_COMMAND} $<TARGET_FILE:${target}>
    VERBATIM)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${VM_SIGN_DEPENDS})
  set_property(TARGET ${target} PROPERTY VM_SIGNED TRUE)
endfunction()
