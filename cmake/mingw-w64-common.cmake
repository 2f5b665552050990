# What both MinGW-w64 toolchain files share. They set VORN_MINGW_TRIPLET, CMAKE_SYSTEM_PROCESSOR
# and VORN_WINE_LOADER (the wine that runs this architecture's programs) before including it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${VORN_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VORN_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VORN_MINGW_TRIPLET}-windres)

# Headers, libraries and packages only from the MinGW tree (the build adds the folder of the
# libraries it builds itself); programs are the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/${VORN_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config likewise: never a .pc file of the build machine.
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_LIBDIR} /usr/${VORN_MINGW_TRIPLET}/lib/pkgconfig)

# Everything links statically: no MinGW runtime DLL (libgcc, libstdc++, winpthread) beside the
# program, only the system's DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -static)

# Tests run under wine, in a prefix of the build folder's own (scripts/wine-run), when this
# architecture's wine works here. Without it the tests are built but not registered.
get_filename_component(_vorn_source_root ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
execute_process(COMMAND ${VORN_WINE_LOADER} --version RESULT_VARIABLE _vorn_wine_result
                OUTPUT_QUIET ERROR_QUIET)
if(_vorn_wine_result STREQUAL "0")
  set(CMAKE_CROSSCOMPILING_EMULATOR
      ${_vorn_source_root}/scripts/wine-run ${VORN_WINE_LOADER} ${CMAKE_BINARY_DIR}/wine-prefix)
else()
  unset(CMAKE_CROSSCOMPILING_EMULATOR)
endif()
