# Fails unless the engine library exports exactly its entry points.
# Usage: cmake -DLIBRARY=<path of vbuzip10.dll> -DNM=<nm> -P check_exports.cmake
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY} OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(names "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^.* " "" name "${line}")
  list(APPEND names ${name})
endforeach()
list(SORT names)
if(NOT names STREQUAL
   "UzpVersion2;Vbz_UpdateBegin;Vbz_UpdateCommit;Vbz_UpdateDiscard;Vbz_UpdateProgress;Vbz_UpdateRecover;Vbz_UpdateStage;Wiz_SingleEntryUnzip")
  message(FATAL_ERROR "unexpected exports: ${names}")
endif()
message(STATUS "exports: ${names}")
