# Install rules and packages.
#
# `cmake --install <build> --prefix <dir>` puts the program in bin/, the man
# page in share/man/man1/ and the README in share/doc/tallymere/. CPack makes
# a Debian package of that on Linux (`cpack -G DEB`), and a .zip of the
# program and the README for Windows (`cpack -G ZIP` in the mingw-w64 build):
# a Windows user copies the folder and runs tallymere.exe from it, so the
# zip holds the two side by side. scripts/package.sh builds both.
include(GNUInstallDirs)

# The program carries Chart.js for its HTML page; Chart.js's license (MIT)
# asks that its notice go with every copy, so the packages hold the
# copyright file of the Debian package it was taken from.
set(TALLYMERE_CHARTJS_COPYRIGHT /usr/share/doc/libjs-chart.js/copyright
    CACHE FILEPATH "The copyright and license of the Chart.js that the program carries")
get_property(_tallymere_chartjs GLOBAL PROPERTY TALLYMERE_CHARTJS_INLINED)
set(_tallymere_chartjs_notice "")
if(_tallymere_chartjs AND EXISTS "${TALLYMERE_CHARTJS_COPYRIGHT}")
  set(_tallymere_chartjs_notice "${TALLYMERE_CHARTJS_COPYRIGHT}")
elseif(_tallymere_chartjs)
  message(WARNING "No Chart.js copyright file at ${TALLYMERE_CHARTJS_COPYRIGHT}: the packages will not carry it")
endif()

if(WIN32)
  install(TARGETS tallymere RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
  if(_tallymere_chartjs_notice)
    install(FILES ${_tallymere_chartjs_notice} DESTINATION . RENAME chart.js-copyright.txt)
  endif()
else()
  install(TARGETS tallymere RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/doc/tallymere.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  if(_tallymere_chartjs_notice)
    install(FILES ${_tallymere_chartjs_notice} DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME chart.js-copyright)
  endif()
endif()

set(CPACK_PACKAGE_NAME tallymere)
set(CPACK_PACKAGE_VENDOR "tallymere developers")
set(CPACK_PACKAGE_CONTACT "tallymere developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "statistics about the contents of an Orvanta event repository")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "tallymere walks a repository of *.rep files and prints one comma-separated line per count: "
  "by log and event ID, by day or hour, by computer, category or event type, optionally within "
  "a time window. It only reads the repository.")
set(CPACK_STRIP_FILES ON)
# Only the binary packages: a source package would sweep up the build trees.
set(CPACK_SOURCE_GENERATOR "")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  # tallymere-<version>-win64.zip, with everything in a folder of that name.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # tallymere_<version>_<arch>.deb
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The package depends on the runtime packages of the libraries the program
  # links. dpkg-shlibdeps (Debian: dpkg-dev) finds them from the binary, with
  # the versions the build needs; without it they are named by hand: zlib
  # always, libdeflate when the build linked it as a shared library.
  find_program(TALLYMERE_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(TALLYMERE_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(_runtime_packages "libc6" "libstdc++6" "libgcc-s1" "zlib1g")
    if(TALLYMERE_HAVE_LIBDEFLATE AND LIBDEFLATE_LIBRARY MATCHES "\\.so")
      list(APPEND _runtime_packages "libdeflate0")
    endif()
    list(JOIN _runtime_packages ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
    unset(_runtime_packages)
    message(STATUS "dpkg-shlibdeps not found: the Debian package depends on ${CPACK_DEBIAN_PACKAGE_DEPENDS}")
  endif()
endif()

include(CPack)
