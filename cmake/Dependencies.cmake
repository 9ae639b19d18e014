# zlib, minizip, nlohmann JSON and GoogleTest for the native and the mingw build.
if(NOT WIN32)
  find_package(ZLIB REQUIRED)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(MINIZIP REQUIRED IMPORTED_TARGET minizip)
  add_library(kfs_minizip INTERFACE)
  target_link_libraries(kfs_minizip INTERFACE PkgConfig::MINIZIP ZLIB::ZLIB)
  find_package(nlohmann_json 3 REQUIRED)
  add_library(kfs_json INTERFACE)
  target_link_libraries(kfs_json INTERFACE nlohmann_json::nlohmann_json)
  if(KFS_TESTS AND NOT KFS_FUZZ)
    find_package(GTest REQUIRED)
  endif()
else()
  # mingw: zlib from libz-mingw-w64-dev (in the cross sysroot, found through the toolchain file).
  set(ZLIB_USE_STATIC_LIBS ON)  # keep the .exe free of zlib1.dll
  find_package(ZLIB REQUIRED)
  # minizip is compiled from Debian's minizip source package, unpacked by scripts/setup-deps.sh.
  set(KFS_MINIZIP_SOURCE_DIR "${PROJECT_SOURCE_DIR}/build/deps/minizip" CACHE PATH
      "Unpacked Debian minizip source package")
  if(NOT EXISTS "${KFS_MINIZIP_SOURCE_DIR}/unzip.c")
    message(FATAL_ERROR "minizip source not found in ${KFS_MINIZIP_SOURCE_DIR}: run scripts/setup-deps.sh")
  endif()
  add_library(kfs_minizip_win STATIC ${KFS_MINIZIP_SOURCE_DIR}/unzip.c ${KFS_MINIZIP_SOURCE_DIR}/ioapi.c
                                     ${KFS_MINIZIP_SOURCE_DIR}/iowin32.c)
  target_include_directories(kfs_minizip_win SYSTEM PUBLIC ${KFS_MINIZIP_SOURCE_DIR})
  target_compile_definitions(kfs_minizip_win PRIVATE NOCRYPT NOUNCRYPT)
  target_link_libraries(kfs_minizip_win PUBLIC ZLIB::ZLIB)
  add_library(kfs_minizip INTERFACE)
  target_link_libraries(kfs_minizip INTERFACE kfs_minizip_win)
  # The JSON library is header-only: expose only its own folder, never the host's /usr/include.
  set(_json_dir ${CMAKE_BINARY_DIR}/json-include)
  file(MAKE_DIRECTORY ${_json_dir})
  file(CREATE_LINK /usr/include/nlohmann ${_json_dir}/nlohmann SYMBOLIC)
  add_library(kfs_json INTERFACE)
  target_include_directories(kfs_json SYSTEM INTERFACE ${_json_dir})
  if(KFS_TESTS)
    # GoogleTest from the sources that Debian's googletest package installs.
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  endif()
endif()
