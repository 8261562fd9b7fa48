# Installs the build into a fresh prefix, compiles host.c in C11 against the
# installed headers alone, runs it against the installed plug-in with
# ZQ_LOG_FILE set, and checks that the log file received GetEncoders' record.
#   -DBUILD_DIR=... -DPREFIX=... -DCC=... -DSOURCE=... -DLOG=...
#   [-DSANITIZER_FLAG=-fsanitize=...]  the sanitizer the plug-in was built with
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${what} failed (${result}):\n${output}")
  endif()
endfunction()

file(REMOVE_RECURSE "${PREFIX}")
file(REMOVE "${LOG}")
run("cmake --install" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}")
file(GLOB_RECURSE plugin "${PREFIX}/kx_Traxel.so")
file(GLOB_RECURSE header "${PREFIX}/kx_traxel.h")
cmake_path(GET header PARENT_PATH include_dir)
cmake_path(GET include_dir PARENT_PATH include_dir)
run("the C11 compile of the installed header" "${CC}" ${SANITIZER_FLAG} -std=c11 -pedantic -Wall -Wextra -Werror
    -D_POSIX_C_SOURCE=200809L -I "${include_dir}" "${SOURCE}" -o "${PREFIX}/host" -ldl)
run("the C host" "${CMAKE_COMMAND}" -E env "ZQ_LOG_FILE=${LOG}" "${PREFIX}/host" "${plugin}")
file(READ "${LOG}" log)
if(NOT log MATCHES "kx_Traxel\\.dll: Return encodersEX\\.\\.\\.\n")
  message(FATAL_ERROR "no record \"kx_Traxel.dll: Return encodersEX...\" in the log file:\n${log}")
endif()
