# Our warning set, on every compiler and target. KX_WERROR makes the warnings
# errors: CI (scripts/test.sh) and development builds turn it on; a plain
# configure leaves it off, so that a compiler or optimisation level we have
# not tried (a new GCC's false positives at -O3) cannot stop a user's build.
add_library(kx_warnings INTERFACE)
target_compile_options(kx_warnings INTERFACE
  -Wall -Wextra -Wno-unused-parameter
  $<$<BOOL:${KX_WERROR}>:-Werror>
  $<$<AND:$<COMPILE_LANGUAGE:CXX>,$<NOT:$<PLATFORM_ID:Windows>>>:-Wnon-virtual-dtor>)
# -Wnon-virtual-dtor stays off on Windows: the SDK's COM interfaces declare no
# destructor, so every COM object class would trip it. COM objects die in
# their last Release, never through an interface pointer; the Linux build,
# whose IUnknown has a protected destructor, keeps the check.

# The sanitizer of this build, also for programs that tests compile on their
# own (a host built against the installed headers must load the plug-in with
# the same runtime).
set(KX_SANITIZER_FLAG "")
if(KX_SANITIZE)
  set(KX_SANITIZER_FLAG -fsanitize=address,undefined)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  # GCC 12's flow analysis sees the sanitizers' instrumentation and reports
  # -Wmaybe-uninitialized in libstdc++ itself (std::regex, std::function) at
  # -O1 and above. The normal builds keep the warning as an error.
  add_compile_options(-Wno-maybe-uninitialized)
endif()

if(KX_TSAN)
  if(KX_SANITIZE)
    message(FATAL_ERROR "KX_TSAN and KX_SANITIZE cannot be combined (ThreadSanitizer excludes AddressSanitizer)")
  endif()
  if(WIN32)
    message(FATAL_ERROR "KX_TSAN is for the native build")
  endif()
  set(KX_SANITIZER_FLAG -fsanitize=thread)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

if(NOT WIN32)
  # Hosts load the plug-in by path; its neighbours (ZQ_Log.so, the MF layer)
  # are found beside it.
  set(CMAKE_BUILD_RPATH_USE_ORIGIN ON)
  set(CMAKE_INSTALL_RPATH "$ORIGIN")
endif()

# The include folder of the host-facing headers.
set(KX_HOST_INCLUDE_DIR ${CMAKE_SOURCE_DIR}/include)

if(WIN32)
  # The DLLs and the test programs share one folder, so that a test program
  # finds kx_Traxel.dll and ZQ_Log.dll beside it (LoadLibraryW, imports).
  set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

  if(NOT KX_MINGW_DLLTOOL)
    find_program(KX_MINGW_DLLTOOL NAMES x86_64-w64-mingw32-dlltool dlltool REQUIRED)
  endif()
  if(NOT KX_MINGW_OBJDUMP)
    find_program(KX_MINGW_OBJDUMP NAMES x86_64-w64-mingw32-objdump objdump REQUIRED)
  endif()
endif()

# kx_add_import_library(<name> DLL <file name> DEF <.def file> [DEPENDS <targets>...])
#
# Windows only. Builds an import library for <DLL> from <DEF> with dlltool and
# makes it available as the INTERFACE target <name>. Unlike the import library
# the linker writes for a DLL, the .def may say "Name @n NONAME", so that the
# programs linked against <name> import that function by ordinal.
function(kx_add_import_library name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "DLL;DEF" "DEPENDS")
  set(implib ${CMAKE_CURRENT_BINARY_DIR}/lib${name}.a)
  add_custom_command(
    OUTPUT ${implib}
    COMMAND ${KX_MINGW_DLLTOOL} --input-def ${arg_DEF} --dllname ${arg_DLL} --output-lib ${implib}
    DEPENDS ${arg_DEF}
    COMMENT "Import library ${name} for ${arg_DLL}"
    VERBATIM)
  add_custom_target(${name}_build DEPENDS ${implib})
  add_library(${name} INTERFACE)
  target_link_libraries(${name} INTERFACE ${implib})
  add_dependencies(${name} ${name}_build)
  if(arg_DEPENDS)
    # The DLL itself must be built before anything that imports from it runs.
    add_dependencies(${name} ${arg_DEPENDS})
  endif()
endfunction()

# kx_link_zq_log(<target>)
#
# Links <target> with ZQ_Log as the plug-in imports it: on Windows through the
# import library ZQ_Log_imports (LogTextW and LogPrintW by ordinal, the other
# functions by name); elsewhere through the shared library itself.
function(kx_link_zq_log target)
  if(WIN32 AND TARGET ZQ_Log_imports)
    target_link_libraries(${target} PRIVATE ZQ_Log_imports)
    # What ZQ_Log's own target would bring: its header and the DLL built first.
    target_link_libraries(${target} PRIVATE kx_host_api)
    add_dependencies(${target} ZQ_Log)
  else()
    target_link_libraries(${target} PRIVATE ZQ_Log)
  endif()
endfunction()

# kx_add_gtest(<target> [LABELS <label>...])
#
# Registers the GoogleTest program <target> with CTest, one CTest test per
# test case. In the Windows build the program (and the listing of its tests)
# runs under Wine through CMAKE_CROSSCOMPILING_EMULATOR and gets the label
# "wine"; the first Wine start creates the prefix, hence the long discovery
# time-out. Label "no_sanitize" keeps a test out of the ASan+UBSan run.
function(kx_add_gtest target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "LABELS")
  set(labels ${arg_LABELS})
  if(CMAKE_CROSSCOMPILING)
    list(APPEND labels wine)
  endif()
  if(labels)
    set(label_property PROPERTIES LABELS "${labels}")
  endif()
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 600
    # Value-parameterised cases keep their own names, without the printed
    # parameter bytes (which may hold addresses and change between runs).
    NO_PRETTY_VALUES
    ${label_property})
endfunction()

# kx_silence_gcc12_restrict(<source>...)
#
# GCC 12 at -O3 (Release) reports -Wrestrict inside libstdc++'s char_traits
# copy when a std::string is built with operator+ from a literal and a string
# (GCC bug 105329: a false positive, the sizes it names are impossible). Only
# the test sources that trip it are named; nothing else loses the warning.
function(kx_silence_gcc12_restrict)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12)
    set_source_files_properties(${ARGN} DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} PROPERTIES COMPILE_OPTIONS -Wno-restrict)
  endif()
endfunction()
