# The device's root filesystem layout: both daemons in usr/sbin and the boot script
# that starts them in etc/init.d (with --prefix /usr the sysconfdir is /etc).
#   DESTDIR=rootfs cmake --install build/mips --prefix /usr
include(GNUInstallDirs)
install(TARGETS leverwatch linkstatd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(PROGRAMS ${PROJECT_SOURCE_DIR}/init/routerd
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/init.d)
