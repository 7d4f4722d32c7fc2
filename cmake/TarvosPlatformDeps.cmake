# Operating-system libraries the platform folder needs.
set(TARVOS_PLATFORM_LIBS "")
set(TARVOS_PC_PRIVATE_LIBS "")
if(NOT WIN32)
  # The Linux I/O engine runs on io_uring (Debian: liburing-dev), found through pkg-config.
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(TARVOS_LIBURING REQUIRED IMPORTED_TARGET liburing)
  set(TARVOS_PLATFORM_LIBS PkgConfig::TARVOS_LIBURING)
  list(JOIN TARVOS_LIBURING_LDFLAGS " " TARVOS_PC_PRIVATE_LIBS)
endif()
