# Install rules: the library, its public headers, the CMake package QuillonMonitoring (whose
# target is Quillon::Monitoring; component http adds Quillon::MonitoringHttp), a pkg-config file
# for each library, and the document schemas and format page for consumers in other languages.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QUILLON_PACKAGE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/QuillonMonitoring")

# While the version is 0.y a minor release may break the ABI, so a shared build carries the minor
# in its soname, as the package version file does in its compatibility rule.
set_target_properties(quillon_monitoring PROPERTIES
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})

# CMake 3.25 exports a file set's absolute destination below the import prefix ("<prefix>//abs"),
# so an absolute include directory is given as the same place relative to the prefix.
set(QUILLON_HEADERS_DIR "${CMAKE_INSTALL_INCLUDEDIR}")
if(IS_ABSOLUTE "${QUILLON_HEADERS_DIR}")
  file(RELATIVE_PATH QUILLON_HEADERS_DIR "${CMAKE_INSTALL_PREFIX}" "${QUILLON_HEADERS_DIR}")
endif()

install(TARGETS quillon_monitoring
  EXPORT QuillonMonitoringTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  FILE_SET HEADERS DESTINATION ${QUILLON_HEADERS_DIR})

install(EXPORT QuillonMonitoringTargets
  NAMESPACE Quillon::
  DESTINATION ${QUILLON_PACKAGE_DIR})

configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/cmake/QuillonMonitoringConfig.cmake.in
  ${PROJECT_BINARY_DIR}/QuillonMonitoringConfig.cmake
  INSTALL_DESTINATION ${QUILLON_PACKAGE_DIR})
# SameMajorVersion would call 0.1 and 0.9 compatible; until 1.0 only the same minor is.
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/QuillonMonitoringConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/QuillonMonitoringConfig.cmake
  ${PROJECT_BINARY_DIR}/QuillonMonitoringConfigVersion.cmake
  DESTINATION ${QUILLON_PACKAGE_DIR})

# pkg-config. With relative install directories the prefix is found from the file's own place
# (${pcfiledir}), so the tree works under any `cmake --install --prefix` and after a move, like
# the CMake package; absolute directories are written as they are.
set(QUILLON_PC_DIR "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(QUILLON_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH up_to_prefix "/prefix/${QUILLON_PC_DIR}" "/prefix")
  string(REGEX REPLACE "/$" "" up_to_prefix "${up_to_prefix}")
  set(QUILLON_PC_PREFIX "\${pcfiledir}/${up_to_prefix}")
endif()
foreach(dir IN ITEMS LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(QUILLON_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(QUILLON_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
get_target_property(QUILLON_PC_LIBNAME quillon_monitoring OUTPUT_NAME)
if(NOT QUILLON_PC_LIBNAME)
  set(QUILLON_PC_LIBNAME quillon_monitoring)
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/quillon-monitoring.pc.in
  ${PROJECT_BINARY_DIR}/quillon-monitoring.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/quillon-monitoring.pc DESTINATION ${QUILLON_PC_DIR})

# The HTTP exporter, a component of the same package with an export set of its own, so that a
# consumer who does not ask for it needs none of its dependencies.
if(TARGET quillon_monitoring_http)
  set_target_properties(quillon_monitoring_http PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
  install(TARGETS quillon_monitoring_http
    EXPORT QuillonMonitoringHttpTargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    FILE_SET HEADERS DESTINATION ${QUILLON_HEADERS_DIR})
  install(EXPORT QuillonMonitoringHttpTargets
    NAMESPACE Quillon::
    DESTINATION ${QUILLON_PACKAGE_DIR})
  # A static library needs its dependencies on the consumer's link line even without --static.
  set(http_requires "cpp-httplib, openssl, zlib, yaml-cpp, libcrypt")
  get_target_property(http_type quillon_monitoring_http TYPE)
  if(http_type STREQUAL "STATIC_LIBRARY")
    set(QUILLON_HTTP_PC_REQUIRES ", ${http_requires}")
    set(QUILLON_HTTP_PC_LIBS " -pthread")
    set(QUILLON_HTTP_PC_PRIVATE "")
  else()
    set(QUILLON_HTTP_PC_REQUIRES "")
    set(QUILLON_HTTP_PC_LIBS "")
    set(QUILLON_HTTP_PC_PRIVATE "Requires.private: ${http_requires}\nLibs.private: -pthread")
  endif()
  get_target_property(QUILLON_HTTP_PC_LIBNAME quillon_monitoring_http OUTPUT_NAME)
  if(NOT QUILLON_HTTP_PC_LIBNAME)
    set(QUILLON_HTTP_PC_LIBNAME quillon_monitoring_http)
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/quillon-monitoring-http.pc.in
    ${PROJECT_BINARY_DIR}/quillon-monitoring-http.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/quillon-monitoring-http.pc DESTINATION ${QUILLON_PC_DIR})
endif()

install(FILES
  ${PROJECT_SOURCE_DIR}/schema/observability-1.schema.json
  ${PROJECT_SOURCE_DIR}/schema/runtime-state-1.schema.json
  DESTINATION ${CMAKE_INSTALL_DATADIR}/quillon-monitoring/schema)
install(FILES ${PROJECT_SOURCE_DIR}/docs/format.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
