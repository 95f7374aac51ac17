# Run by cpack once the Debian package is made: a dpkg-shlibdeps that ran
# but named nothing leaves the package with an empty Depends, which would
# install on a system that lacks the C library the client needs.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  execute_process(COMMAND dpkg-deb --field ${package} Depends
    OUTPUT_VARIABLE depends OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(depends STREQUAL "")
    file(REMOVE ${package})
    message(FATAL_ERROR "${package} names no Depends: dpkg-shlibdeps found none; not made")
  endif()
endforeach()
