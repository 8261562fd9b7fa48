# kx-host end to end: each case runs kx-host, then checks its exit status,
# its one error line, the file under the output name (decoded in full by
# ffprobe: streams and frame counts) and that no temporary file is left.
#   -DHOST=kx-host -DFFMPEG=ffmpeg -DFFPROBE=ffprobe -DWORK=<folder>
cmake_policy(SET CMP0007 NEW)  # empty list elements are kept
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
set(failures "")

function(make_input name)  # ffmpeg arguments after -y
  execute_process(COMMAND "${FFMPEG}" -nostdin -v error -y ${ARGN} "${WORK}/${name}" RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "ffmpeg could not make ${name}")
  endif()
endfunction()

make_input(in.y4m -f lavfi -i testsrc=size=320x240:rate=25 -t 2 -pix_fmt yuv420p)
foreach(format u8 s16le s24le s32le f32le f64le)
  make_input(${format}.wav -f lavfi -i sine=f=440:r=44100 -t 2 -ac 2 -c:a pcm_${format})
endforeach()
make_input(mono8k.wav -f lavfi -i sine=f=440:r=8000 -t 1 -ac 1)
make_input(mono48k.wav -f lavfi -i sine=f=440:r=48000 -t 1 -ac 1)
# Bad inputs: a y4m cut inside its third picture, a WAV whose header says
# zero channels.
execute_process(COMMAND head -c 260000 "${WORK}/in.y4m" OUTPUT_FILE "${WORK}/truncated.y4m")
execute_process(COMMAND sh -c "head -c 22 s16le.wav; printf '\\000\\000'; tail -c +25 s16le.wav"
                WORKING_DIRECTORY "${WORK}" OUTPUT_FILE "${WORK}/zero-channels.wav")

# A WAV whose data chunk is empty, followed by another chunk of 4000 bytes.
execute_process(COMMAND sh -c "head -c 36 s16le.wav; printf 'data\\000\\000\\000\\000junk\\240\\017\\000\\000'; \
                               tail -c 4000 s16le.wav" WORKING_DIRECTORY "${WORK}" OUTPUT_FILE "${WORK}/empty-data.wav")

# check(<name> <expected exit> <expected streams "codec:frames ..." or error regex> <kx-host arguments>...)
# runs "kx-host encode <name> <arguments>" (or "kx-host remux ..." when the
# arguments start with remux) with the variables in ${env} set. A video
# stream's frames must match exactly; audio frames (packets of the codec)
# must be more than zero, given as "+". A refusal leaves a file already under
# the output name as it was, and makes none.
function(check name status expected)
  set(output "${WORK}/${name}")
  set(stdin_file /dev/null)
  if(ARGN MATCHES "(^|;)-(;|$)")
    set(stdin_file "${WORK}/in.y4m")
  endif()
  set(command encode "${output}" ${ARGN})
  if(ARGN MATCHES "^remux;")
    set(command ${ARGN})
  endif()
  set(before "")
  if(EXISTS "${output}" AND NOT IS_DIRECTORY "${output}")
    file(SHA256 "${output}" before)
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -E env ${env} "${HOST}" ${command} WORKING_DIRECTORY "${WORK}"
                  INPUT_FILE "${stdin_file}" RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  file(GLOB leftovers "${WORK}/*.kxpart-*")
  set(problem "")
  if(NOT result EQUAL status)
    set(problem "exit status ${result}, expected ${status}")
  elseif(leftovers)
    set(problem "temporary files left: ${leftovers}")
  elseif(status EQUAL 0)
    execute_process(COMMAND "${FFPROBE}" -v error -count_frames -show_entries stream=codec_name,nb_read_frames
                    -of csv=p=0 "${output}" RESULT_VARIABLE probe OUTPUT_VARIABLE streams ERROR_VARIABLE probe_err)
    string(REPLACE "," ":" streams "${streams}")
    string(REGEX REPLACE "\n$" "" streams "${streams}")
    string(REPLACE "\n" " " streams "${streams}")
    # Video counts are compared as they are; audio ones only as "some".
    string(REGEX REPLACE "(wmav2|aac):[0-9]+" "\\1:+" got "${streams}")
    if(NOT probe EQUAL 0 OR NOT probe_err STREQUAL "")
      set(problem "ffprobe failed: ${probe_err}")
    elseif(NOT got STREQUAL expected)
      set(problem "streams '${streams}', expected '${expected}'")
    elseif(NOT out MATCHES "^[^\n]+, [0-9.]+x real time\n$" AND NOT ARGN MATCHES "--quiet")
      set(problem "summary line '${out}'")
    endif()
  else()
    string(REGEX MATCHALL "\n" lines "${err}")
    list(LENGTH lines line_count)
    set(after "")
    if(EXISTS "${output}" AND NOT IS_DIRECTORY "${output}")
      file(SHA256 "${output}" after)
    endif()
    if(NOT after STREQUAL before)
      set(problem "the file under the output name was made or changed")
    elseif(NOT line_count EQUAL 1 OR NOT err MATCHES "^kx-host: .*${expected}")
      set(problem "error output '${err}', expected one line matching '${expected}'")
    endif()
  endif()
  if(problem)
    set(failures "${failures}\n  ${name} (${ARGN}): ${problem}" PARENT_SCOPE)
  endif()
endfunction()

# Files written.
check(pattern.wmv 0 "wmv2:25 wmav2:+" --seconds 1 --size 320x240 --quiet)
check(pattern.mp4 0 "h264:30 aac:+" --seconds 1 --size 320x240 --fps 30000/1001)
check(pattern-multi.mp4 0 "h264:25 aac:+" --seconds 1 --size 320x240 --multi-stream)
check(tone.wma 0 "wmav2:+" --seconds 1)
check(h265.mp4 0 "hevc:25" --video in.y4m --video-codec W265 --seconds 1)
check(wmv1.wmv 0 "wmv1:50" --video in.y4m --video-codec WMV1)
check(pipe.wmv 0 "wmv2:50 wmav2:+" --video - --audio s16le.wav)
check(pipe-multi.wmv 0 "wmv2:50 wmav2:+" --video - --audio s16le.wav --multi-stream)
foreach(format u8 s24le s32le f32le f64le)
  check(${format}.mp4 0 "aac:+" --audio ${format}.wav)
endforeach()
check(mono.mp4 0 "h264:50 aac:+" --video in.y4m --audio mono48k.wav --audio-bitrate 96k)

# Refused: one line naming the cause, a distinct status, no file.
check(truncated.mp4 5 "truncated frame 2 .* at byte offset 230[0-9]+" --video truncated.y4m)
check(zero.wmv 5 "zero channels in the fmt chunk at byte offset 22" --audio zero-channels.wav)
check(unknown-codec.mp4 6 "unknown video codec 'ABCD'" --video-codec ABCD)
check(wrong-codec.mp4 6 "do not take the video codec WMV2" --video-codec WMV2)
check(no-encoder.wmv 6 "cannot create .*no-encoder.wmv: the plug-in.s WMV3 encoder is missing on this system" --video-codec WMV3 --seconds 1)
check(bad-option.mp4 2 "unknown option '--frobnicate'" --frobnicate)
check(bad-size.mp4 2 "bad value '321x240' for --size" --size 321x240)
check(no-format.xyz 6 "writes no .xyz files")
check(missing.mp4 4 "cannot open the YUV4MPEG2 input" --video missing.y4m)
check(empty-data.wmv 5 "empty-data.wav: malformed WAV input: no sound: the data chunk is empty at byte offset 36"
      --audio empty-data.wav)
check(empty-data.mp4 5 "no sound: the data chunk is empty" --video in.y4m --audio empty-data.wav)
check(aac-8khz.mp4 6 "cannot create .*: the plug-in.s WAAC encoder refuses 1 ch 8000 Hz sound \\(it says .*CreateAudioMediaType\\(\\) failed" --audio mono8k.wav)
check(huge.wmv 6 "WMV2 encoder refuses 16384x16384 pictures at 25 fps \\(it says .*SetInputMediaType" --size 16384x16384 --seconds 0.04)
file(MAKE_DIRECTORY "${WORK}/folder.wmv")
check(folder.wmv 9 "folder.wmv is a folder" --video missing.y4m)
check(not-y4m.mp4 5 "no YUV4MPEG2 signature at byte offset 0" --video s16le.wav)

# An existing file under the output name survives a refused encode.
file(WRITE "${WORK}/kept.mp4" "old")
check(kept.mp4 5 "truncated frame 2" --video truncated.y4m)

# OUT is an input (itself, through a link): refused, the input unchanged.
file(COPY_FILE "${WORK}/in.y4m" "${WORK}/self.wmv")
file(CREATE_LINK "${WORK}/self.wmv" "${WORK}/link.wmv" SYMBOLIC)
check(self.wmv 2 "self.wmv is also an input" --video self.wmv)
check(link.wmv 2 "link.wmv is also an input" --seconds 1 --audio s16le.wav --video self.wmv)
check(pattern.wmv 2 "pattern.wmv is also an input" remux pattern.wmv pattern.wmv)

# What the plug-in says and what it leaves, against what kx-host wrote (50
# pictures): a failure logged in any case, a file short of pictures.
set(env "KX_FAKE_FILE=${WORK}/wmv1.wmv" "KX_FAKE_LOG=Failed to add xmp object for ASF file.")
check(fake.wmv 8 "finishing .*fake.wmv failed: the plug-in says \"Failed to add xmp" --video in.y4m --plugin "${FAKE_PLUGIN}")
set(env "KX_FAKE_FILE=${WORK}/h265.mp4" "KX_FAKE_LOG=")
check(fake.wmv 8 "fake.wmv holds 25 video packets, 50 were written" --video in.y4m --plugin "${FAKE_PLUGIN}")
set(env "")

# list.
execute_process(COMMAND "${HOST}" list --json RESULT_VARIABLE result OUTPUT_VARIABLE json)
string(JSON formats ERROR_VARIABLE json_error LENGTH "${json}" fileFormats)
if(NOT result EQUAL 0 OR json_error OR NOT formats EQUAL 3)
  set(failures "${failures}\n  list --json: status ${result}, ${json_error}, ${formats} file formats")
endif()

# remux refusals (its round trip is in host.installed_package).
file(WRITE "${WORK}/not-media.wmv" "plain text\n")
make_input(bframes.mp4 -f lavfi -i testsrc=size=320x240:rate=25 -t 1 -c:v libx264 -bf 2)
check(r1.wmv 4 "cannot open missing.wmv" remux missing.wmv r1.wmv)
check(r2.mp4 2 "remux: r2.mp4 must end in .wmv, .wma or .asf" remux in.y4m r2.mp4)
check(r3.wmv 5 "not-media.wmv is no media file libavformat reads \\(at byte offset 0\\)" remux not-media.wmv r3.wmv)
check(r4.wmv 7 "cannot create r4.wmv: the plug-in says .*CreateStream" remux zero-channels.wav r4.wmv)
check(r5.wmv 2 "remux: unknown option '--frobnicate'" remux s16le.wav r5.wmv --frobnicate)
check(r6.wmv 6 "bframes.mp4: its h264 pictures are stored out of display order \\(B-frames\\)" remux bframes.mp4 r6.wmv)

# remux of a .wmv cut off at half its size: the pictures before the cut are
# copied, the damaged last one is not; a warning says what, status 11.
make_input(whole.wmv -f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=r=44100 -t 4 -c:v wmv2 -c:a wmav2)
file(SIZE "${WORK}/whole.wmv" whole_size)
math(EXPR half "${whole_size} / 2")
execute_process(COMMAND head -c ${half} "${WORK}/whole.wmv" OUTPUT_FILE "${WORK}/cut.wmv")
execute_process(COMMAND "${HOST}" remux cut.wmv cut-out.wmv --quiet WORKING_DIRECTORY "${WORK}" RESULT_VARIABLE result
                ERROR_VARIABLE err)
execute_process(COMMAND "${FFPROBE}" -v error -count_frames -select_streams v -show_entries stream=nb_read_frames
                -of csv=p=0 "${WORK}/cut-out.wmv" OUTPUT_VARIABLE frames ERROR_VARIABLE probe_err)
string(STRIP "${frames}" frames)
set(warning "^kx-host: warning: cut.wmv is cut off at byte ${half} of the [0-9]+ its header declares, its last packet")
string(APPEND warning " \\(read at the cut\\) left out: cut-out.wmv holds ${frames} pictures and [0-9]+ sound packets")
if(NOT result EQUAL 11 OR NOT probe_err STREQUAL "" OR NOT frames GREATER 40 OR NOT err MATCHES "${warning} \\([0-9.]+ s\\)\n$")
  set(failures "${failures}\n  remux of a cut file: status ${result}, '${err}', ${frames} pictures decoded, '${probe_err}'")
endif()

if(failures)
  message(FATAL_ERROR "kx-host cases failed:${failures}")
endif()
