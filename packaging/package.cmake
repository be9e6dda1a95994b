# The Debian package: `cpack -G DEB` in the build folder (or scripts/package)
# packs what `cmake --install` puts under /usr. Its dependencies are computed
# by dpkg-shlibdeps from the libraries the programs load, so that apt-get
# installs what a machine without a build needs.
set(FOILCAD_PACKAGE_CONTACT "the foilcad developers <foilcad@invalid>"
    CACHE STRING "Maintainer of the Debian package (name <address>)")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME foilcad)
set(CPACK_PACKAGE_VENDOR "the foilcad developers")
set(CPACK_PACKAGE_CONTACT "${FOILCAD_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "converts a copper layer's photoplot (Gerber) into STL solids")
# The long description as dpkg shows it: lines of at most 80 columns.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "foilcad reads the photoplot of one copper layer of a printed-circuit board"
  "(an RS-274X / Gerber file) and writes two ASCII STL solids for meshers and"
  "field solvers: the conductor (the copper) and the insulator (every other"
  "cell of the board's grid), each cell a box from an elevation to the"
  "elevation plus the thickness."
  ""
  "It comes as foilcad-convert, a command-line converter for scripts, and as"
  "foilcad, a small input form (Qt 6).")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# `make package_source`: the tracked files, not the build folders.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/\\\\.cache/")

include(CPack)
