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
