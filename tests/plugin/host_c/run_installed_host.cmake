# Installs the build into a fresh prefix, runs the separately compiled C host
# against the installed plug-in with ZQ_LOG_FILE set, and checks that the log
# file received GetEncoders' record.
#   -DBUILD_DIR=... -DPREFIX=... -DHOST=... -DLOG=...
foreach(var BUILD_DIR PREFIX HOST LOG)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} not set")
  endif()
endforeach()

file(REMOVE_RECURSE "${PREFIX}")
file(REMOVE "${LOG}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed:\n${output}")
endif()
foreach(installed lib/kx_Traxel.so lib/ZQ_Log.so include/kx_traxel/kx_traxel.h include/kx_traxel/kx_types.h
                  include/kx_traxel/zq_log.h)
  if(NOT EXISTS "${PREFIX}/${installed}")
    message(FATAL_ERROR "not installed: ${installed}")
  endif()
endforeach()

execute_process(COMMAND "${CMAKE_COMMAND}" -E env "ZQ_LOG_FILE=${LOG}" "${HOST}" "${PREFIX}/lib/kx_Traxel.so"
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
message("${output}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the C host failed (${result})")
endif()

if(NOT EXISTS "${LOG}")
  message(FATAL_ERROR "ZQ_LOG_FILE was set but no log file appeared")
endif()
file(READ "${LOG}" log)
if(NOT log MATCHES "kx_Traxel\\.dll: Return encodersEX\\.\\.\\.\n")
  message(FATAL_ERROR "no record ending in \"kx_Traxel.dll: Return encodersEX...\" in the log file:\n${log}")
endif()
