# Install rules: the library (static, or shared with -DBUILD_SHARED_LIBS=ON), the headers of
# the calling interface (include/dravex/, nothing of the internals), the tool, and a package
# config so that another project can say find_package(dravex) and link dravex::dravex, or
# ask pkg-config for dravex.
include(CMakePackageConfigHelpers)

set(DRAVEX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/dravex)

install(TARGETS ${DRAVEX_LIBRARY} EXPORT dravexTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
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

# pkg-config: dravex.pc finds the prefix from its own place, so the tree can be moved. The
# library is C++ inside: a static one brings the C++ runtime to every link.
file(RELATIVE_PATH DRAVEX_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" DRAVEX_PC_TO_PREFIX "${DRAVEX_PC_TO_PREFIX}")
set(cxx_runtime ${CMAKE_CXX_IMPLICIT_LINK_LIBRARIES})
list(REMOVE_ITEM cxx_runtime ${CMAKE_C_IMPLICIT_LINK_LIBRARIES})
list(REMOVE_DUPLICATES cxx_runtime)
list(TRANSFORM cxx_runtime PREPEND -l)
list(JOIN cxx_runtime " " cxx_runtime)
if(BUILD_SHARED_LIBS)
  set(DRAVEX_PC_LIBS "")
  set(DRAVEX_PC_LIBS_PRIVATE "${cxx_runtime}")
else()
  set(DRAVEX_PC_LIBS "${cxx_runtime}")
  set(DRAVEX_PC_LIBS_PRIVATE "")
endif()
configure_file(cmake/dravex.pc.in ${CMAKE_CURRENT_BINARY_DIR}/dravex.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/dravex.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
