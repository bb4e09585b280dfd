# The shared zrappapi: every area library taken whole, linked against the shared platform libraries so
# that an application has one UI queue and one channel registry however many libraries it loads.
get_property(zr_areas GLOBAL PROPERTY ZR_APPAPI_AREAS)
add_library(zrappapi SHARED ${PROJECT_SOURCE_DIR}/client/ZrAppApi.cc)
set(zr_whole_areas)
foreach(area ${zr_areas})
  list(APPEND zr_whole_areas "$<LINK_LIBRARY:WHOLE_ARCHIVE,${area}>")
endforeach()
target_link_libraries(zrappapi PRIVATE $<BUILD_INTERFACE:${zr_whole_areas}> zr_includes zr_wxbase zr_ldap
                               PUBLIC zrutil zripc PkgConfig::NSPR)
target_include_directories(zrappapi INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/zrappapi>)
# Areas also link one another (services link the client frame); keep each one whole here.
string(REPLACE ";" "," zr_areas_csv "${zr_areas}")
set_property(TARGET zrappapi PROPERTY LINK_LIBRARY_OVERRIDE "WHOLE_ARCHIVE,${zr_areas_csv}")
target_link_options(zrappapi PRIVATE -Wl,--no-undefined)
set_target_properties(zrappapi PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
zr_warnings(zrappapi)
zr_public_headers(${PROJECT_SOURCE_DIR}/client/zrappapi.h)
