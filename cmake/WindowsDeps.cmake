# The libraries of the Windows cross-build (included by the top-level CMakeLists.txt on Windows).
#
# libsodium and libzip: Debian has no Windows build of them; scripts/build-windows-deps builds
# them from Debian's source packages, once per build folder, into deps/<architecture>, and they are
# found through pkg-config as on Linux: the targets PkgConfig::SODIUM (GLOBAL, as
# autoupdater/CMakeLists.txt makes it on Linux) and PkgConfig::LIBZIP, with what a static libzip
# needs of Windows. zlib comes from MinGW's tree (libz-mingw-w64-dev): find_package(ZLIB) finds
# its static library.

# Static libraries only: an import library (.dll.a) would put a DLL beside the program.
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)

set(VORN_WINDOWS_DEPS_DIR ${CMAKE_BINARY_DIR}/deps/${CMAKE_SYSTEM_PROCESSOR})
execute_process(
  COMMAND ${CMAKE_SOURCE_DIR}/scripts/build-windows-deps ${CMAKE_BINARY_DIR} ${CMAKE_SYSTEM_PROCESSOR}
  RESULT_VARIABLE _vorn_deps_result)
if(NOT _vorn_deps_result EQUAL 0)
  message(FATAL_ERROR "scripts/build-windows-deps failed (${_vorn_deps_result})")
endif()
list(APPEND CMAKE_FIND_ROOT_PATH ${VORN_WINDOWS_DEPS_DIR})
set(ENV{PKG_CONFIG_LIBDIR} "${VORN_WINDOWS_DEPS_DIR}/lib/pkgconfig:$ENV{PKG_CONFIG_LIBDIR}")
pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET GLOBAL libsodium)
pkg_check_modules(LIBZIP REQUIRED libzip)
add_library(PkgConfig::LIBZIP INTERFACE IMPORTED GLOBAL)
target_include_directories(PkgConfig::LIBZIP INTERFACE ${LIBZIP_STATIC_INCLUDE_DIRS})
target_link_libraries(PkgConfig::LIBZIP INTERFACE ${LIBZIP_STATIC_LDFLAGS})

# GoogleTest: built inside the build from Debian's sources (the googletest package), with the same
# targets as find_package(GTest) gives on Linux: GTest::gtest and GTest::gtest_main.
function(vorn_windows_googletest)
  if(NOT EXISTS /usr/src/googletest/CMakeLists.txt)
    message(FATAL_ERROR "no /usr/src/googletest (scripts/install-deps installs googletest)")
  endif()
  set(BUILD_GMOCK OFF)
  set(INSTALL_GTEST OFF)
  set(gtest_force_shared_crt OFF)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # Not this project's code: its warnings are not errors here.
  target_compile_options(gtest PRIVATE -Wno-error)
  target_compile_options(gtest_main PRIVATE -Wno-error)
endfunction()
