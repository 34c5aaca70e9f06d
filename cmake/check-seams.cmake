# Checks that a shipped library or program carries none of the test seams
# (allocation countdown, fault probes, message-box hook), while the testable
# build of the same sources does, so the names searched for are known to be
# the real ones.
#   cmake -DNM=nm -DLIB=shipped-binary -DTESTABLE=testable-archive -P this
# The binary's own symbol table is read (not just its exports): a seam must
# not be compiled in at all.
set(SEAMS
  platFaultHit platFaultArm platFaultReset
  qdmAllocFailAt qdmAllocFailReset qdmAllocFailFired
  platSetMessageBoxHook
  kernelForce
  failCountdown anyArmed messageBoxHook) # the seams' state
# Always in the library: shows that the symbol table is there to be read.
set(ALWAYS QDMalloc)

function(kv_symbols file out)
  execute_process(COMMAND ${NM} ${file} OUTPUT_VARIABLE text ERROR_VARIABLE err
    RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${file}: ${err}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

kv_symbols(${LIB} shipped)
kv_symbols(${TESTABLE} testable)
foreach(name ${ALWAYS})
  if(NOT shipped MATCHES "${name}")
    message(FATAL_ERROR "${LIB} has no symbol table to check (${name} not found)")
  endif()
endforeach()
foreach(name ${SEAMS})
  if(NOT testable MATCHES "${name}")
    message(FATAL_ERROR "${TESTABLE} lacks the seam ${name}: the check is out of date")
  endif()
  if(shipped MATCHES "[^\n]*${name}[^\n]*")
    message(FATAL_ERROR "${LIB} carries the test seam ${name}: ${CMAKE_MATCH_0}")
  endif()
endforeach()
message(STATUS "${LIB}: no test seam")
