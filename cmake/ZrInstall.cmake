# cmake --install: headers flat under include/zrappapi/, the three shared libraries, a CMake package
# (find_package(zrappapi) gives zrappapi::zrappapi, zrappapi::zrutil, zrappapi::zripc) and a pkg-config
# file.
include(CMakePackageConfigHelpers)
get_property(zr_headers GLOBAL PROPERTY ZR_PUBLIC_HEADERS)
install(FILES ${zr_headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zrappapi)
install(TARGETS zrappapi zrutil zripc EXPORT zrappapiTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zrappapi)
install(EXPORT zrappapiTargets NAMESPACE zrappapi:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zrappapi)
configure_package_config_file(cmake/zrappapiConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/zrappapiConfig.cmake
                              INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zrappapi)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/zrappapiConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zrappapiConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/zrappapiConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zrappapi)
configure_file(cmake/zrappapi.pc.in ${CMAKE_CURRENT_BINARY_DIR}/zrappapi.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zrappapi.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
install(FILES data/kv_abook.sch DESTINATION ${CMAKE_INSTALL_DATADIR}/zrappapi OPTIONAL)
