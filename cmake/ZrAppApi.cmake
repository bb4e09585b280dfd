# The shared zrappapi: every area library taken whole, linked against the shared platform libraries so
# that an application has one UI queue and one channel registry however many libraries it loads.
get_property(zr_areas GLOBAL PROPERTY ZR_APPAPI_AREAS)
add_library(zrappapi SHARED ${PROJECT_SOURCE_DIR}/client/ZrAppApi.cc)
# Each area archive is taken whole once, by path; the areas are then listed again as ordinary libraries
# for what they link themselves, which pulls nothing more (areas also link one another: services link the
# client frame, and a second whole copy would define everything twice).
set(zr_whole_areas -Wl,--whole-archive)
foreach(area ${zr_areas})
  list(APPEND zr_whole_areas "$<TARGET_FILE:${area}>")
endforeach()
list(APPEND zr_whole_areas -Wl,--no-whole-archive)
target_link_libraries(zrappapi PRIVATE "$<BUILD_INTERFACE:${zr_whole_areas}>" "$<BUILD_INTERFACE:${zr_areas}>"
                               zr_includes zr_wxbase zr_ldap
                               PUBLIC zrutil zripc PkgConfig::NSPR)
add_dependencies(zrappapi ${zr_areas})
target_include_directories(zrappapi INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/zrappapi>)
target_link_options(zrappapi PRIVATE -Wl,--no-undefined)
set_target_properties(zrappapi PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
zr_warnings(zrappapi)
zr_public_headers(${PROJECT_SOURCE_DIR}/client/zrappapi.h)
