# thread_exit_destructors.cmake -- fails when a Windows binary links the
# runtime's support for destroying thread_local objects as threads end.
#
# mingw-w64 releases a thread's (emulated) thread-local storage before it
# runs those destructors, so each of them works on freed memory. In the
# server, whose client threads end all day, a log line's string was freed
# that way and freed another thread's allocation in turn (the registry's
# lock, once the released block had been handed out again). So no
# thread_local may have a destructor, and a binary without one does not link
# __cxa_thread_atexit, the call that registers them.
#
#   cmake -DNM=<nm> -DBINARIES=<binary>|<binary>... -P thread_exit_destructors.cmake
string(REPLACE "|" ";" binaries "${BINARIES}")
set(offenders "")
foreach(binary IN LISTS binaries)
  execute_process(COMMAND ${NM} ${binary} OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${NM} could not read the symbols of ${binary}")
  endif()
  if(symbols MATCHES "cxa_thread_atexit")
    list(APPEND offenders ${binary})
  endif()
endforeach()
if(offenders)
  message(FATAL_ERROR "a thread_local with a destructor is linked into: ${offenders}")
endif()
list(LENGTH binaries count)
message(STATUS "${count} binaries link no thread-exit destructor")
