# Installing: the client library (static archives, or one versioned shared library with
# -DBUILD_SHARED_LIBS=ON), its headers under include/larkspire, a CMake package
# (find_package(Larkspire) gives Larkspire::larkspire, and Larkspire::larkspire_qt when the Qt
# adapters were built), a pkg-config file, the server with its plug-ins and service files, and
# the command-line client. `cpack -G DEB` packs the same tree.
include(CMakePackageConfigHelpers)

set(LARKSPIRE_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/Larkspire")
# The server's helper and plug-ins, found relative to the installed server.
set(LARKSPIRE_INSTALL_PKGLIBDIR "${CMAKE_INSTALL_LIBDIR}/larkspire")

if(BUILD_SHARED_LIBS)
  # The layers' archives linked whole into one library; only our own namespace is exported, so
  # the zlib and pugixml inside it stay private.
  add_library(larkspire_shared SHARED "${CMAKE_SOURCE_DIR}/cmake/shared_library.cpp")
  set(layers larkspire_components larkspire_dataset larkspire_transport larkspire_protocol
    larkspire_platform)
  set(archives)
  foreach(layer ${layers})
    list(APPEND archives "$<TARGET_FILE:${layer}>")
  endforeach()
  add_dependencies(larkspire_shared ${layers})
  target_link_libraries(larkspire_shared
    PRIVATE "$<BUILD_INTERFACE:-Wl,--whole-archive;${archives};-Wl,--no-whole-archive>"
      "$<BUILD_INTERFACE:ZLIB::ZLIB>" "$<BUILD_INTERFACE:PkgConfig::PUGIXML>"
      "$<BUILD_INTERFACE:OpenSSL::SSL>"
    PUBLIC Threads::Threads)
  target_compile_features(larkspire_shared PUBLIC cxx_std_20)
  target_include_directories(larkspire_shared INTERFACE
    "$<INSTALL_INTERFACE:${LARKSPIRE_INSTALL_INCLUDEDIR}>"
    "$<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>")
  target_link_options(larkspire_shared PRIVATE
    "LINKER:--version-script=${CMAKE_SOURCE_DIR}/cmake/larkspire.map" "LINKER:--no-undefined")
  set_target_properties(larkspire_shared PROPERTIES OUTPUT_NAME larkspire EXPORT_NAME larkspire
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
    LINK_DEPENDS "${CMAKE_SOURCE_DIR}/cmake/larkspire.map")
  install(TARGETS larkspire_shared EXPORT LarkspireTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development)
  set(LARKSPIRE_PC_LIBS "-llarkspire")
  set(LARKSPIRE_PC_REQUIRES "")
else()
  target_include_directories(larkspire INTERFACE
    "$<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>")
  install(TARGETS larkspire EXPORT LarkspireTargets COMPONENT development)
  set(LARKSPIRE_PC_LIBS
    "-llarkspire_components -llarkspire_dataset -llarkspire_transport -llarkspire_protocol -llarkspire_platform")
  # The archives need zlib, pugixml and OpenSSL at link time.
  set(LARKSPIRE_PC_REQUIRES "zlib pugixml libssl libcrypto")
endif()

install(EXPORT LarkspireTargets NAMESPACE Larkspire:: DESTINATION ${LARKSPIRE_INSTALL_CMAKEDIR}
  COMPONENT development)
configure_package_config_file(cmake/LarkspireConfig.cmake.in
  "${CMAKE_BINARY_DIR}/cmake/LarkspireConfig.cmake" INSTALL_DESTINATION ${LARKSPIRE_INSTALL_CMAKEDIR})
write_basic_package_version_file("${CMAKE_BINARY_DIR}/cmake/LarkspireConfigVersion.cmake"
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES "${CMAKE_BINARY_DIR}/cmake/LarkspireConfig.cmake"
  "${CMAKE_BINARY_DIR}/cmake/LarkspireConfigVersion.cmake"
  DESTINATION ${LARKSPIRE_INSTALL_CMAKEDIR} COMPONENT development)
# The prefix is found from the file's own place, so that an installed tree can move.
file(RELATIVE_PATH LARKSPIRE_PC_TO_PREFIX "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
string(REGEX REPLACE "/$" "" LARKSPIRE_PC_TO_PREFIX "${LARKSPIRE_PC_TO_PREFIX}")
configure_file(cmake/larkspire.pc.in "${CMAKE_BINARY_DIR}/cmake/larkspire.pc" @ONLY)
install(FILES "${CMAKE_BINARY_DIR}/cmake/larkspire.pc"
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

# The Qt adapters, for Qt applications that show Larkspire datasets (static builds).
if(TARGET larkspire_qt AND NOT BUILD_SHARED_LIBS)
  target_include_directories(larkspire_qt INTERFACE
    "$<INSTALL_INTERFACE:${LARKSPIRE_INSTALL_INCLUDEDIR}>")
  file(GLOB qt_headers CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/qt/*.h")
  install(FILES ${qt_headers} DESTINATION "${LARKSPIRE_INSTALL_INCLUDEDIR}/qt"
    COMPONENT development)
  install(TARGETS larkspire_qt EXPORT LarkspireQtTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
  install(EXPORT LarkspireQtTargets NAMESPACE Larkspire:: DESTINATION ${LARKSPIRE_INSTALL_CMAKEDIR}
    COMPONENT development)
endif()

# The programs.
install(TARGETS larkspire-server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT server)
install(TARGETS larkspire-plugin-runner RUNTIME DESTINATION ${LARKSPIRE_INSTALL_PKGLIBDIR}
  COMPONENT server)
install(TARGETS PluginSample LIBRARY DESTINATION ${LARKSPIRE_INSTALL_PKGLIBDIR}/plugins
  COMPONENT server)
install(TARGETS larkspire-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT cli)
# The service: its unit, and its options in /etc/default (configured with
# -DCMAKE_INSTALL_PREFIX=/usr, as the Debian package is, the options file goes to /etc).
configure_file(packaging/larkspire-server.service.in
  "${CMAKE_BINARY_DIR}/packaging/larkspire-server.service" @ONLY)
install(FILES "${CMAKE_BINARY_DIR}/packaging/larkspire-server.service"
  DESTINATION lib/systemd/system COMPONENT server)
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(LARKSPIRE_INSTALL_DEFAULTSDIR "${CMAKE_INSTALL_FULL_SYSCONFDIR}/default")  # /etc/default
else()
  set(LARKSPIRE_INSTALL_DEFAULTSDIR "${CMAKE_INSTALL_SYSCONFDIR}/default")  # under the prefix
endif()
install(FILES packaging/larkspire-server.default DESTINATION ${LARKSPIRE_INSTALL_DEFAULTSDIR}
  RENAME larkspire-server COMPONENT server)

# A Debian package of the library, the server and the command-line client.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME larkspire)
set(CPACK_PACKAGE_VENDOR "Larkspire")
set(CPACK_PACKAGE_CONTACT "Larkspire developers <larkspire@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Larkspire client library, server (larkspire-server) and command-line client")
set(CPACK_DEBIAN_PACKAGE_SECTION database)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  "${CMAKE_SOURCE_DIR}/packaging/postinst;${CMAKE_SOURCE_DIR}/packaging/prerm;${CMAKE_SOURCE_DIR}/packaging/postrm;${CMAKE_SOURCE_DIR}/packaging/conffiles")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
