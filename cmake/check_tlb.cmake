# cmake -DIDL=<file.idl> -DTLB=<file.tlb> -P check_tlb.cmake
# Fails when the library's own uuid(...) is not stored intact in the type library. widl has
# been seen to damage it for some layouts of a library block; the build must not go on with a
# type library that registers under a wrong GUID.
file(READ ${IDL} idl)
file(READ ${TLB} tlb HEX)
string(REGEX MATCHALL "uuid\\([ \t]*[0-9A-Fa-f-]+[ \t]*\\)[^]]*\\][ \t\r\n]*library" uuids "${idl}")
foreach(u ${uuids})
  string(REGEX REPLACE "uuid\\([ \t]*([0-9A-Fa-f-]+)[ \t]*\\).*" "\\1" g "${u}")
  string(TOLOWER "${g}" g)
  string(REPLACE "-" ";" parts "${g}")
  list(GET parts 0 p0)
  list(GET parts 1 p1)
  list(GET parts 2 p2)
  list(GET parts 3 p3)
  list(GET parts 4 p4)
  # Data1..Data3 are stored little-endian, the last eight bytes as written.
  set(le "")
  foreach(part p0 p1 p2)
    set(v "${${part}}")
    string(LENGTH "${v}" n)
    while(n GREATER 0)
      math(EXPR n "${n} - 2")
      string(SUBSTRING "${v}" ${n} 2 byte)
      string(APPEND le "${byte}")
    endwhile()
  endforeach()
  string(APPEND le "${p3}${p4}")
  string(FIND "${tlb}" "${le}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${TLB}: GUID {${g}} of ${IDL} is not stored intact in the type library "
                        "(widl damaged it; reorder the IDL, e.g. declare dispinterfaces before the library block)")
  endif()
endforeach()
