# Read by cpack in a cross build's tree: dpkg-shlibdeps, which cpack runs, looks the target's libraries up
# in the target root's package database and reads them as the target architecture's.
set(ENV{DPKG_ADMINDIR} "${CPACK_QUILLON_DPKG_DIR}")
set(ENV{DEB_HOST_ARCH} "${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}")
