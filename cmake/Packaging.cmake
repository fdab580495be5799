# The Debian package, built with `cpack -G DEB` in the build folder. Its
# dependencies are read from the binary (dpkg-shlibdeps); the PIN dialog is a
# recommendation, since "list", "udf-cert" and "udf-sign" never show it.

set(TARVO_PACKAGE_MAINTAINER "tarvo-eimza-helper maintainers <eimza-helper@tarvo.invalid>"
    CACHE STRING "The Maintainer field of the Debian package")

# Debian wants both in the package's documentation folder: the copyright file
# as it is, the changelog compressed without a name or time stamp.
find_program(GZIP gzip REQUIRED)
set(packaged_changelog ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${packaged_changelog}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging
  COMMAND sh -c "'${GZIP}' -9 -n -c '${PROJECT_SOURCE_DIR}/packaging/changelog' > '${packaged_changelog}'"
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog
  VERBATIM)
add_custom_target(packaged-changelog ALL DEPENDS ${packaged_changelog})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${packaged_changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${TARVO_PACKAGE_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "e-signature certificates and keys for an automation agent")
set(CPACK_PACKAGE_DESCRIPTION
"An automation agent starts this helper once per operation, writes one JSON
request on its standard input and reads one JSON answer line: it lists the
valid certificates of the user's NSS certificate store and of an AKİS smart
card (through the card vendor's PKCS#11 module), signs a challenge with the
store's key or on the card after a PIN dialog (pinentry), and signs document
digests on the card with a PIN that the agent supplies.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The certificate store's library is loaded only when the store is opened, and
# OpenSSL's libcrypto only when a request needs it, so shlibdeps sees neither;
# NSS 3.30 brought the last entry point the store uses, OpenSSL 3.0 the last
# we use of it (libssl3t64 is its package from Debian 13 on).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libnss3 (>= 2:3.30), libssl3 (>= 3.0.0) | libssl3t64")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pinentry-curses | pinentry")
# The store's own tools (certutil, pk12util, modutil) make and fill the store;
# the Node.js client needs Node.js.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libnss3-tools, nodejs")
# The Node.js client, under the name Debian gives the package of a Node.js
# module (@tarvo/eimza-helper).
set(CPACK_DEBIAN_PACKAGE_PROVIDES "node-tarvo-eimza-helper (= ${PROJECT_VERSION})")
include(CPack)
