# The device's root filesystem layout: both daemons in usr/sbin and the boot script that
# starts them in etc/init.d, which stays at /etc whatever the prefix.
#   DESTDIR=rootfs cmake --install build/mips --prefix /usr
include(GNUInstallDirs)
install(TARGETS leverwatch linkstatd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(PROGRAMS ${PROJECT_SOURCE_DIR}/init/routerd DESTINATION /etc/init.d)
