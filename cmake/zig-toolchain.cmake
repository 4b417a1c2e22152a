# Builds with zig's bundled clang against an old glibc and zig's own libc++ (linked statically),
# so that the extension runs on every Linux with at least that glibc, whatever this machine has.
#
# Inputs, as -D definitions or environment variables of the same name:
#   QELT_ZIG         the zig executable (from the `ziglang` PyPI package; default: `zig` on PATH)
#   QELT_ZIG_TARGET  the target triple, with its glibc version on Linux, e.g.
#                    aarch64-linux-gnu.2.28 or x86_64-windows-gnu (MinGW-w64 on the UCRT)
# The CPU model is always the architecture's baseline, never this machine's: code outside the
# run-time-dispatched kernels must run on every processor of the architecture.
#
# CMake calls the compiler as one executable, so the toolchain writes small wrapper scripts (zig
# subcommand, target, CPU model baked in) into the build tree and names them as the tools.
foreach(var QELT_ZIG QELT_ZIG_TARGET)
  if(NOT ${var} AND DEFINED ENV{${var}})
    set(${var} "$ENV{${var}}" CACHE STRING "zig toolchain input" FORCE)
  endif()
endforeach()
if(NOT QELT_ZIG)
  find_program(QELT_ZIG zig REQUIRED)
endif()
if(NOT QELT_ZIG_TARGET)
  message(FATAL_ERROR "zig toolchain: set QELT_ZIG_TARGET, e.g. x86_64-linux-gnu.2.28")
endif()
# try_compile projects read this file again; hand them the same inputs.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QELT_ZIG QELT_ZIG_TARGET)

string(REGEX MATCH "^[^-]+" QELT_ZIG_ARCH "${QELT_ZIG_TARGET}")
if(QELT_ZIG_ARCH STREQUAL "x86_64")
  set(QELT_ZIG_CPU x86_64)  # the x86-64 baseline: SSE2, no later extension
elseif(QELT_ZIG_ARCH STREQUAL "aarch64")
  set(QELT_ZIG_CPU generic)  # armv8-a
else()
  message(FATAL_ERROR "zig toolchain: no baseline CPU model known for ${QELT_ZIG_ARCH}")
endif()

string(REGEX MATCH "^[^-]+-([^-]+)" _qelt_zig_os "${QELT_ZIG_TARGET}")
if(CMAKE_MATCH_1 STREQUAL "linux")
  set(CMAKE_SYSTEM_NAME Linux)
elseif(CMAKE_MATCH_1 STREQUAL "windows")
  set(CMAKE_SYSTEM_NAME Windows)
else()
  message(FATAL_ERROR "zig toolchain: no CMake system name known for ${QELT_ZIG_TARGET}")
endif()
set(CMAKE_SYSTEM_PROCESSOR ${QELT_ZIG_ARCH})

set(_qelt_wrappers "${CMAKE_BINARY_DIR}/zig-${QELT_ZIG_TARGET}")
file(MAKE_DIRECTORY "${_qelt_wrappers}")
foreach(tool cc c++ ar ranlib)
  if(tool MATCHES "^c")
    set(_qelt_args "${tool} -target ${QELT_ZIG_TARGET} -mcpu=${QELT_ZIG_CPU}")
  else()
    set(_qelt_args "${tool}")
  endif()
  file(WRITE "${_qelt_wrappers}/${tool}" "#!/bin/sh\nexec \"${QELT_ZIG}\" ${_qelt_args} \"$@\"\n")
  file(CHMOD "${_qelt_wrappers}/${tool}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
       GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_C_COMPILER "${_qelt_wrappers}/cc")
set(CMAKE_CXX_COMPILER "${_qelt_wrappers}/c++")
set(CMAKE_AR "${_qelt_wrappers}/ar" CACHE FILEPATH "zig's archiver" FORCE)
set(CMAKE_RANLIB "${_qelt_wrappers}/ranlib" CACHE FILEPATH "zig's ranlib" FORCE)

# Libraries and headers for the target come from zig alone, never from this machine's /usr.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
