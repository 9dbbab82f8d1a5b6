# The Debian package: `cpack -G DEB` in the build tree (scripts/package does it with the
# distribution's hardening flags and runs lintian on the result).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME discflash)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "The discflash project <discflash@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware download for HALVERON optical drives")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "discflash downloads firmware into HALVERON CD-RW, DVD-ROM and DVD-RAM drives\n"
  "over SCSI. It runs under one program name per drive family, as a dialog or in\n"
  "batch mode, checks an image against its family's rules before anything is sent,\n"
  "reads the image back and lets the drive store it. Emulated drives, a JSON Lines\n"
  "trace and discflash-mkimage (sample images) let it be tried without hardware.")
string(REPLACE ";" "" CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The host changes of a user who is not root go through pkexec.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS pkexec)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
