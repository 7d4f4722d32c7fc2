# Operating-system libraries the platform folder needs.
set(TARVOS_PLATFORM_LIBS "")
# tarvos.pc names the private dependency by its pkg-config module (Requires.private), as Debian does.
set(TARVOS_PC_REQUIRES_PRIVATE "")
if(NOT WIN32)
  # The Linux I/O engine runs on io_uring (Debian: liburing-dev), found through pkg-config.
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(TARVOS_LIBURING REQUIRED IMPORTED_TARGET liburing)
  set(TARVOS_PLATFORM_LIBS PkgConfig::TARVOS_LIBURING)
  set(TARVOS_PC_REQUIRES_PRIVATE liburing)
endif()
