# The test docs_installed: cmake --install puts the HTML documentation and the
# man pages where users look for them, with the message reference made from
# the programs' table; the docs build left no byte code in the sources.
#   cmake -DBUILD=build-folder -DPREFIX=empty-folder -DTABLE=messages.def -DSOURCE=repository
#         -P check_docs_install.cmake
if(EXISTS ${SOURCE}/docs/_ext/__pycache__)
  message(FATAL_ERROR "the docs build wrote byte code into ${SOURCE}/docs/_ext/__pycache__ "
          "(an older build may have: remove the folder)")
endif()
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${PREFIX}
                RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${status}")
endif()
set(html ${PREFIX}/share/doc/twolocus/html)
foreach(page index.html reference/messages.html reference/twolocus.html python/index.html
             _images/crossing.png)
  if(NOT EXISTS ${html}/${page})
    message(FATAL_ERROR "not installed: share/doc/twolocus/html/${page}")
  endif()
endforeach()
# Every message of the table is on the installed messages page (the HTML
# escapes < > & and quotes, so each is checked by its text before any, with
# the tags taken out).
file(READ ${html}/reference/messages.html messages_page)
string(REGEX REPLACE "<[^>]*>" "" messages_page "${messages_page}")
string(REPLACE "&#160;" " " messages_page "${messages_page}")
file(STRINGS ${TABLE} entries REGEX "^TWOLOCUS_MESSAGE\\(")
foreach(entry IN LISTS entries)
  string(REGEX MATCH "^TWOLOCUS_MESSAGE\\(([a-z_]+), [a-z_]+, \"([^\"<>&'\\\\]*)" head "${entry}")
  string(FIND "${messages_page}" "${CMAKE_MATCH_2}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "message ${CMAKE_MATCH_1} [${CMAKE_MATCH_2}] is not on the installed messages page")
  endif()
endforeach()
foreach(page twolocus twolocus-multinomial twolocus-sim twolocus-stats twolocus-plot twolocus-sweep)
  file(GLOB installed ${PREFIX}/share/man/man1/${page}.1 ${PREFIX}/share/man/man1/${page}.1.gz)
  if(NOT installed)
    message(FATAL_ERROR "not installed: share/man/man1/${page}.1")
  endif()
endforeach()
file(REMOVE_RECURSE ${PREFIX})
