# Configures and builds tests/embed against the source tree SRC in BIN with
# the compilers and build type of the calling build, then runs the program.
# Only the program and the module library are built.
foreach(step configure build run)
  if(step STREQUAL "configure")
    set(cmd ${CMAKE_COMMAND} -S ${SRC}/tests/embed -B ${BIN} -G ${GENERATOR} -DLUMIO_DIR=${SRC}
            -DCMAKE_BUILD_TYPE=${BUILD_TYPE} -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER})
  elseif(step STREQUAL "build")
    set(cmd ${CMAKE_COMMAND} --build ${BIN} --target embed_check -j 4)
  else()
    set(cmd ${BIN}/embed_check)
  endif()
  execute_process(COMMAND ${cmd} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "embedding: ${step} failed (${rc}):\n${out}")
  endif()
endforeach()
message(STATUS "${out}")
