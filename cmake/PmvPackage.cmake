# The Debian package: `make package` (or `cmake --build build --target
# package`) writes build/pmv-host_<version>_<arch>.deb with everything the
# install rules install under /usr. scripts/check-package.sh checks it.

# The application's id (AppStream, desktop entry, icon names): the reverse
# domain name of the project.
set(PMV_APP_ID org.pmvhost.PmvHost)
# The day of this release, for the AppStream metadata and the Debian changelog.
set(PMV_RELEASE_DATE 2026-12-07)
set(PMV_RELEASE_DATE_RFC2822 "Mon, 07 Dec 2026 00:00:00 +0000")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pmv-host)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "PMV Vodazivovu")
set(CPACK_PACKAGE_CONTACT "PMV-Host developers <dev@pmvhost.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "host for the QXM300 motor and pump controller")
set(CPACK_PACKAGE_DESCRIPTION
    "PMV-Host drives and configures a QXM300 motor and pump controller over a serial
port. The operator works with a panel of 192 command slots on 8 pages; each
slot sends one command to the controller and shows its reply. Whole parameter
sets are fetched and sent in one run and kept in configuration files.

The package also holds pmv-link, which reads, sends and verifies a
controller's parameters from the command line, pmv-configcheck, which checks
a configuration file without the window, pmv-ports, which tells what each
COM port is and why it may not open, qxm-sim, a simulated controller on a
pseudo-terminal, and an example configuration.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://pmvhost.org/")
# Dependencies from the programs' shared libraries (dpkg-shlibdeps), the
# platform plugins without which Qt shows no window (only recommended by Qt),
# and the narrow face the window's layouts are drawn for.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-liberation")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
