# What a host project finds after `cmake --install`: the CMake package
# (find_package(kx_Traxel)) and the pkg-config file kx_traxel.pc, both
# relocatable (every path is relative to the file itself). Then CPack: the
# .zip of the Windows build (Linux packages: debian/, dpkg-buildpackage).
include(CMakePackageConfigHelpers)

if(WIN32)
  set(KX_PLUGIN_FILE_NAME kx_Traxel.dll)
else()
  set(KX_PLUGIN_FILE_NAME kx_Traxel.so)
endif()
set(KX_PLUGIN_INSTALL_FILE ${KX_INSTALL_PLUGINDIR}/${KX_PLUGIN_FILE_NAME})
set(kx_cmake_package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/kx_Traxel)

configure_package_config_file(cmake/kx_TraxelConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/kx_TraxelConfig.cmake
  INSTALL_DESTINATION ${kx_cmake_package_dir}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR KX_PLUGIN_INSTALL_FILE)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kx_TraxelConfigVersion.cmake
  COMPATIBILITY SameMinorVersion ARCH_INDEPENDENT)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kx_TraxelConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/kx_TraxelConfigVersion.cmake
  DESTINATION ${kx_cmake_package_dir})

# The prefix as seen from <libdir>/pkgconfig ("../.." for lib/pkgconfig).
file(RELATIVE_PATH KX_PC_PREFIX_FROM_PCDIR "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
string(REGEX REPLACE "/$" "" KX_PC_PREFIX_FROM_PCDIR "${KX_PC_PREFIX_FROM_PCDIR}")
configure_file(cmake/kx_traxel.pc.in ${CMAKE_CURRENT_BINARY_DIR}/kx_traxel.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kx_traxel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(WIN32)
  set(CPACK_PACKAGE_NAME kx-traxel)
  set(CPACK_PACKAGE_VENDOR "kx_Traxel")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Output plug-in for video converters (.wmv, .wma, .mp4), its host headers and kx-host")
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-x64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  include(CPack)
endif()
