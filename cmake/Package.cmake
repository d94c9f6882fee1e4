# The Debian package: `cpack` in the build folder (scripts/package-check does it in CI). It
# holds what `cmake --install` installs, under /usr: zelvanor and zelvanor-sim, the simulator's
# modem library and USB stand-in, the descriptions and agent files, the manual pages and the
# completion file. The programs find their folders relative to their own (src/base/
# install_dirs.h), so the package needs no build of its own for the /usr prefix.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zelvanor)
set(CPACK_PACKAGE_CONTACT "zelvanor developers <zelvanor@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "memory loader for HC12, HCS12 and HCS12X microcontrollers, with a virtual target")
set(CPACK_PACKAGE_DESCRIPTION
    "zelvanor erases, reads, writes and verifies the FLASH and EEPROM of Freescale HC12, HCS12
and HCS12X microcontrollers through the serial monitor, the LRAE boot loader, BDM12 POD and
PODEX pods and the Turbo BDM Light. zelvanor-sim is a virtual target that stands in for a
board behind each of these interfaces.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Only -i tbdml loads libusb 0.1, at run time; every other interface runs without it.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libusb-0.1-4")
include(CPack)
