# The Debian package (cpack -G DEB in the build directory): the files of the
# install rules under /usr, with Depends computed from the binaries, and the
# maintainer scripts of packaging/.
set(TESSIMAR_DEB_VERSION "${PROJECT_VERSION}")
string(TIMESTAMP TESSIMAR_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(TESSIMAR_DEB_MAINTAINER "tessimar-exec developers <tessimar-exec@example.org>")

# Debian wants a copyright file and a compressed changelog in the doc directory.
configure_file(packaging/changelog "${CMAKE_BINARY_DIR}/packaging/changelog" @ONLY)
find_program(TESSIMAR_GZIP gzip)
if(TESSIMAR_GZIP)
  add_custom_command(
    OUTPUT "${CMAKE_BINARY_DIR}/packaging/changelog.gz"
    COMMAND "${TESSIMAR_GZIP}" -9 -n -f -k "${CMAKE_BINARY_DIR}/packaging/changelog"
    DEPENDS "${CMAKE_BINARY_DIR}/packaging/changelog"
    VERBATIM)
  add_custom_target(package_changelog ALL DEPENDS "${CMAKE_BINARY_DIR}/packaging/changelog.gz")
  install(FILES "${CMAKE_BINARY_DIR}/packaging/changelog.gz" packaging/copyright
          DESTINATION "${TESSIMAR_DOC_DIR}")
endif()

set(CPACK_PACKAGE_NAME tessimar-exec)
set(CPACK_PACKAGE_VERSION "${TESSIMAR_DEB_VERSION}")
set(CPACK_PACKAGE_VENDOR "tessimar-exec developers")
set(CPACK_PACKAGE_CONTACT "${TESSIMAR_DEB_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "run an untrusted program under limits, report in JSON")
# CPack puts the summary first; this is the extended description after it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"tessimar-exec takes a language name on its command line and a source program
on standard input, compiles the program when the language needs it, runs it
as a child process under a wall-clock timeout and limits on CPU time, memory,
file size, open files and processes (optionally without network), captures
its output and prints one line of JSON: the verdict, exit code, timings,
peak memory and the captured output.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The maintainer scripts list --contain's first run ids as users on
# configure and remove exactly those on purge; they need useradd and
# userdel, which the binaries' shared libraries do not bring in.
set(CPACK_DEBIAN_PACKAGE_DEPENDS passwd)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${CMAKE_CURRENT_SOURCE_DIR}/packaging/postinst"
    "${CMAKE_CURRENT_SOURCE_DIR}/packaging/postrm")
set(CPACK_STRIP_FILES ON)
include(CPack)
