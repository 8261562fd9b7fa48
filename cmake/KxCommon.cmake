# Warnings are errors on every compiler and target.
add_library(kx_warnings INTERFACE)
target_compile_options(kx_warnings INTERFACE
  -Wall -Wextra -Werror -Wno-unused-parameter
  $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>)

if(KX_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

if(NOT WIN32)
  # Hosts load the plug-in by path; its neighbours (ZQ_Log.so, the MF layer)
  # are found beside it.
  set(CMAKE_BUILD_RPATH_USE_ORIGIN ON)
  set(CMAKE_INSTALL_RPATH "$ORIGIN")
endif()

# The include folder of the host-facing headers.
set(KX_HOST_INCLUDE_DIR ${CMAKE_SOURCE_DIR}/include)
