# Read by cpack before it makes the package: the package's version is the one that
# `kalvitrope-cli --version` prints ("kalvitrope-cli (Kalvitrope v1.1)"), and the changelog's and
# the AppStream metadata's latest release must be that version.
execute_process(COMMAND ${KV_VERSION_PROGRAM} --version
  OUTPUT_VARIABLE version_text RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT version_text MATCHES "Kalvitrope v([0-9][0-9A-Za-z.+~]*)")
  message(FATAL_ERROR "${KV_VERSION_PROGRAM} --version gave no version (${rc}): ${version_text}")
endif()
set(CPACK_PACKAGE_VERSION ${CMAKE_MATCH_1})

file(STRINGS ${KV_PACKAGING_SOURCE}/changelog first_entry LIMIT_COUNT 1)
if(NOT first_entry MATCHES "^kalvitrope \\(${CPACK_PACKAGE_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog: the latest entry is not version "
    "${CPACK_PACKAGE_VERSION}: ${first_entry}")
endif()
file(READ ${KV_PACKAGING_SOURCE}/org.kalvitrope.Kalvitrope.metainfo.xml metainfo)
if(NOT metainfo MATCHES "<releases>[ \t\r\n]*<release version=\"${CPACK_PACKAGE_VERSION}\"")
  message(FATAL_ERROR "packaging/org.kalvitrope.Kalvitrope.metainfo.xml: the latest release is "
    "not version ${CPACK_PACKAGE_VERSION}")
endif()
