# The documentation: the HTML site and the man pages, both built by Sphinx
# from the Markdown sources in docs/ (target docs, part of the default build).
# Debian's python3 runs Sphinx (another python3 may come first on PATH), with
# warnings as errors and every internal reference checked.

set(TWOLOCUS_PYTHON /usr/bin/python3 CACHE FILEPATH "The Python that runs Sphinx (Debian's)")
execute_process(COMMAND ${TWOLOCUS_PYTHON} -c "import sphinx, myst_parser"
                RESULT_VARIABLE twolocus_sphinx_missing OUTPUT_QUIET ERROR_QUIET)
if(twolocus_sphinx_missing)
  message(FATAL_ERROR "The documentation needs Sphinx and MyST for ${TWOLOCUS_PYTHON}: "
          "install the Debian packages python3-sphinx and python3-myst-parser "
          "(bash scripts/setup.sh does), or configure with -DTWOLOCUS_DOCS=OFF.")
endif()

set(TWOLOCUS_DOCS_DIR ${CMAKE_BINARY_DIR}/docs)
# Everything the pages are made from: their sources and pictures, the
# configuration and extensions, the message table, the package's docstrings,
# the examples' README, the README and the change log, which pages include,
# and the release.
file(GLOB_RECURSE twolocus_docs_sources CONFIGURE_DEPENDS
     ${CMAKE_SOURCE_DIR}/docs/*.md ${CMAKE_SOURCE_DIR}/docs/*.py ${CMAKE_SOURCE_DIR}/docs/*.png)
file(GLOB_RECURSE twolocus_docs_python CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/python/twolocus/*.py)
list(APPEND twolocus_docs_sources ${twolocus_docs_python}
     ${CMAKE_SOURCE_DIR}/src/run/messages.def
     ${CMAKE_SOURCE_DIR}/examples/README.md
     ${CMAKE_SOURCE_DIR}/README.md
     ${CMAKE_SOURCE_DIR}/CHANGELOG.md
     ${CMAKE_SOURCE_DIR}/VERSION)

# -E: a fresh environment each time, so that every warning is seen on every build.
# autodoc imports twolocus.simulation, which finds the compiled module in this build.
# In the sanitizer build the module carries the sanitizers, whose runtime
# must be loaded first in the Python that imports it (Python itself is not
# built with them); Python's own allocations are not leak-checked.
# Python writes no byte code beside the extensions and the package it
# imports: the build leaves the source tree as it found it.
set(twolocus_sphinx_env TWOLOCUS_BUILD=${CMAKE_BINARY_DIR} PYTHONDONTWRITEBYTECODE=1)
if(CMAKE_BUILD_TYPE STREQUAL "Asan" AND TARGET twolocus_core)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
                  OUTPUT_VARIABLE twolocus_asan_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libubsan.so
                  OUTPUT_VARIABLE twolocus_ubsan_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
  list(APPEND twolocus_sphinx_env "LD_PRELOAD=${twolocus_asan_runtime}:${twolocus_ubsan_runtime}"
       ASAN_OPTIONS=detect_leaks=0)
endif()
set(twolocus_sphinx ${CMAKE_COMMAND} -E env ${twolocus_sphinx_env}
    ${TWOLOCUS_PYTHON} -m sphinx -E -W --keep-going -n -q)
# The man pages, one per program and Python command (man_pages in docs/conf.py).
set(TWOLOCUS_MAN_PAGES twolocus twolocus-multinomial twolocus-sim twolocus-stats twolocus-plot twolocus-sweep)
# Each is also compressed as Debian does (gzip -9n: the same bytes every time).
set(twolocus_man_outputs "")
set(twolocus_man_gzip "")
foreach(page IN LISTS TWOLOCUS_MAN_PAGES)
  list(APPEND twolocus_man_outputs ${TWOLOCUS_DOCS_DIR}/man/${page}.1 ${TWOLOCUS_DOCS_DIR}/man/${page}.1.gz)
  list(APPEND twolocus_man_gzip COMMAND gzip -9nkf ${TWOLOCUS_DOCS_DIR}/man/${page}.1)
endforeach()
add_custom_command(
  OUTPUT ${TWOLOCUS_DOCS_DIR}/html/index.html ${twolocus_man_outputs}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${TWOLOCUS_DOCS_DIR}/html ${TWOLOCUS_DOCS_DIR}/man
  COMMAND ${twolocus_sphinx} -b html -d ${TWOLOCUS_DOCS_DIR}/doctrees-html
          ${CMAKE_SOURCE_DIR}/docs ${TWOLOCUS_DOCS_DIR}/html
  COMMAND ${twolocus_sphinx} -b man -d ${TWOLOCUS_DOCS_DIR}/doctrees-man
          ${CMAKE_SOURCE_DIR}/docs ${TWOLOCUS_DOCS_DIR}/man
  ${twolocus_man_gzip}
  DEPENDS ${twolocus_docs_sources} $<$<TARGET_EXISTS:twolocus_core>:twolocus_core>
  COMMENT "Building the documentation (HTML and man pages) with Sphinx"
  VERBATIM)
add_custom_target(docs ALL DEPENDS ${TWOLOCUS_DOCS_DIR}/html/index.html ${twolocus_man_outputs})

if(TWOLOCUS_TESTS)
  add_test(NAME docs_installed
           COMMAND ${CMAKE_COMMAND} -DBUILD=${CMAKE_BINARY_DIR} -DPREFIX=${CMAKE_BINARY_DIR}/docs-installed
                   -DTABLE=${CMAKE_SOURCE_DIR}/src/run/messages.def -DSOURCE=${CMAKE_SOURCE_DIR}
                   -P ${CMAKE_SOURCE_DIR}/cmake/check_docs_install.cmake)
endif()
