# Helpers shared by every folder: compiler options, IDL and resources, tests under Wine.

# The architecture comes from the toolchain file: one build tree per architecture, each with the
# Wine loader, prefix kind, widl mode and stdole2.tlb of its own. Nothing here goes through
# Debian's wine wrappers, which pick the 32-bit loader whenever it is installed.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(KV_ARCH x64)
  set(KV_WINEARCH win64)
  set(KV_WIDL_MODE --win64)
  set(KV_WIDL_DEFAULT x86_64-w64-mingw32-widl)
  set(KV_STDOLE_DEFAULT /usr/lib/x86_64-linux-gnu/wine/x86_64-windows)
  set(KV_WINE_LOADER_DEFAULT /usr/lib/wine/wine64)
else()
  set(KV_ARCH x86)
  set(KV_WINEARCH win32)
  set(KV_WIDL_MODE --win32)
  set(KV_WIDL_DEFAULT i686-w64-mingw32-widl)
  set(KV_STDOLE_DEFAULT /usr/lib/i386-linux-gnu/wine/i386-windows)
  set(KV_WINE_LOADER_DEFAULT /usr/lib/wine/wine)
endif()
set(KV_WINE_IDL_DIR /usr/include/wine/wine/windows CACHE PATH "Wine's .idl files")
set(KV_STDOLE_DIR ${KV_STDOLE_DEFAULT} CACHE PATH "Folder of stdole2.tlb")
set(KV_WIDL ${KV_WIDL_DEFAULT} CACHE STRING "widl of the target architecture")
set(KV_WINE_LOADER ${KV_WINE_LOADER_DEFAULT} CACHE FILEPATH "Wine loader of the target architecture")
set(KV_TEST_PREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix the tests run in")

# Our own code: warnings on and treated as errors.
function(kv_options target)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX,C>:-Wall -Wextra -Werror -Wno-missing-field-initializers>)
  target_compile_definitions(${target} PRIVATE
    _WIN32_WINNT=0x0601 WINVER=0x0601 _WIN32_IE=0x0600 NOMINMAX STRICT)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
endfunction()

# kv_idl(<name> <file.idl>): runs widl for the target architecture and makes a static library <name> holding the
# GUID definitions, whose users see the generated header. The type library is
# ${CMAKE_CURRENT_BINARY_DIR}/<stem>.tlb; resource scripts find it through kv_resources.
function(kv_idl name idl)
  get_filename_component(stem ${idl} NAME_WE)
  get_filename_component(src ${idl} ABSOLUTE)
  set(out ${CMAKE_CURRENT_BINARY_DIR})
  add_custom_command(
    OUTPUT ${out}/${stem}.h ${out}/${stem}_i.c ${out}/${stem}.tlb
    COMMAND ${KV_WIDL} ${KV_WIDL_MODE} -I${KV_WINE_IDL_DIR} -I${CMAKE_CURRENT_SOURCE_DIR} -I${CMAKE_SOURCE_DIR}/idl
            -L${KV_STDOLE_DIR} -h -H ${out}/${stem}.h -t -T ${out}/${stem}.tlb
            -u -U ${out}/${stem}_i.c ${src}
    COMMAND ${CMAKE_COMMAND} -DIDL=${src} -DTLB=${out}/${stem}.tlb -P ${CMAKE_SOURCE_DIR}/cmake/check_tlb.cmake
    DEPENDS ${src} ${CMAKE_SOURCE_DIR}/cmake/check_tlb.cmake ${ARGN}
    COMMENT "widl ${stem}.idl"
    VERBATIM)
  add_library(${name} STATIC ${out}/${stem}_i.c ${out}/${stem}.h)
  target_include_directories(${name} PUBLIC ${out})
  set_target_properties(${name} PROPERTIES KV_TLB ${out}/${stem}.tlb KV_IDL_DIR ${out})
endfunction()

# kv_resources(<target> <file.rc> [IDL <idl-target>...] [DEPENDS <file>...]): compiles a resource
# script that may name type libraries produced by kv_idl and other files it embeds.
function(kv_resources target rc)
  cmake_parse_arguments(KV "" "" "IDL;DEPENDS" ${ARGN})
  get_filename_component(rcabs ${rc} ABSOLUTE)
  set(deps)
  foreach(f ${KV_DEPENDS})
    get_filename_component(fabs ${f} ABSOLUTE)
    list(APPEND deps ${fabs})
  endforeach()
  foreach(idl ${KV_IDL})
    get_target_property(tlb ${idl} KV_TLB)
    get_target_property(dir ${idl} KV_IDL_DIR)
    list(APPEND deps ${tlb})
    target_include_directories(${target} PRIVATE ${dir})
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:RC>:--include-dir=${dir}>)
    add_dependencies(${target} ${idl})
  endforeach()
  target_sources(${target} PRIVATE ${rcabs})
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:RC>:--include-dir=${CMAKE_CURRENT_SOURCE_DIR} --include-dir=${CMAKE_SOURCE_DIR}>)
  if(deps)
    set_source_files_properties(${rcabs} TARGET_DIRECTORY ${target} PROPERTIES OBJECT_DEPENDS "${deps}")
  endif()
endfunction()

# A COM server DLL with undecorated exports from a .def file; registered in the test prefix, and
# in the demo prefix unless TEST_ONLY (scaffolding of the tests, not part of the kit).
function(kv_com_server target)
  cmake_parse_arguments(KV "NO_REGISTER;TEST_ONLY" "DEF" "" ${ARGN})
  kv_options(${target})
  set_target_properties(${target} PROPERTIES PREFIX "")
  target_link_options(${target} PRIVATE -Wl,--enable-stdcall-fixup)
  if(KV_DEF)
    get_filename_component(def ${KV_DEF} ABSOLUTE)
    target_sources(${target} PRIVATE ${def})
  endif()
  if(KV_TEST_ONLY)
    set_property(GLOBAL APPEND PROPERTY KV_TEST_DLLS $<TARGET_FILE:${target}>)
  elseif(NOT KV_NO_REGISTER)
    set_property(GLOBAL APPEND PROPERTY KV_REGISTERED_DLLS $<TARGET_FILE:${target}>)
  endif()
endfunction()

# Tests run under Wine, in one prefix under the build tree that a fixture prepares.
function(kv_setup_wine_tests)
  set(runner ${CMAKE_BINARY_DIR}/kvwine)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/kvwine.in ${runner} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/kvprefix.in ${CMAKE_BINARY_DIR}/kvprefix @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${runner} PARENT_SCOPE)
  set(KV_WINE_RUNNER ${runner} CACHE INTERNAL "")
  set(KV_PREFIX_TOOL ${CMAKE_BINARY_DIR}/kvprefix CACHE INTERNAL "")
endfunction()

function(kv_add_googletest)
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endfunction()

# kv_test(<target> <sources...> [LABELS l...] [TIMEOUT s]): one test executable, one CTest
# entry, run under Wine in the shared test prefix.
function(kv_test target)
  cmake_parse_arguments(KV "" "TIMEOUT" "LABELS;LIBS" ${ARGN})
  add_executable(${target} ${KV_UNPARSED_ARGUMENTS})
  kv_options(${target})
  target_link_libraries(${target} PRIVATE kv_testsupport gmock gtest ${KV_LIBS})
  add_test(NAME ${target} COMMAND ${target})
  if(NOT KV_TIMEOUT)
    set(KV_TIMEOUT 120)
  endif()
  set_tests_properties(${target} PROPERTIES FIXTURES_REQUIRED wineprefix TIMEOUT ${KV_TIMEOUT})
  if(KV_LABELS)
    set_tests_properties(${target} PROPERTIES LABELS "${KV_LABELS}")
  endif()
endfunction()

# The prefix fixture: made once, the kit's servers registered at each run, one wineserver kept.
function(kv_finish_wine_tests)
  get_property(dlls GLOBAL PROPERTY KV_REGISTERED_DLLS)
  get_property(test_dlls GLOBAL PROPERTY KV_TEST_DLLS)
  string(REPLACE ";" "\n" lines "${dlls}")
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/registered-dlls.txt CONTENT "${lines}\n")
  string(REPLACE ";" "\n" lines "${dlls};${test_dlls}")
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/registered-test-dlls.txt CONTENT "${lines}\n")
  add_test(NAME wineprefix_setup
           COMMAND ${KV_PREFIX_TOOL} setup ${KV_TEST_PREFIX}
                   ${CMAKE_BINARY_DIR}/registered-test-dlls.txt)
  add_test(NAME wineprefix_stop COMMAND ${KV_PREFIX_TOOL} stop ${KV_TEST_PREFIX})
  set_tests_properties(wineprefix_setup PROPERTIES FIXTURES_SETUP wineprefix TIMEOUT 300)
  set_tests_properties(wineprefix_stop PROPERTIES FIXTURES_CLEANUP wineprefix TIMEOUT 60)
endfunction()

# --- Prefixes of their own for tests that own prefix-wide names or change system files ---

# Tests that start the client stand-in or the Netscape stand-in own names that are global to a
# prefix (the window "Korvane Agent", the DDE service "netscape", the client's App Paths entry).
# They run in a second prefix, one at a time, so that they never close a client another test
# started.
set(KV_CLIENT_PREFIX ${CMAKE_BINARY_DIR}/wineprefix-client CACHE PATH "Wine prefix of the client-stopping tests")

function(kv_use_client_prefix test)
  get_property(made GLOBAL PROPERTY KV_CLIENT_PREFIX_FIXTURE)
  if(NOT made)
    add_test(NAME clientprefix_setup COMMAND ${KV_PREFIX_TOOL} setup ${KV_CLIENT_PREFIX})
    add_test(NAME clientprefix_stop COMMAND ${KV_PREFIX_TOOL} stop ${KV_CLIENT_PREFIX})
    set_tests_properties(clientprefix_setup PROPERTIES FIXTURES_SETUP clientprefix TIMEOUT 300)
    set_tests_properties(clientprefix_stop PROPERTIES FIXTURES_CLEANUP clientprefix TIMEOUT 60)
    set_property(GLOBAL PROPERTY KV_CLIENT_PREFIX_FIXTURE ON)
  endif()
  set_tests_properties(${test} PROPERTIES FIXTURES_REQUIRED clientprefix RESOURCE_LOCK clientprefix
                                          ENVIRONMENT KV_WINEPREFIX=${KV_CLIENT_PREFIX})
endfunction()

# kv_test_in_throwaway_prefix(<target> <sources...> [LIBS l...] [TIMEOUT s]): a test executable
# that may replace files in the system directory. Each run makes a fresh prefix, runs the test
# in it and deletes it; the shared test prefix is never touched.
#
# kv_test_in_sandbox(<target> <sources...> [LIBS l...] [FILES f...] [DLLS t...] [FIXTURE script]
# [TIMEOUT s]): the
# same for a test that deletes files or takes hostile paths. The test, the FILES (paths or
# generator expressions) and the DLLs of the DLLS targets are copied into C:\kvtest, the DLLs are
# registered there, and the prefix's Z: drive (the host's /) is removed before the run, which
# starts in C:\kvtest (cmake/kvthrowaway.sh --sandbox). A FIXTURE script is run with the prefix as
# its argument before the prefix is checked: it makes what Windows code cannot (host-side links).
function(kv_test_in_throwaway_prefix target)
  cmake_parse_arguments(KV "SANDBOX" "TIMEOUT;FIXTURE" "LIBS;FILES;DLLS" ${ARGN})
  add_executable(${target} ${KV_UNPARSED_ARGUMENTS})
  kv_options(${target})
  target_link_libraries(${target} PRIVATE kv_testsupport gmock gtest ${KV_LIBS})
  if(NOT KV_TIMEOUT)
    set(KV_TIMEOUT 300)
  endif()
  set(isolation)
  if(KV_SANDBOX)
    set(dlls)
    foreach(dll ${KV_DLLS})
      list(APPEND dlls $<TARGET_FILE:${dll}>)
      add_dependencies(${target} ${dll})
    endforeach()
    string(REPLACE ";" "\n" lines "${KV_FILES}")
    file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/${target}-files.txt CONTENT "${lines}\n")
    string(REPLACE ";" "\n" lines "${dlls}")
    file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/${target}-dlls.txt CONTENT "${lines}\n")
    set(isolation --sandbox ${CMAKE_BINARY_DIR}/${target}-files.txt ${CMAKE_BINARY_DIR}/${target}-dlls.txt)
    if(KV_FIXTURE)
      list(PREPEND isolation --fixture ${KV_FIXTURE})
    endif()
  endif()
  add_test(NAME ${target}
           COMMAND ${CMAKE_SOURCE_DIR}/cmake/kvthrowaway.sh ${isolation} ${CMAKE_BINARY_DIR}/throwaway-${target}
                   ${KV_WINE_RUNNER} $<TARGET_FILE:${target}>)
  set_tests_properties(${target} PROPERTIES TIMEOUT ${KV_TIMEOUT})
endfunction()

function(kv_test_in_sandbox target)
  kv_test_in_throwaway_prefix(${target} ${ARGN} SANDBOX)
endfunction()


# kv_extra_prefix(<fixture> <prefix-dir> PROGRAMS <targets>...): a second test prefix with its own
# fixture, in which the given programs are registered as local servers (and no DLL is). Tests
# join it with kv_test_in_prefix; it shares nothing with the main prefix, so a class can be
# served there by a local server alone.
function(kv_extra_prefix fixture prefix)
  cmake_parse_arguments(KV "" "" "PROGRAMS" ${ARGN})
  set(programs)
  foreach(p ${KV_PROGRAMS})
    list(APPEND programs $<TARGET_FILE:${p}>)
  endforeach()
  add_test(NAME ${fixture}_setup
           COMMAND ${KV_PREFIX_TOOL} setup ${prefix} "" ${programs})
  add_test(NAME ${fixture}_stop COMMAND ${KV_PREFIX_TOOL} stop ${prefix})
  set_tests_properties(${fixture}_setup PROPERTIES FIXTURES_SETUP ${fixture} TIMEOUT 300)
  set_tests_properties(${fixture}_stop PROPERTIES FIXTURES_CLEANUP ${fixture} TIMEOUT 60)
endfunction()

# kv_test_in_prefix(<test> <fixture> <prefix-dir>): runs a kv_test in that prefix instead.
function(kv_test_in_prefix test fixture prefix)
  set_tests_properties(${test} PROPERTIES FIXTURES_REQUIRED ${fixture} ENVIRONMENT "KV_WINEPREFIX=${prefix}")
endfunction()
