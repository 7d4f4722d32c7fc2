# Warnings, sanitizers and call-site paths shared by every target of the project.
add_library(tarvos_flags INTERFACE)
target_compile_options(tarvos_flags INTERFACE -Wall -Wextra
  # Call-site tags name files relative to the repository.
  -fmacro-prefix-map=${CMAKE_SOURCE_DIR}/=)
if(TARVOS_WERROR)
  target_compile_options(tarvos_flags INTERFACE -Werror)
endif()
if(TARVOS_SANITIZE STREQUAL "address")
  target_compile_options(tarvos_flags INTERFACE -fsanitize=address,undefined -fno-sanitize-recover=all
    -fno-omit-frame-pointer)
  target_link_options(tarvos_flags INTERFACE -fsanitize=address,undefined)
elseif(TARVOS_SANITIZE STREQUAL "thread")
  target_compile_options(tarvos_flags INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(tarvos_flags INTERFACE -fsanitize=thread)
elseif(NOT TARVOS_SANITIZE STREQUAL "")
  message(FATAL_ERROR "TARVOS_SANITIZE must be empty, address or thread")
endif()

# Fuzzing: the library is built with the fuzzer's coverage instrumentation; only the fuzz programs
# link the fuzzer itself (fuzz/CMakeLists.txt).
if(TARVOS_BUILD_FUZZERS)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "TARVOS_BUILD_FUZZERS needs clang (configure with CMAKE_CXX_COMPILER=clang++)")
  endif()
  target_compile_options(tarvos_flags INTERFACE -fsanitize=fuzzer-no-link)
endif()
