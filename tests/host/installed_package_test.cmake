# A host project outside this tree against the installed package: installs
# the build, moves the installed tree (nothing may point at where it was
# installed), takes the CMake, C++, shell and C blocks of README.md's "your
# own host" section as they are, builds the C++ host through find_package
# and through pkg-config and the C host through pkg-config, runs them, and
# decodes each written file with ffprobe. The installed kx-host runs too.
# It also remuxes a WMV2+WMA file of the ffmpeg tool through the plug-in's
# MFWMVMuxer_ exports and the layer's media types.
#   -DBUILD_DIR=... -DWORK=... -DREADME=... -DFFMPEG=... -DFFPROBE=... -DLIBDIR=<CMAKE_INSTALL_LIBDIR>
#   [-DSANITIZER_FLAG=...]
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/cmake-host" "${WORK}/pkg-host")

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${what} failed (${result}):\n${output}")
  endif()
  set(run_output "${output}" PARENT_SCOPE)
endfunction()

# The first README block fenced as ```<language>, written to <file> in both folders.
file(READ "${README}" readme)
function(extract language file)
  string(FIND "${readme}" "\n```${language}\n" start)
  if(start EQUAL -1)
    message(FATAL_ERROR "README.md has no ```${language} block")
  endif()
  string(LENGTH "\n```${language}\n" marker)
  math(EXPR start "${start} + ${marker}")
  string(SUBSTRING "${readme}" ${start} -1 rest)
  string(FIND "${rest}" "```" end)
  string(SUBSTRING "${rest}" 0 ${end} block)
  file(WRITE "${WORK}/cmake-host/${file}" "${block}")
  file(WRITE "${WORK}/pkg-host/${file}" "${block}")
endfunction()
extract(cmake CMakeLists.txt)
extract(cpp my_host.cpp)
extract(sh build.sh)
extract(c list_formats.c)

run("cmake --install" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${WORK}/installed")
file(RENAME "${WORK}/installed" "${WORK}/moved")
set(prefix "${WORK}/moved")

# The checks of one written file: its streams' decoded frames, as
# "codec,frames" lines, match `expected`.
function(expect_file path expected)
  run("ffprobe ${path}" "${FFPROBE}" -v error -count_frames -show_entries stream=codec_name,nb_read_frames -of csv=p=0 "${path}")
  if(NOT run_output MATCHES "${expected}")
    message(FATAL_ERROR "${path}: ffprobe says '${run_output}', expected '${expected}'")
  endif()
endfunction()

run("configure through find_package" "${CMAKE_COMMAND}" -S "${WORK}/cmake-host" -B "${WORK}/cmake-host/build"
    "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_CXX_FLAGS=${SANITIZER_FLAG}" -DCMAKE_BUILD_TYPE=Release)
run("build through find_package" "${CMAKE_COMMAND}" --build "${WORK}/cmake-host/build")
run("the find_package host" "${WORK}/cmake-host/build/my_host" "${WORK}/cmake.mp4")
expect_file("${WORK}/cmake.mp4" "^h264,25\n$")

run("build through pkg-config" "${CMAKE_COMMAND}" -E env "PKG_CONFIG_PATH=${prefix}/${LIBDIR}/pkgconfig"
    "CXXFLAGS=${SANITIZER_FLAG} -Wall -Wextra -Werror" "CFLAGS=${SANITIZER_FLAG} -Wall -Wextra -Werror -pedantic -D_POSIX_C_SOURCE=200809L"
    sh -e build.sh WORKING_DIRECTORY "${WORK}/pkg-host")
run("the pkg-config host" "${WORK}/pkg-host/my_host" "${WORK}/pkg-config.mp4")
expect_file("${WORK}/pkg-config.mp4" "^h264,25\n$")
run("the C host" "${WORK}/pkg-host/list_formats")
if(NOT run_output MATCHES "\nWWMV \\.wmv\nWWMA \\.wma\nWMP4 \\.mp4\n$")
  message(FATAL_ERROR "the C host listed:\n${run_output}")
endif()

run("the installed kx-host" "${prefix}/bin/kx-host" encode "${WORK}/kx-host.mp4" --seconds 1 --size 320x240 --quiet)
expect_file("${WORK}/kx-host.mp4" "^h264,25\naac,[1-9]")

# remux: every packet of each stream comes out with the same bytes and times
# (streams mapped by kind: the file may order them differently), every frame
# decodes without an error line, and a seek to the middle decodes.
run("ffmpeg in.wmv" "${FFMPEG}" -nostdin -v error -f lavfi -i testsrc=size=320x240:rate=25 -f lavfi
    -i sine=f=440:r=44100 -t 4 -ac 2 -c:v wmv2 -g 25 -c:a wmav2 "${WORK}/in.wmv")
run("the installed kx-host remux" "${prefix}/bin/kx-host" remux "${WORK}/in.wmv" "${WORK}/remuxed.wmv")
if(NOT run_output MATCHES "^[^\n]*remuxed.wmv: 2 streams \\(wmv2 320x240 25 fps \\+ wmav2 44100 Hz 2 ch\\), .*x real time\n$")
  message(FATAL_ERROR "kx-host remux said: ${run_output}")
endif()
foreach(file in remuxed)
  run("framemd5 of ${file}.wmv" "${FFMPEG}" -v error -i "${WORK}/${file}.wmv" -map 0:v -map 0:a -c copy -f framemd5 -)
  string(REGEX REPLACE "#[^\n]*\n" "" packets_${file} "${run_output}")
  run("ffprobe ${file}.wmv" "${FFPROBE}" -v error -count_frames -show_entries stream=codec_name,nb_read_frames
      -of csv=p=0 "${WORK}/${file}.wmv")
  string(REPLACE "\n" ";" frames_${file} "${run_output}")
  list(SORT frames_${file})
endforeach()
string(REGEX MATCHALL "\n" packet_lines "${packets_in}")
list(LENGTH packet_lines packet_count)
if(NOT packets_remuxed STREQUAL packets_in OR packet_count LESS 150)
  message(FATAL_ERROR "remuxed packets differ (${packet_count} in the input):\n${packets_in}\n---\n${packets_remuxed}")
endif()
if(NOT frames_remuxed STREQUAL frames_in OR NOT frames_in MATCHES "wmv2,100")
  message(FATAL_ERROR "decoded frames: input '${frames_in}', remuxed '${frames_remuxed}'")
endif()
run("a seek to the middle" "${FFMPEG}" -v error -ss 2 -i "${WORK}/remuxed.wmv" -frames:v 1 -f null -)
if(NOT run_output STREQUAL "")
  message(FATAL_ERROR "a seek to 2 s in remuxed.wmv: ${run_output}")
endif()
