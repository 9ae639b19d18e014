# Warnings and sanitizers for the project's own targets only; third-party code is built without them.
add_library(kfs_options INTERFACE)
target_compile_options(kfs_options INTERFACE -Wall -Wextra -Werror)
if(KFS_SANITIZE)
  target_compile_options(kfs_options INTERFACE -fsanitize=address,undefined -fno-sanitize-recover=all
                                               -fno-omit-frame-pointer)
  target_link_options(kfs_options INTERFACE -fsanitize=address,undefined)
endif()
if(WIN32)
  # One self-contained .exe: no libstdc++/libgcc/winpthread DLLs to ship next to it.
  target_link_options(kfs_options INTERFACE -static -static-libgcc -static-libstdc++)
  # Sections start on 4 KB file boundaries, so that the loader can map them page by page; a
  # section at any other file offset is read in whole when the program starts, which for the
  # megabytes of tagged buffers in kfsflash.exe is the larger part of its load time.
  target_link_options(kfs_options INTERFACE -Wl,--file-alignment=0x1000)
  # The loader also reads every section it cannot map, the debugging information of the static
  # runtime included: release images go without it.
  target_link_options(kfs_options INTERFACE $<$<CONFIG:Release>:-s>)
endif()

# kfs_add_library(NAME DIR [DEPS ...]): a layer library made of every .cpp in DIR (not recursive,
# so platform sub-folders such as win32/ are added explicitly by the layer).
function(kfs_add_library name)
  cmake_parse_arguments(ARG "" "" "DEPS;SOURCES" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC kfs_options ${ARG_DEPS})
endfunction()
if(KFS_FUZZ)
  # Coverage instrumentation for libFuzzer in every project library; the targets add the driver.
  target_compile_options(kfs_options INTERFACE -fsanitize=fuzzer-no-link)
endif()
