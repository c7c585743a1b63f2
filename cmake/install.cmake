# Install rules: the static library, the calling interface's headers (include/dravex/, and
# nothing of the internals), the tool, and a package config so that another project can say
# find_package(dravex) and link dravex::dravex.
include(CMakePackageConfigHelpers)

set(DRAVEX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/dravex)

install(TARGETS dravex_core EXPORT dravexTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS dravex RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(DIRECTORY include/dravex DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        FILES_MATCHING PATTERN "*.h")

install(EXPORT dravexTargets NAMESPACE dravex:: FILE dravexTargets.cmake
        DESTINATION ${DRAVEX_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/dravexConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/dravexConfig.cmake
                              INSTALL_DESTINATION ${DRAVEX_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/dravexConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/dravexConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/dravexConfigVersion.cmake
        DESTINATION ${DRAVEX_CMAKE_DIR})
