# The shared zrappapi: the objects of every area library, linked against the shared platform libraries so
# that an application has one UI queue and one channel registry however many libraries it loads. Taking
# objects rather than whole archives keeps an area that another area links from landing twice.
get_property(zr_areas GLOBAL PROPERTY ZR_APPAPI_AREAS)
add_library(zrappapi SHARED ${PROJECT_SOURCE_DIR}/client/ZrAppApi.cc)
foreach(area ${zr_areas})
  target_sources(zrappapi PRIVATE $<TARGET_OBJECTS:${area}>)
  # Usage requirements only (include paths, external libraries); the objects are already in.
  target_link_libraries(zrappapi PRIVATE $<BUILD_INTERFACE:${area}>)
endforeach()
target_link_libraries(zrappapi PRIVATE zr_ldap PUBLIC $<BUILD_INTERFACE:zr_includes> zrutil zripc PkgConfig::NSPR
                               $<BUILD_INTERFACE:zr_wxbase>)
target_include_directories(zrappapi INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/zrappapi>)
target_link_options(zrappapi PRIVATE -Wl,--no-undefined)
set_target_properties(zrappapi PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
zr_warnings(zrappapi)
zr_public_headers(${PROJECT_SOURCE_DIR}/client/zrappapi.h)
