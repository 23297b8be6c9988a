# Run by CPack in its staging folder before packing: the package installs under /usr, but
# the options of qip-exporter's service belong in /etc/default.
file(GLOB staged LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/etc")
if(NOT staged)
  message(FATAL_ERROR "no usr/etc in ${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
file(RENAME "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/etc" "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/etc")
