# Operating-system libraries the platform folder needs.
set(TARVOS_PLATFORM_LIBS "")
set(TARVOS_PC_PRIVATE_LIBS "")
