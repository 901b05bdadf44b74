# The Debian package, pelorin_<version>_<arch>.deb, made by CPack from everything `cmake --install` puts in
# place, under /usr: `cmake --build --preset package --target package` (or scripts/package.sh).
# Dependencies are found by dpkg-shlibdeps from the libraries the programs link against; the window also
# needs Qt's platform plugins, which no library names.

set(PELORIN_MAINTAINER "Pelorin developers <pelorin@example.org>"
    CACHE STRING "Maintainer named in the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pelorin)
set(CPACK_PACKAGE_VENDOR "The Pelorin developers")
set(CPACK_PACKAGE_CONTACT "${PELORIN_MAINTAINER}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "simulator of a time-triggered TTP/C cluster with fault injection")
set(CPACK_PACKAGE_DESCRIPTION
    "Pelorin shows fault injection into a four-node cluster running the TTP/C
protocol (nodes M1, M2, O1 and O2 on two redundant channels). The nodes keep
a replicated control application alive, a laser that must hit a turning
motor, while single bits of one controller's memory are set, reset or
flipped; membership, implicit acknowledgement, clock synchronisation and the
bus guardians react, and every step is recorded in a trace.

The package holds the window, pelorin, the headless runner, pelorin-sim,
with exact replays of injection logs and fault-injection campaigns that
classify the outcome of every injected fault, and the default configuration.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PELORIN_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://github.com/pelorin/pelorin")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

include(CPack)
