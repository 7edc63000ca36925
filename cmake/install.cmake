# Install rules and the Debian package (cpack -G DEB). Included at the end of
# the top-level CMakeLists.txt, after every program's target is defined.
#
#   cmake --install build --prefix PREFIX
#
# puts the programs and the Python commands in PREFIX/bin, the Python package
# in PREFIX/lib/python3/dist-packages/twolocus (where Debian's python3 finds
# it under /usr, and the commands from their own location) with the
# programs' message table and the compiled module twolocus._core, the man pages (gzipped) in
# PREFIX/share/man/man1, the README, the licence (LICENSE, and copyright in
# Debian's format) and example fitness tables in
# PREFIX/share/doc/twolocus, and the HTML documentation in
# PREFIX/share/doc/twolocus/html. Sphinx makes the man pages and the HTML
# from docs/ (cmake/docs.cmake); without TWOLOCUS_DOCS neither is installed.

include(GNUInstallDirs)

# Simulator programs: each is installed when its target exists, with its man page.
set(TWOLOCUS_PROGRAMS twolocus twolocus-multinomial twolocus-sim)
# Python commands in python/bin, each with its man page.
set(TWOLOCUS_PYTHON_COMMANDS twolocus-stats twolocus-plot twolocus-sweep)

set(twolocus_man_pages "")
foreach(program IN LISTS TWOLOCUS_PROGRAMS)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    list(APPEND twolocus_man_pages ${program})
  endif()
endforeach()
foreach(command IN LISTS TWOLOCUS_PYTHON_COMMANDS)
  install(PROGRAMS python/bin/${command} DESTINATION ${CMAKE_INSTALL_BINDIR})
  list(APPEND twolocus_man_pages ${command})
endforeach()
# Debian's python3 looks in /usr/lib/python3/dist-packages, whatever its version.
set(TWOLOCUS_PYTHON_DIR lib/python3/dist-packages)
install(DIRECTORY python/twolocus DESTINATION ${TWOLOCUS_PYTHON_DIR}
        FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE)
# The programs' message table, which the Python package reads (messages.py),
# and the release, which it gives as twolocus.__version__ (release.py). The
# package's subpackages (engines, runfiles, analysis, pictures, sweeps,
# commands) come with its folder.
install(FILES src/run/messages.def VERSION DESTINATION ${TWOLOCUS_PYTHON_DIR}/twolocus)
if(TARGET twolocus_core)
  install(TARGETS twolocus_core LIBRARY DESTINATION ${TWOLOCUS_PYTHON_DIR}/twolocus)
endif()
# The man pages, compressed as Debian does by the docs target (gzip -9n: no
# name or time stamp, so the same page gives the same bytes), and the HTML.
if(TWOLOCUS_DOCS)
  foreach(page IN LISTS twolocus_man_pages)
    install(FILES ${TWOLOCUS_DOCS_DIR}/man/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
  install(DIRECTORY ${TWOLOCUS_DOCS_DIR}/html/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/html
          PATTERN ".buildinfo" EXCLUDE)
endif()
# The README and the example fitness tables, which the man pages' examples use.
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/twolocus)
# The licence, and the licences of every file installed, in Debian's
# machine-readable copyright format: cmake/copyright.in with the licence's
# text from LICENSE (indented by one space, an empty line written " .").
file(READ ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE twolocus_license)
string(REGEX REPLACE "^MIT License\n\nCopyright [^\n]*\n\n" "" twolocus_license "${twolocus_license}")
string(REGEX REPLACE "\n+$" "" twolocus_license "${twolocus_license}")
string(REPLACE "\n\n" "\n.\n" twolocus_license "${twolocus_license}")
string(REPLACE "\n" "\n " TWOLOCUS_EXPAT_TEXT " ${twolocus_license}")
configure_file(cmake/copyright.in ${CMAKE_CURRENT_BINARY_DIR}/copyright @ONLY)
install(FILES LICENSE ${CMAKE_CURRENT_BINARY_DIR}/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/twolocus)
install(DIRECTORY examples/ DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/twolocus/examples
        FILES_MATCHING PATTERN "*.tsv" PATTERN "README.md")

set(CPACK_PACKAGE_NAME twolocus)
# The release, from the file VERSION (the package is twolocus_RELEASE_ARCH.deb).
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Simulator of a diploid population at two loci with three alleles, and tools to look at its runs")
set(CPACK_PACKAGE_CONTACT "twolocus maintainers <twolocus@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
# The programs' library dependencies come from dpkg-shlibdeps; the Python commands need these.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The compiled module twolocus._core is built for one minor version of Python
# (its file name says which, _core.cpython-3XY-...so): the package needs that
# version as python3. The Python commands need the module (a build without it,
# TWOLOCUS_PYTHON_MODULE=OFF, installs commands that say so in one line).
if(TARGET twolocus_core)
  math(EXPR twolocus_next_minor "${Python_VERSION_MINOR} + 1")
  set(twolocus_python_depends
      "python3 (>= ${Python_VERSION_MAJOR}.${Python_VERSION_MINOR}), python3 (<< ${Python_VERSION_MAJOR}.${twolocus_next_minor})")
else()
  set(twolocus_python_depends python3)
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${twolocus_python_depends}, python3-numpy, python3-matplotlib, parallel")
# twolocus-sweep --slurm submits with the Slurm commands.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "slurm-client")
include(CPack)
