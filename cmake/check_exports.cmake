# cmake -DNM=nm -DLIBRARY=libdravex.so -DEXPECTED=name,name,... -P check_exports.cmake
# Fails unless the library's dynamic symbol table defines exactly the EXPECTED names.
# With -DSTATIC=1 (LIBRARY a static archive): unless the external names its objects define,
# less those of namespace dravex, are exactly the EXPECTED names.
if(STATIC)
  execute_process(COMMAND ${NM} -g --defined-only ${LIBRARY} OUTPUT_VARIABLE out
                  RESULT_VARIABLE rc)
else()
  execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY} OUTPUT_VARIABLE out
                  RESULT_VARIABLE rc)
endif()
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^ \n]+\n" lines "${out}")
set(exported "")
foreach(line ${lines})
  string(STRIP "${line}" name)
  # Member headers ("file.o:") and names in namespace dravex: _ZN6dravex..., _ZNK6dravex...,
  # _ZZN6dravex..., and the sanitizers' companions of them (__odr_asan._ZN6dravex...).
  if(STATIC AND (name MATCHES "_Z[A-Z]*6dravex" OR name MATCHES ":$"))
    continue()
  endif()
  list(APPEND exported ${name})
endforeach()
list(REMOVE_DUPLICATES exported)
string(REPLACE "," ";" EXPECTED "${EXPECTED}")
list(SORT exported)
list(SORT EXPECTED)
list(LENGTH exported count)
message(STATUS "${LIBRARY} exports ${count} symbols")
if(NOT exported STREQUAL EXPECTED)
  set(extra ${exported})
  list(REMOVE_ITEM extra ${EXPECTED})
  set(missing ${EXPECTED})
  list(REMOVE_ITEM missing ${exported})
  message(FATAL_ERROR "exports differ from the DRAVEX_API declarations\n"
                      "  not in the interface: ${extra}\n  missing: ${missing}")
endif()
