# Installs headers (the C++ layer ofagent.hpp with the C ones), both libraries, a CMake package
# (ofagent::ofagent, ofagent::host), ofagent.pc / ofagent_host.pc, and the licence with the
# hosting guide.
include(CMakePackageConfigHelpers)

# The C headers and the header-only C++ layer (ofagent.hpp).
file(GLOB _ofagent_headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/include/*.h
     ${CMAKE_CURRENT_SOURCE_DIR}/include/*.hpp)
file(GLOB _ofagent_host_headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/platform/include/*.h)
install(FILES ${_ofagent_headers} ${_ofagent_host_headers}
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ofagent)

set_target_properties(ofagent PROPERTIES EXPORT_NAME ofagent)
set_target_properties(ofagent_static PROPERTIES EXPORT_NAME ofagent_static)
set_target_properties(ofagent_host PROPERTIES EXPORT_NAME host)
set_target_properties(ofagent_host_static PROPERTIES EXPORT_NAME host_static)
install(TARGETS ofagent ofagent_static ofagent_host ofagent_host_static
        EXPORT ofagentTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ofagent)
install(EXPORT ofagentTargets NAMESPACE ofagent::
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ofagent)
configure_package_config_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/ofagentConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/ofagentConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ofagent)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/ofagentConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ofagentConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/ofagentConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ofagent)

if(OFAGENT_TLS)
  set(OFAGENT_PC_REQUIRES "wolfssl")
else()
  set(OFAGENT_PC_REQUIRES "")
endif()
# Relocatable .pc files: the prefix is found from the .pc file's own place, so an install with
# `cmake --install --prefix DIR` works wherever DIR is.
file(RELATIVE_PATH OFAGENT_PC_RELPREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/ofagent.pc.in
               ${CMAKE_CURRENT_BINARY_DIR}/ofagent.pc @ONLY)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/ofagent_host.pc.in
               ${CMAKE_CURRENT_BINARY_DIR}/ofagent_host.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ofagent.pc ${CMAKE_CURRENT_BINARY_DIR}/ofagent_host.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/docs/HOSTING.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
