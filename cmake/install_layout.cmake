# Installation as Linux tools are laid out:
#   bin/tessimar-exec                  relative link to the executable
#   libexec/tessimar-exec/             the executable and blocknet.so, which it
#                                      finds beside its own resolved path
#   share/man/man1/tessimar-exec.1.gz  the manual page (when scdoc is present)
#   share/doc/tessimar-exec/           README and the JSON Schema of the output,
#                                      examples/ (the reward script and its input)
#   lib/systemd/system/                the unit of the HTTP service (not enabled)
# and the Debian package of the same files (cpack -G DEB).
include(GNUInstallDirs)

set(TESSIMAR_LIBEXEC_DIR "${CMAKE_INSTALL_LIBEXECDIR}/tessimar-exec")
set(TESSIMAR_DOC_DIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/tessimar-exec")

install(TARGETS tessimar-exec RUNTIME DESTINATION "${TESSIMAR_LIBEXEC_DIR}")
install(TARGETS blocknet LIBRARY DESTINATION "${TESSIMAR_LIBEXEC_DIR}")

# The link is made in the build tree and installed as a link.
file(RELATIVE_PATH tessimar_link_target "/${CMAKE_INSTALL_BINDIR}"
     "/${TESSIMAR_LIBEXEC_DIR}/tessimar-exec")
set(tessimar_link "${CMAKE_BINARY_DIR}/install-link/tessimar-exec")
file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/install-link")
file(CREATE_LINK "${tessimar_link_target}" "${tessimar_link}" SYMBOLIC)
install(FILES "${tessimar_link}" DESTINATION "${CMAKE_INSTALL_BINDIR}")

install(FILES README.md docs/tessimar-exec.schema.json DESTINATION "${TESSIMAR_DOC_DIR}")
install(FILES packaging/tessimar-exec.service DESTINATION lib/systemd/system)
install(FILES examples/reward.py examples/reward_sample.jsonl DESTINATION "${TESSIMAR_DOC_DIR}/examples")

# The manual page: scdoc source in docs/, roff made at build time.
find_program(TESSIMAR_SCDOC scdoc)
find_program(TESSIMAR_GZIP gzip)
if(TESSIMAR_SCDOC AND TESSIMAR_GZIP)
  set(man_source "${PROJECT_SOURCE_DIR}/docs/tessimar-exec.1.scd")
  set(man_page "${CMAKE_BINARY_DIR}/tessimar-exec.1")
  add_custom_command(
    OUTPUT "${man_page}" "${man_page}.gz"
    COMMAND sh -c "\"$0\" < \"$1\" > \"$2\" && \"$3\" -9 -n -c \"$2\" > \"$2.gz\""
            "${TESSIMAR_SCDOC}" "${man_source}" "${man_page}" "${TESSIMAR_GZIP}"
    DEPENDS "${man_source}"
    COMMENT "Making the manual page"
    VERBATIM)
  add_custom_target(man_page ALL DEPENDS "${man_page}" "${man_page}.gz")
  install(FILES "${man_page}.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
else()
  message(STATUS "scdoc not found: no manual page (scripts/setup.sh installs it)")
endif()
