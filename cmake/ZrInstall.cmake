# cmake --install: headers flat under include/zrappapi/, the three shared libraries, a CMake package
# (find_package(zrappapi) gives zrappapi::zrappapi, zrappapi::zrutil, zrappapi::zripc) and a pkg-config
# file.
include(CMakePackageConfigHelpers)
get_property(zr_headers GLOBAL PROPERTY ZR_PUBLIC_HEADERS)
install(FILES ${zr_headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zrappapi)
# Installed beside each other: each finds the others through its own directory, so an application from
# any prefix runs without LD_LIBRARY_PATH even when --as-needed leaves a library out of its NEEDED list.
set_target_properties(zrappapi zrutil zripc PROPERTIES INSTALL_RPATH "$ORIGIN")
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
# pkg-config users get wxWidgets base's headers and library (some public headers speak wxString) but not
# the library's own console choice (wxUSE_GUI=0): a wxGTK application compiles with its own wx flags.
# Directories the compiler searches anyway are left out.
find_program(WX_CONFIG_EXECUTABLE NAMES wx-config REQUIRED)
execute_process(COMMAND ${WX_CONFIG_EXECUTABLE} --cxxflags base OUTPUT_VARIABLE zr_wx_cflags
                OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${WX_CONFIG_EXECUTABLE} --libs base OUTPUT_VARIABLE zr_wx_libs
                OUTPUT_STRIP_TRAILING_WHITESPACE)
separate_arguments(zr_wx_cflags UNIX_COMMAND "${zr_wx_cflags}")
separate_arguments(zr_wx_libs UNIX_COMMAND "${zr_wx_libs}")
set(ZR_WX_CFLAGS)
foreach(flag IN LISTS zr_wx_cflags)
  if(flag MATCHES "^-DwxUSE_GUI" OR (flag MATCHES "^-I(.*)$" AND CMAKE_MATCH_1 IN_LIST
                                     CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES))
    continue()
  endif()
  string(APPEND ZR_WX_CFLAGS " ${flag}")
endforeach()
set(ZR_WX_LIBS)
foreach(flag IN LISTS zr_wx_libs)
  if(flag MATCHES "^-L(.*)$" AND CMAKE_MATCH_1 IN_LIST CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES)
    continue()
  endif()
  string(APPEND ZR_WX_LIBS " ${flag}")
endforeach()
string(STRIP "${ZR_WX_CFLAGS}" ZR_WX_CFLAGS)
string(STRIP "${ZR_WX_LIBS}" ZR_WX_LIBS)
# Relocatable: the prefix is found from where the .pc file lies, so any --prefix given to cmake --install works.
file(RELATIVE_PATH ZR_PC_TO_PREFIX /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
string(REGEX REPLACE "/$" "" ZR_PC_TO_PREFIX "${ZR_PC_TO_PREFIX}")
configure_file(cmake/zrappapi.pc.in ${CMAKE_CURRENT_BINARY_DIR}/zrappapi.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zrappapi.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
install(FILES data/kv_abook.sch DESTINATION ${CMAKE_INSTALL_DATADIR}/zrappapi OPTIONAL)
