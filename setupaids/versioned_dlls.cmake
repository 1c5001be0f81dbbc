# Small DLLs whose only content is a version resource, for the browser and automation-runtime
# version checks. kv_versioned_dll(<name> <a,b,c,d> <FileVersion text> [<language+codepage>] [PADDED])
set(KV_VERSIONED_DLLS)
# Written only when changed, so that a rerun with no change rebuilds nothing.
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/versioned/empty.c CONTENT "int kv_versioned_dll_marker = 1;\n" @ONLY)

function(kv_versioned_dll name numbers text)
  cmake_parse_arguments(V "PADDED" "BLOCK" "" ${ARGN})
  if(NOT V_BLOCK)
    set(V_BLOCK 040904E4)
  endif()
  set(pad "")
  if(V_PADDED)
    # Enough text to take the resource well past 2 KB.
    string(REPEAT "Padding text of a large version resource. " 5 line)
    foreach(i RANGE 1 12)
      string(APPEND pad "            VALUE \"Comment${i}\", \"${line}\"\n")
    endforeach()
  endif()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/versioned/${name}.rc)
  file(CONFIGURE OUTPUT ${rc} @ONLY CONTENT "#include <windows.h>
1 VERSIONINFO
FILEVERSION ${numbers}
PRODUCTVERSION ${numbers}
FILEOS VOS__WINDOWS32
FILETYPE VFT_DLL
BEGIN
    BLOCK \"StringFileInfo\"
    BEGIN
        BLOCK \"${V_BLOCK}\"
        BEGIN
            VALUE \"FileDescription\", \"Korvane kit version probe\"
            VALUE \"FileVersion\", \"${text}\"
${pad}        END
    END
END
")
  add_library(${name} SHARED ${CMAKE_CURRENT_BINARY_DIR}/versioned/empty.c ${rc})
  set_target_properties(${name} PROPERTIES PREFIX "" LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/versioned
                                           RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/versioned)
  set(KV_VERSIONED_DLLS ${KV_VERSIONED_DLLS} ${name} PARENT_SCOPE)
endfunction()

kv_versioned_dll(ver_4_70_1215_0 "4,70,1215,0" "4.70.1215.0")
kv_versioned_dll(ver_4_70_1155_0 "4,70,1155,0" "4.70.1155.0")
kv_versioned_dll(ver_4_70_0_1215 "4,70,0,1215" "4.70.0.1215")
kv_versioned_dll(ver_4_71_0_0 "4,71,0,0" "4.71.0.0")
kv_versioned_dll(ver_5_0_0_0 "5,0,0,0" "5.0.0.0")
kv_versioned_dll(ver_3_2_0_0 "3,2,0,0" "3.2.0.0")
kv_versioned_dll(ver_5_0_padded "5,0,2900,1" "5.0.2900.1" PADDED)
kv_versioned_dll(ver_2_20_4118 "2,20,4118,1" "2.20.4118")
kv_versioned_dll(ver_2_10 "2,10,0,0" "2.10")
kv_versioned_dll(ver_2_1 "2,1,0,0" "2.1")
kv_versioned_dll(ver_3_0_us_unicode "3,0,0,0" "1.0" BLOCK 040904B0)

add_library(ver_none SHARED ${CMAKE_CURRENT_BINARY_DIR}/versioned/empty.c)
set_target_properties(ver_none PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/versioned)
list(APPEND KV_VERSIONED_DLLS ver_none)
