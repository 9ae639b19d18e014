# The include graph between the folders, checked on every build (cmake -P, with KFS_SOURCE_DIR
# set): a folder may include the project headers of the folders its row names and no others.
# Rows are matched most specific first; a file's folder is the first row whose path starts it.
#
#   container/          only itself
#   drive/              the transport layer: container/ and itself, never flash/, app/, emulator/
#   flash/              container/, drive/
#   emulator/adapters/  the emulator seen through the layers' interfaces: all of those below app/
#   emulator/win32/     the emulated WNASPI32.DLL: the emulator and the ASPI interface it answers
#   emulator/           container/ and itself
#   app/console/        the terminal front end may run against the emulator
#   app/                container/, drive/, flash/, itself
#   tools/              container/, itself, and the header-only table of flash types
if(NOT KFS_SOURCE_DIR)
  message(FATAL_ERROR "check_layers.cmake: set KFS_SOURCE_DIR")
endif()

set(kfs_layer_rows
    "container/|container/"
    "drive/|container/,drive/"
    "flash/|container/,drive/,flash/"
    "emulator/adapters/|container/,drive/,flash/,emulator/"
    "emulator/win32/|emulator/,drive/win32/aspi.h"
    "emulator/|container/,emulator/"
    "app/console/|container/,drive/,flash/,emulator/,app/"
    "app/|container/,drive/,flash/,app/"
    "tools/|container/,tools/,flash/flash_type_table.h")
set(kfs_layer_folders container drive flash emulator app tools)

set(violations "")
foreach(top ${kfs_layer_folders})
  file(GLOB_RECURSE files RELATIVE ${KFS_SOURCE_DIR} ${KFS_SOURCE_DIR}/${top}/*.h
       ${KFS_SOURCE_DIR}/${top}/*.cpp)
  foreach(file ${files})
    set(allowed "")
    foreach(row ${kfs_layer_rows})
      string(REPLACE "|" ";" parts "${row}")
      list(GET parts 0 folder)
      string(FIND "${file}" "${folder}" at)
      if(at EQUAL 0)
        list(GET parts 1 allowed)
        string(REPLACE "," ";" allowed "${allowed}")
        break()
      endif()
    endforeach()
    file(STRINGS ${KFS_SOURCE_DIR}/${file} includes
         REGEX "^[ \t]*#[ \t]*include[ \t]*\"(container|drive|flash|emulator|app|tools)/")
    foreach(line ${includes})
      string(REGEX REPLACE "^[^\"]*\"([^\"]+)\".*$" "\\1" header "${line}")
      set(ok FALSE)
      foreach(prefix ${allowed})
        string(FIND "${header}" "${prefix}" at)
        if(at EQUAL 0)
          set(ok TRUE)
        endif()
      endforeach()
      if(NOT ok)
        list(APPEND violations "${file} includes ${header}")
      endif()
    endforeach()
  endforeach()
endforeach()

if(violations)
  list(JOIN violations "\n  " text)
  message(FATAL_ERROR "Include across the layers:\n  ${text}")
endif()
