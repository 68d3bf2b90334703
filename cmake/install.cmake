# The device's root filesystem layout: both daemons in usr/sbin and the boot script that
# starts them in etc/init.d, which stays at /etc whatever the prefix.
#   DESTDIR=rootfs cmake --install build/mips --prefix /usr
# The linkstat client is an optional component, staged on its own into usr/bin:
#   DESTDIR=rootfs cmake --install build/mips --prefix /usr --component linkstat
include(GNUInstallDirs)
install(TARGETS leverwatch linkstatd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS linkstat RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT linkstat
        EXCLUDE_FROM_ALL)

# The boot script looks for the daemons where this install puts them: under the prefix
# given when installing (--prefix), which may differ from the one configured.
set(routerd_in ${PROJECT_SOURCE_DIR}/init/routerd)
set(routerd_out ${PROJECT_BINARY_DIR}/routerd)
string(CONFIGURE [[
  set(sbindir "@CMAKE_INSTALL_SBINDIR@")
  if(NOT IS_ABSOLUTE "${sbindir}")
    set(sbindir "${CMAKE_INSTALL_PREFIX}/${sbindir}")
  endif()
  file(READ "@routerd_in@" script)
  string(REPLACE "\nSBIN=/usr/sbin\n" "\nSBIN=${sbindir}\n" script "${script}")
  file(WRITE "@routerd_out@" "${script}")
]] routerd_code @ONLY)
install(CODE "${routerd_code}")
install(PROGRAMS ${routerd_out} DESTINATION /etc/init.d)
