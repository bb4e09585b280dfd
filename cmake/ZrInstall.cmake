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
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} ${CMAKE_INSTALL_INCLUDEDIR}/zrappapi)
install(EXPORT zrappapiTargets NAMESPACE zrappapi:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zrappapi)
configure_package_config_file(cmake/zrappapiConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/zrappapiConfig.cmake
                              INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zrappapi)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/zrappapiConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zrappapiConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/zrappapiConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zrappapi)
# wx-config's answer for a console build, so pkg-config users get the same flags as CMake users.
find_program(WX_CONFIG_EXECUTABLE NAMES wx-config REQUIRED)
execute_process(COMMAND ${WX_CONFIG_EXECUTABLE} --cxxflags base OUTPUT_VARIABLE ZR_WX_CFLAGS
                OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${WX_CONFIG_EXECUTABLE} --libs base OUTPUT_VARIABLE ZR_WX_LIBS
                OUTPUT_STRIP_TRAILING_WHITESPACE)
string(FIND "${ZR_WX_CFLAGS}" "wxUSE_GUI=0" zr_has_gui_flag)
if(zr_has_gui_flag EQUAL -1)
  string(APPEND ZR_WX_CFLAGS " -DwxUSE_GUI=0")
endif()
# Relocatable: the prefix is found from where the .pc file lies, so any --prefix given to cmake --install works.
file(RELATIVE_PATH ZR_PC_TO_PREFIX /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
configure_file(cmake/zrappapi.pc.in ${CMAKE_CURRENT_BINARY_DIR}/zrappapi.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zrappapi.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
install(FILES data/kv_abook.sch DESTINATION ${CMAKE_INSTALL_DATADIR}/zrappapi OPTIONAL)
