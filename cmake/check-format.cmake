# Checks that every C and C++ source of the project is formatted with its
# .clang-format.  cmake -DROOT=path -P this
find_program(CLANG_FORMAT clang-format REQUIRED)
file(GLOB_RECURSE files
  ${ROOT}/include/*.h ${ROOT}/src/*.h ${ROOT}/src/*.cpp ${ROOT}/support/*.h ${ROOT}/support/*.cpp
  ${ROOT}/tests/*.h ${ROOT}/tests/*.cpp ${ROOT}/tests/*.c
  ${ROOT}/tools/*.h ${ROOT}/tools/*.cpp ${ROOT}/examples/*.cpp ${ROOT}/bench/*.cpp
  ${ROOT}/bench/*.h ${ROOT}/fuzz/*.cpp ${ROOT}/fuzz/*.h)
execute_process(COMMAND ${CLANG_FORMAT} --dry-run -Werror ${files}
  RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "not formatted with clang-format -i:\n${err}")
endif()
